// pellora-ftdi-capture [--data] FILE: one line per FTDI control request in a USB capture,
// "<seconds since the epoch> <request>", e.g. "1767225600.125000 MODEM dtr=0"; with --data, also
// one per bulk transfer of bytes to the adapter, e.g. "1767225600.130000 OUT 1 69", in the order
// of their times.

#include "FtdiCapture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

int main(int argc, char **argv) {
    const bool data = argc == 3 && std::strcmp(argv[1], "--data") == 0;
    if (argc != 2 && !data) {
        std::fprintf(stderr, "usage: %s [--data] CAPTURE.pcap\n",
                     argc > 0 ? argv[0] : "pellora-ftdi-capture");
        return 2;
    }
    const char *path = argv[argc - 1];
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "%s: cannot be read\n", path);
        return 1;
    }
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    const pellora::driver::Capture capture = pellora::driver::readCapture(bytes);
    if (!capture.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", path, capture.error.c_str());
        return 1;
    }
    std::vector<std::pair<std::int64_t, std::string>> lines;
    for (const auto &request : capture.vendorRequests)
        lines.emplace_back(request.micros, pellora::driver::describe(request));
    if (data) {
        for (const auto &out : capture.dataOut)
            lines.emplace_back(out.micros, pellora::driver::describe(out));
        std::stable_sort(lines.begin(), lines.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }
    for (const auto &[micros, text] : lines)
        std::printf("%lld.%06lld %s\n", static_cast<long long>(micros / 1'000'000),
                    static_cast<long long>(micros % 1'000'000), text.c_str());
    return 0;
}
