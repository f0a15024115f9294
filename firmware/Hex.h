#pragma once

#include <QtGlobal>
#include <array>
#include <cstddef>

// Hex digits as the firmware formats write them: either case is read.
namespace firmware {

// The value of each hex digit, -1 for any other byte: one look-up a digit over a file of millions.
inline constexpr std::array<qint8, 256> HexValues = [] {
    std::array<qint8, 256> values{};
    values.fill(-1);
    for (int i = 0; i < 10; ++i)
        values[static_cast<std::size_t>('0' + i)] = static_cast<qint8>(i);
    for (int i = 0; i < 6; ++i) {
        values[static_cast<std::size_t>('A' + i)] = static_cast<qint8>(10 + i);
        values[static_cast<std::size_t>('a' + i)] = static_cast<qint8>(10 + i);
    }
    return values;
}();

// The value of hex digit `c`, or -1.
inline int hexValue(char c) {
    return HexValues[static_cast<quint8>(c)];
}

} // namespace firmware
