#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// An interval timer as the program's logic sees it. Unlike QTimer::start(), enabling a timer that
// is already running changes nothing; only disabling and enabling it again restarts its period.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool enabled() const = 0;
    virtual void setInterval(int milliseconds) = 0;
    virtual int interval() const = 0;

    // Called on every tick while enabled; may disable (or re-enable) its own timer.
    std::function<void()> onTick;
};

// The one clock of a program: every wait (a run's timers, a port's retry, a device watch's poll, a
// station's wait for the next board) is a timer made here, and every measure of time passed is
// read here, so that tests run all of them in virtual time.
class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    virtual std::unique_ptr<Timer> createTimer(int intervalMilliseconds) = 0;
    // Milliseconds on a monotonic clock: only differences mean anything.
    virtual std::int64_t now() const = 0;
};
