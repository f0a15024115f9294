// The USB capture reader on captures made here, record by record as QEMU writes them.

#include "FtdiCapture.h"

#include <gtest/gtest.h>

#include <string_view>

using namespace pellora::driver;

namespace {

class PcapBuilder {
public:
    explicit PcapBuilder(std::uint32_t magic = 0xA1B2C3D4, std::uint32_t link = 220) {
        put32(magic);
        put16(2);
        put16(4);
        put32(0);
        put32(0);
        put32(4160);
        put32(link);
    }
    // One usbmon record: `type` 'S' (submission) or 'C' (completion) of a transfer of
    // `transfer` kind (2 control, 3 bulk) with these setup bytes and `data`.
    PcapBuilder &record(std::int64_t micros, char type, std::uint8_t transfer,
                        std::array<std::uint8_t, 8> setup, std::size_t data = 0) {
        const std::size_t length = 64 + data;
        put32(static_cast<std::uint32_t>(micros / 1'000'000));
        put32(static_cast<std::uint32_t>(micros % 1'000'000));
        put32(static_cast<std::uint32_t>(length));
        put32(static_cast<std::uint32_t>(length));
        const std::size_t usbmon = bytes.size();
        bytes.resize(usbmon + length, 0);
        bytes[usbmon + 8] = static_cast<std::uint8_t>(type);
        bytes[usbmon + 9] = transfer;
        bytes[usbmon + 14] = type == 'S' ? 0 : '-'; // the setup bytes are valid
        std::copy(setup.begin(), setup.end(), bytes.begin() + static_cast<long>(usbmon + 40));
        return *this;
    }
    // A bulk transfer's submission to `endpoint` (0x80 set: from the device) with `data`, its
    // length in the header as QEMU writes it.
    PcapBuilder &bulk(std::int64_t micros, std::uint8_t endpoint, std::string_view data) {
        record(micros, 'S', 3, {}, data.size());
        const std::size_t usbmon = bytes.size() - 64 - data.size();
        bytes[usbmon + 10] = endpoint;
        bytes[usbmon + 14] = '-';
        bytes[usbmon + 15] = data.empty() ? '<' : '=';
        bytes[usbmon + 32] = static_cast<std::uint8_t>(data.size());
        std::copy(data.begin(), data.end(), bytes.begin() + static_cast<long>(usbmon + 64));
        return *this;
    }
    PcapBuilder &vendor(std::int64_t micros, std::uint8_t request, std::uint16_t value,
                        std::uint16_t index = 0) {
        return record(micros, 'S', 2,
                      {0x40, request, lo(value), hi(value), lo(index), hi(index), 0, 0});
    }

