#pragma once

#include "clock/Timer.h"

#include <QElapsedTimer>
#include <Qt>

// Timers on the event loop of the calling thread. The session's are precise; a timer that only
// paces drawing may be coarse, which wakes the process less often.
class QtTimerFactory final : public TimerFactory {
public:
    explicit QtTimerFactory(Qt::TimerType type = Qt::PreciseTimer);
    std::unique_ptr<Timer> createTimer(int intervalMilliseconds) override;
    std::int64_t now() const override { return started_.elapsed(); }

private:
    Qt::TimerType type_;
    QElapsedTimer started_;
};
