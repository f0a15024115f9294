#pragma once

#include "session/SessionTypes.h"

// The command line's exit status. Several boards end with the highest of their codes.
namespace ExitCode {
inline constexpr int Programmed = 0;
inline constexpr int Usage = 2;
inline constexpr int NoBootPrompt = 3;
inline constexpr int AckTimeout = 4;
inline constexpr int PortError = 5;
inline constexpr int FileError = 6;
// The image went in, but the application did not say what was expected (--expect), or the run
// carries a warning and --strict was given.
inline constexpr int NotProvenToBoot = 7;
inline constexpr int Interrupted = 130;

// A run ends Cancelled only when the command line aborts it, i.e. after Ctrl-C.
constexpr int forResult(RunResult result) {
    switch (result) {
    case RunResult::Programmed:
        return Programmed;
    case RunResult::AckTimeout:
        return AckTimeout;
    case RunResult::NoBootPrompt:
        return NoBootPrompt;
    case RunResult::Cancelled:
        return Interrupted;
    case RunResult::PortError:
        return PortError;
    case RunResult::FileError:
        return FileError;
    }
    return PortError;
}
} // namespace ExitCode
