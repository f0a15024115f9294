#pragma once

#include "Device.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pellora::sim {

struct SimOptions {
    DeviceConfig device;
    std::string linkPath;
    // The line, when it is not a pty of the simulator's own: a unix socket to connect to, or a tty.
    std::string socketPath;
    std::string ttyPath;
    std::optional<std::uint32_t> baud;
    std::string imagePath;
    std::string summaryPath;
    std::uint64_t runs = 0; // 0 = forever
    bool help = false;
};

struct ParseResult {
    SimOptions options;
    std::string error; // empty on success
};

// Arguments without the program name.
ParseResult parseOptions(const std::vector<std::string_view> &args);

// Turns \n, \r, \t, \\ and \xHH into bytes so control characters fit on a command line.
std::optional<std::string> decodeEscapes(std::string_view text);

std::string usage(std::string_view program);

} // namespace pellora::sim
