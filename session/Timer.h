#pragma once

#include <functional>
#include <memory>

// An interval timer as the session sees it. Unlike QTimer::start(), enabling a timer that is
// already running changes nothing; only disabling and enabling it again restarts its period.
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

class TimerFactory {
public:
    virtual ~TimerFactory() = default;
    virtual std::unique_ptr<Timer> createTimer(int intervalMilliseconds) = 0;
};
