#pragma once

#include "Device.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pellora::sim {

// Beyond this the image file is not written: two records far apart would otherwise ask for
// gigabytes of 0xFF.
inline constexpr std::uint64_t MaxImageFileBytes = std::uint64_t{256} << 20;

// Over the simulator's life.
struct Totals {
    std::uint64_t runs = 0;
    std::uint64_t refusedProbes = 0;
    std::uint64_t replugs = 0;
    // From the latest port that came back being made to the first probe on it.
    std::optional<Clock::duration> firstProbeAfterPlug{};
};

// `totals`, then what describes `run`; its timings (in ms) appear once the run got that far.
std::string summaryJson(const Totals &totals, const RunStats &run);
std::string summaryLine(std::uint64_t runs, const RunStats &run);

// Writes via a temporary file and rename so a reader never sees half a file.
bool writeFileAtomically(const std::string &path, std::span<const char> bytes, std::string &error);

} // namespace pellora::sim
