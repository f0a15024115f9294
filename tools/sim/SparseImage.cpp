#include "SparseImage.h"

#include <algorithm>

namespace pellora::sim {

void SparseImage::write(std::uint32_t address, std::span<const std::uint8_t> data) {
    if (data.empty())
        return;
    const auto last = static_cast<std::uint32_t>(address + (data.size() - 1));
    lowest_ = lowest_ ? std::min(*lowest_, address) : address;
    highest_ = std::max(highest_, last);

    // Files are mostly sequential: growing the previous segment keeps a large image in a few
    // allocations instead of one per record.
    if (!segments_.empty()) {
        Segment &tail = segments_.back();
        if (std::uint64_t{tail.address} + tail.bytes.size() == address) {
            tail.bytes.insert(tail.bytes.end(), data.begin(), data.end());
            return;
        }
    }
    segments_.push_back({address, {data.begin(), data.end()}});
}

void SparseImage::clear() {
    segments_.clear();
    lowest_.reset();
    highest_ = 0;
}

std::vector<std::uint8_t> SparseImage::flatten() const {
    std::vector<std::uint8_t> image(static_cast<std::size_t>(span()), 0xFF);
    for (const Segment &segment : segments_) {
        std::copy(segment.bytes.begin(), segment.bytes.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(segment.address - lowest()));
    }
    return image;
}

} // namespace pellora::sim
