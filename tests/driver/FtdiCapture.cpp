#include "FtdiCapture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace pellora::driver {

namespace {

constexpr std::uint32_t PcapMagic = 0xA1B2C3D4; // microsecond timestamps
constexpr std::uint32_t LinkUsbLinuxMmapped = 220;
constexpr std::size_t FileHeaderBytes = 24;
constexpr std::size_t RecordHeaderBytes = 16;
constexpr std::size_t UsbmonHeaderBytes = 64;
constexpr std::uint8_t SubmitRecord = 'S'; // a setup record, for a control transfer
constexpr std::uint8_t ControlTransfer = 2;
constexpr std::uint8_t BulkTransfer = 3;
constexpr std::uint8_t EndpointIn = 0x80;
constexpr std::uint8_t VendorHostToDevice = 0x40;

template <typename T> T little(std::span<const std::uint8_t> bytes, std::size_t at) {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>(value | static_cast<T>(bytes[at + i]) << (8 * i));
    return value;
}

} // namespace

Capture readCapture(std::span<const std::uint8_t> bytes) {
    Capture capture;
    if (bytes.size() < FileHeaderBytes) {
        capture.error = "shorter than a pcap header";
        return capture;
    }
    if (little<std::uint32_t>(bytes, 0) != PcapMagic) {
        capture.error = "not a little-endian pcap file with microsecond timestamps";
        return capture;
    }
    if (const auto link = little<std::uint32_t>(bytes, 20); link != LinkUsbLinuxMmapped) {
        capture.error = "link type " + std::to_string(link) + ", not USB (Linux usbmon, 220)";
        return capture;
    }
    std::size_t at = FileHeaderBytes;
    while (bytes.size() - at >= RecordHeaderBytes) {
        const auto seconds = little<std::uint32_t>(bytes, at);
        const auto micros = little<std::uint32_t>(bytes, at + 4);
        const auto length = little<std::uint32_t>(bytes, at + 8);
        if (bytes.size() - at - RecordHeaderBytes < length)
            break; // still being written
        const auto record = bytes.subspan(at + RecordHeaderBytes, length);
        at += RecordHeaderBytes + length;
        ++capture.records;
        if (record.size() < UsbmonHeaderBytes)
            continue;
        const std::int64_t recordMicros = std::int64_t{seconds} * 1'000'000 + micros;
        if (record[8] == SubmitRecord && record[9] == BulkTransfer && !(record[10] & EndpointIn)) {
            // The data follows the header; the header's length says how much of it is the
            // transfer's (QEMU counts the header into its captured length).
            const std::size_t length = std::min<std::size_t>(little<std::uint32_t>(record, 32),
                                                             record.size() - UsbmonHeaderBytes);
            if (length > 0) {
                const auto data = record.subspan(UsbmonHeaderBytes, length);
                capture.dataOut.push_back({recordMicros, {data.begin(), data.end()}});
            }
            continue;
        }
        const bool setup = record[8] == SubmitRecord && record[14] == 0;
        if (!setup || record[9] != ControlTransfer || record[40] != VendorHostToDevice)
            continue;
        capture.vendorRequests.push_back({
            .micros = recordMicros,
            .requestType = record[40],
            .request = record[41],
            .value = little<std::uint16_t>(record, 42),
            .index = little<std::uint16_t>(record, 44),
        });
    }
    return capture;
}

std::uint32_t baudRateOf(std::uint16_t value, std::uint16_t index) {
    // The divisor of the chip's 3 MHz in eighths: 14 bits of whole part, a 3-bit code for the
    // fraction (two bits in the value, one in the index).
    static constexpr std::array<std::uint32_t, 8> eighths{0, 4, 2, 1, 3, 5, 6, 7};
    std::uint32_t whole = value & 0x3FFF;
    const std::uint32_t fraction = eighths[((value >> 14) & 3) | ((index & 1) << 2)];
    if (whole == 0 && fraction == 0)
        return 3'000'000;
    if (whole == 1 && fraction == 0)
        return 2'000'000;
    const std::uint32_t divisorEighths = whole * 8 + fraction;
    return static_cast<std::uint32_t>(
        std::lround(24'000'000.0 / static_cast<double>(divisorEighths)));
}

namespace {

// A rate within 1% of a standard one is named by it: the divisor's steps miss most rates a little.
std::uint32_t nearestStandardRate(std::uint32_t rate) {
    static constexpr std::array<std::uint32_t, 17> standard{
        300,    600,    1200,   2400,   4800,   9600,    19200,   38400,  57600,
        115200, 230400, 460800, 500000, 921600, 1000000, 2000000, 3000000};
    for (std::uint32_t candidate : standard)
        if (std::abs(static_cast<double>(rate) - candidate) <= candidate * 0.01)
            return candidate;
    return rate;
}

} // namespace

std::string describe(const ControlRequest &request) {
    const std::uint16_t value = request.value;
    switch (static_cast<FtdiRequest>(request.request)) {
    case FtdiRequest::Reset:
        return value == 0   ? "RESET sio"
               : value == 1 ? "RESET purge-rx"
               : value == 2 ? "RESET purge-tx"
                            : "RESET " + std::to_string(value);
    case FtdiRequest::ModemControl: {
        std::string text = "MODEM";
        // The high byte says which lines the low byte sets.
        if (value & 0x0100)
            text += (value & 0x01) ? " dtr=1" : " dtr=0";
        if (value & 0x0200)
            text += (value & 0x02) ? " rts=1" : " rts=0";
        return text;
    }
    case FtdiRequest::FlowControl: {
        const int mode = request.index >> 8;
        return mode == 0   ? "FLOW none"
               : mode == 1 ? "FLOW rts-cts"
               : mode == 2 ? "FLOW dtr-dsr"
               : mode == 4 ? "FLOW xon-xoff"
                           : "FLOW " + std::to_string(mode);
    }
    case FtdiRequest::BaudRate:
        return "BAUD " + std::to_string(nearestStandardRate(baudRateOf(value, request.index)));
    case FtdiRequest::LineData: {
        static constexpr std::array<char, 5> parity{'N', 'O', 'E', 'M', 'S'};
        const unsigned parityCode = (value >> 8) & 7;
        const unsigned stopCode = (value >> 11) & 3;
        std::string text = "DATA " + std::to_string(value & 0xFF);
        text += parityCode < parity.size() ? parity[parityCode] : '?';
        text += stopCode == 0 ? "1" : stopCode == 1 ? "1.5" : "2";
        if (value & 0x4000)
            text += " break";
        return text;
    }
    case FtdiRequest::LatencyTimer:
        return "LATENCY " + std::to_string(value & 0xFF);
    }
    return "REQUEST " + std::to_string(request.request) + " value=" + std::to_string(value) +
           " index=" + std::to_string(request.index);
}

std::string describe(const DataOut &data) {
    static constexpr std::size_t Shown = 8;
    std::string text = "OUT " + std::to_string(data.bytes.size());
    for (std::size_t i = 0; i < data.bytes.size() && i < Shown; ++i) {
        static constexpr char digits[] = "0123456789abcdef";
        text += ' ';
        text += digits[data.bytes[i] >> 4];
        text += digits[data.bytes[i] & 0x0F];
    }
    if (data.bytes.size() > Shown)
        text += " ...";
    return text;
}

} // namespace pellora::driver
