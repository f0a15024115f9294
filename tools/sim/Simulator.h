#pragma once

#include "Options.h"
#include "Transport.h"

// The wire-timing loop: one poll() loop owns all waiting, paces both directions at the line's rate
// when asked, and hands the bytes to the Device, which owns the protocol.
namespace pellora::sim {

inline constexpr int ExitOk = 0;
inline constexpr int ExitError = 1;
inline constexpr int ExitUsage = 2;
inline constexpr int ExitHangup = 3;

// Plays the device over `transport` until the runs asked for are done, the device hangs up, the
// line goes for good or `stopFd` becomes readable (a signal arrived). Returns the exit status.
int runSimulator(SimOptions options, Transport &transport, int stopFd);

} // namespace pellora::sim
