// pellora-ftdi-capture FILE: one line per FTDI control request in a USB capture,
// "<seconds since the epoch> <request>", e.g. "1767225600.125000 MODEM dtr=0".

#include "FtdiCapture.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CAPTURE.pcap\n",
                     argc > 0 ? argv[0] : "pellora-ftdi-capture");
        return 2;
    }
    std::ifstream file(argv[1], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "%s: cannot be read\n", argv[1]);
        return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    const pellora::driver::Capture capture = pellora::driver::readCapture(bytes);
    if (!capture.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", argv[1], capture.error.c_str());
        return 1;
    }
    for (const auto &request : capture.vendorRequests)
        std::printf("%lld.%06lld %s\n", static_cast<long long>(request.micros / 1'000'000),
                    static_cast<long long>(request.micros % 1'000'000),
                    pellora::driver::describe(request).c_str());
    return 0;
}
