#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

// Reads what a USB capture (pcap, Linux usbmon records, as QEMU's usb-serial writes with pcap=)
// shows of an FTDI adapter's control requests, what the driver told the chip about the line, and of
// the bytes the host sent through it.
namespace pellora::driver {

enum class FtdiRequest : std::uint8_t {
    Reset = 0,
    ModemControl = 1,
    FlowControl = 2,
    BaudRate = 3,
    LineData = 4,
    LatencyTimer = 9,
};

struct ControlRequest {
    std::int64_t micros = 0; // capture time, microseconds since the epoch
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
};

// The bytes of one bulk transfer from the host, as the adapter took them for the line.
struct DataOut {
    std::int64_t micros = 0;
    std::vector<std::uint8_t> bytes;
};

struct Capture {
    std::vector<ControlRequest> vendorRequests; // host to device, vendor type, in order
    std::vector<DataOut> dataOut;               // bulk transfers host to device with data, in order
    std::size_t records = 0;
    std::string error; // empty when the file was read to its end
};

// The vendor control requests of every setup record, and the data of every bulk transfer to the
// device as it was submitted. A record cut short at the end (the capture
// is still being written) is left out without an error.
Capture readCapture(std::span<const std::uint8_t> bytes);

// The line rate a SET_BAUD_RATE request of an FT232B-type chip selects.
std::uint32_t baudRateOf(std::uint16_t value, std::uint16_t index);

// One line: "MODEM dtr=0", "BAUD 57600", "DATA 8N1", "LATENCY 1", "FLOW none", "RESET sio".
std::string describe(const ControlRequest &request);

// One line: "OUT <count> <the first bytes in hex>", e.g. "OUT 1 69" for an "i"; at most eight
// bytes are shown, then "...".
std::string describe(const DataOut &data);

} // namespace pellora::driver
