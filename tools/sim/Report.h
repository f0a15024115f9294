#pragma once

#include "Device.h"

#include <cstdint>
#include <span>
#include <string>

namespace pellora::sim {

// Beyond this the image file is not written: two records far apart would otherwise ask for
// gigabytes of 0xFF.
inline constexpr std::uint64_t MaxImageFileBytes = std::uint64_t{256} << 20;

// "runs" and "refused_probes" count over the simulator's life, the rest describes `run`; its
// timings (in ms) appear once the run got that far.
std::string summaryJson(std::uint64_t runs, std::uint64_t refusedProbes, const RunStats &run);
std::string summaryLine(std::uint64_t runs, const RunStats &run);

// Writes via a temporary file and rename so a reader never sees half a file.
bool writeFileAtomically(const std::string &path, std::span<const char> bytes, std::string &error);

} // namespace pellora::sim