    std::vector<std::uint8_t> bytes;

private:
    static std::uint8_t lo(std::uint16_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
    static std::uint8_t hi(std::uint16_t v) { return static_cast<std::uint8_t>(v >> 8); }
    void put16(std::uint16_t v) { bytes.insert(bytes.end(), {lo(v), hi(v)}); }
    void put32(std::uint32_t v) {
        put16(static_cast<std::uint16_t>(v & 0xFFFF));
        put16(static_cast<std::uint16_t>(v >> 16));
    }
};

std::vector<std::string> described(const Capture &capture) {
    std::vector<std::string> lines;
    for (const ControlRequest &request : capture.vendorRequests)
        lines.push_back(std::to_string(request.micros) + " " + describe(request));
    return lines;
}

TEST(FtdiCapture, ReadsAnOpenAResetPulseAndTheCloseAmongOtherTraffic) {
    PcapBuilder pcap;
    pcap.record(1'000'000, 'S', 2, {0x80, 6, 0, 1, 0, 0, 18, 0}) // GET_DESCRIPTOR: not a vendor's
        .record(1'000'100, 'C', 2, {}, 18)
        .vendor(2'000'000, 0, 0)      // reset
        .vendor(2'000'100, 4, 0x0008) // 8N1
        .vendor(2'000'200, 3, 0x4138) // 9600
        .vendor(2'000'300, 1, 0x0303) // DTR and RTS up
        .record(2'000'350, 'C', 2, {0x40, 1, 3, 3, 0, 0, 0, 0})
        .record(2'000'400, 'S', 3, {0x40, 1, 0, 1, 0, 0, 0, 0}, 64) // bulk data, not a request
        .vendor(2'000'500, 3, 0xC034)                               // 57600
        .vendor(2'000'600, 9, 1)
        .vendor(2'010'000, 1, 0x0100)                              // DTR down
        .vendor(2'117'000, 1, 0x0101)                              // DTR up
        .vendor(3'000'000, 4, 0x0008 | 2 << 8 | 2 << 11 | 1 << 14) // 8E2, break
        .vendor(3'000'100, 2, 0, 1 << 8)
        .vendor(3'000'200, 1, 0x0300) // both down
        .vendor(3'000'300, 0x0C, 7, 1);
    const std::vector<std::string> expected{
        "2000000 RESET sio",         "2000100 DATA 8N1",
        "2000200 BAUD 9600",         "2000300 MODEM dtr=1 rts=1",
        "2000500 BAUD 57600",        "2000600 LATENCY 1",
        "2010000 MODEM dtr=0",       "2117000 MODEM dtr=1",
        "3000000 DATA 8E2 break",    "3000100 FLOW rts-cts",
        "3000200 MODEM dtr=0 rts=0", "3000300 REQUEST 12 value=7 index=1"};

    Capture capture = readCapture(pcap.bytes);
    EXPECT_EQ(capture.error, "");
    EXPECT_EQ(capture.records, 16u);
    EXPECT_EQ(described(capture), expected);

    // QEMU is still writing the last record: it is left out, the rest stands.
    pcap.vendor(4'000'000, 9, 16);
    pcap.bytes.resize(pcap.bytes.size() - 10);
    capture = readCapture(pcap.bytes);
    EXPECT_EQ(capture.error, "");
    EXPECT_EQ(described(capture), expected);
}

std::vector<std::string> describedData(const Capture &capture) {
    std::vector<std::string> lines;
    for (const DataOut &out : capture.dataOut)
        lines.push_back(std::to_string(out.micros) + " " + describe(out));
    return lines;
}

TEST(FtdiCapture, ReadsTheBytesSentToTheAdapterAsTheyWereSubmitted) {
    PcapBuilder pcap;
    pcap.vendor(1'000'000, 0, 0)
        .bulk(1'000'100, 0x81, "") // the driver waits for the device's bytes
        .bulk(1'085'000, 0x02, "i")
        .record(1'085'060, 'C', 3, {}) // its completion carries no data
        .bulk(1'090'000, 0x02, "i")
        .bulk(1'095'000, 0x82, "ignored: from the device")
        .bulk(1'400'000, 0x02, "S1130000FFFFFFFF\r\n");
    Capture capture = readCapture(pcap.bytes);
    EXPECT_EQ(capture.error, "");
    EXPECT_EQ(described(capture), std::vector<std::string>{"1000000 RESET sio"});
    const std::vector<std::string> expected{"1085000 OUT 1 69", "1090000 OUT 1 69",
                                            "1400000 OUT 18 53 31 31 33 30 30 30 30 ..."};
    EXPECT_EQ(describedData(capture), expected);

    // A header that claims more than the record holds gives what the record holds.
    pcap.bulk(2'000'000, 0x02, "ii");
    pcap.bytes[pcap.bytes.size() - 2 - 64 + 32] = 200;
    capture = readCapture(pcap.bytes);
    ASSERT_EQ(capture.dataOut.size(), 4u);
    EXPECT_EQ(describe(capture.dataOut.back()), "OUT 2 69 69");

    // Still being written: left out.
    pcap.bulk(3'000'000, 0x02, "i");
    pcap.bytes.pop_back();
    EXPECT_EQ(readCapture(pcap.bytes).dataOut.size(), 4u);
}

TEST(FtdiCapture, DecodesTheRatesTheDriverAsksFor) {
    // The divisor codes the Linux driver computes for an FT232B-type chip.
    const struct {
        std::uint16_t value, index;
        std::uint32_t rate;
        const char *described;
    } cases[] = {
        {0x4138, 0, 9600, "BAUD 9600"},   // 312.5
        {0xC034, 0, 57554, "BAUD 57600"}, // 52.125: 0.08 % off, named by the standard rate
        {0x001A, 0, 115385, "BAUD 115200"},     {0x09C4, 0, 1200, "BAUD 1200"},
        {0x0040, 1, 46602, "BAUD 46602"}, // 64.375, the index's bit: no standard rate within 1 %
        {0x0000, 0, 3'000'000, "BAUD 3000000"}, {0x0001, 0, 2'000'000, "BAUD 2000000"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.described);
        EXPECT_EQ(baudRateOf(c.value, c.index), c.rate);
        EXPECT_EQ(describe({.request = 3, .value = c.value, .index = c.index}), c.described);
    }
}

TEST(FtdiCapture, RefusesWhatIsNotAUsbCapture) {
    EXPECT_NE(readCapture({}).error, "");
    EXPECT_NE(readCapture(PcapBuilder(0xD4C3B2A1).bytes).error, "") << "byte-swapped";
    EXPECT_NE(readCapture(PcapBuilder(0xA1B2C3D4, 1).bytes).error, "") << "Ethernet";
    const Capture empty = readCapture(PcapBuilder().bytes);
    EXPECT_EQ(empty.error, "");
    EXPECT_EQ(empty.records, 0u);
}

} // namespace
