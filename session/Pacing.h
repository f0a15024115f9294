#pragma once

// How the file streamer paces its lines. Front ends push it to the session whenever the operator's
// choice changes; it takes effect from the next line.
struct Pacing {
    enum class Mode {
        NoPause,    // the next line as soon as this one has reached the operating system
        FixedPause, // then a fixed pause
        AwaitAck,   // then the device's "." for this line, or the time limit
    };
    Mode mode = Mode::FixedPause;
    int milliseconds = 60; // the pause, or the longest wait for the "."

    static constexpr int PauseStepMs = 20;
    static constexpr int AckWaitLimitMs = 200;
    // Index of "Auto - fast" in the speed list.
    static constexpr int AutoSpeedIndex = 5;

    // The speed list: 0..4 pause 20..100 ms, 5 waits for the "." (at most 200 ms), anything else
    // (no item selected) does not pause.
    static constexpr Pacing fromSpeedIndex(int index) {
        if (index == AutoSpeedIndex)
            return {Mode::AwaitAck, AckWaitLimitMs};
        if (index >= 0 && index < AutoSpeedIndex)
            return {Mode::FixedPause, (index + 1) * PauseStepMs};
        return {Mode::NoPause, 0};
    }
    friend constexpr bool operator==(const Pacing &, const Pacing &) = default;
};
