#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace pellora::sim {

// Memory written by data records. Writes are kept in arrival order so that a later record over
// the same addresses wins, as it would in flash programmed line by line.
class SparseImage {
public:
    void write(std::uint32_t address, std::span<const std::uint8_t> data);
    void clear();

    bool empty() const { return !lowest_; }
    std::uint32_t lowest() const { return lowest_.value_or(0); }
    std::uint32_t highest() const { return highest_; }
    // Bytes from the lowest to the highest written address, 0 when nothing was written.
    std::uint64_t span() const { return lowest_ ? std::uint64_t{highest_} - *lowest_ + 1 : 0; }

    // The image from lowest() to highest(), gaps filled with 0xFF.
    std::vector<std::uint8_t> flatten() const;

private:
    struct Segment {
        std::uint32_t address;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Segment> segments_;
    std::optional<std::uint32_t> lowest_;
    std::uint32_t highest_ = 0;
};

} // namespace pellora::sim
