#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Puts the guest's kernel-log clock on the host's: the guest sends the host a byte and the host
// echoes it, the guest's kernel log stamping the moment before it was sent and the moment after
// the echo was back, the host the moment it took it. The host took it in between, so every
// exchange bounds the difference of the two clocks from both sides.
namespace pellora::driver {

// The guest writes these two lines into its kernel log (/dev/kmsg) around round N of session NAME.
std::string sentLine(std::string_view session, int round);
std::string backLine(std::string_view session, int round);

struct Exchange {
    int round = 0;
    std::int64_t guestSent = 0; // the guest's kernel log clock, microseconds
    std::int64_t hostTook = 0;  // the host's clock, microseconds since the epoch
    std::int64_t guestBack = 0; // the guest's kernel log clock, microseconds
};

// The time dmesg prints at the start of a kernel log line, "[   12.345678] ...", in microseconds.
std::optional<std::int64_t> kernelLogMicros(std::string_view line);

// The exchanges of one session from the guest's kernel log (as dmesg prints it) and the host's
// echo log (a line "N MICROS" per byte N taken). A round missing on either side, or seen twice on
// one, is left out.
std::vector<Exchange> readExchanges(std::string_view kernelLog, std::string_view session,
                                    std::string_view hostLog);

// The host's clock minus the guest's lies within [low, high].
struct OffsetBounds {
    std::int64_t low = 0;
    std::int64_t high = 0;
};

// The tightest bounds the exchanges give: each says hostTook - guestBack <= offset <= hostTook -
// guestSent. Nothing when there is no exchange, or when two exchanges contradict each other (the
// clocks moved against each other during the session, or a stamp is wrong).
std::optional<OffsetBounds> offsetBounds(std::span<const Exchange> exchanges);

} // namespace pellora::driver
