#pragma once

#include "session/Timer.h"

// Timers on the event loop of the calling thread, all precise.
class QtTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer(int intervalMilliseconds) override;
};
