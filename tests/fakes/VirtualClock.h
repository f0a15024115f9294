#pragma once

#include "clock/Timer.h"

#include <cstdint>
#include <vector>

// Timers in virtual time: advance() fires every due tick in deadline order (ties in the order the
// timers were armed), so a 61-second countdown runs in microseconds and at exact times.
class VirtualClock final : public TimerFactory {
public:
    std::unique_ptr<Timer> createTimer(int intervalMilliseconds) override;

    std::int64_t now() const override { return now_; }
    // Runs every tick due up to now + milliseconds, then sets the time there.
    void advance(std::int64_t milliseconds);
    // Runs ticks due right now (zero-delay continuations).
    void settle() { advance(0); }
    // Advances tick by tick until `done` holds or the limit passes; false on the limit.
    template <typename Pred> bool advanceUntil(Pred done, std::int64_t limitMs) {
        const std::int64_t end = now_ + limitMs;
        while (!done()) {
            const std::int64_t next = nextDeadline();
            if (next < 0 || next > end) {
                advance(end - now_);
                return done();
            }
            advance(next - now_);
        }
        return true;
    }
    // The earliest deadline of an enabled timer, or -1.
    std::int64_t nextDeadline() const;

private:
    class VirtualTimer;
    friend class VirtualTimer;
    void arm(VirtualTimer *timer);
    void forget(VirtualTimer *timer);

    std::int64_t now_ = 0;
    std::uint64_t sequence_ = 0;
    std::vector<VirtualTimer *> timers_;
};
