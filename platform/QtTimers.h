#pragma once

#include "session/Timer.h"

#include <Qt>

// Timers on the event loop of the calling thread. The session's are precise; a timer that only
// paces drawing may be coarse, which wakes the process less often.
class QtTimerFactory final : public TimerFactory {
public:
    explicit QtTimerFactory(Qt::TimerType type = Qt::PreciseTimer) : type_(type) {}
    std::unique_ptr<Timer> createTimer(int intervalMilliseconds) override;

private:
    Qt::TimerType type_;
};
