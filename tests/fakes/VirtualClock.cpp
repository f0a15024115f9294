#include "VirtualClock.h"

#include <algorithm>
#include <stdexcept>

class VirtualClock::VirtualTimer final : public Timer {
public:
    VirtualTimer(VirtualClock &clock, int interval) : clock_(clock), interval_(interval) {}
    ~VirtualTimer() override { clock_.forget(this); }

    void setEnabled(bool enabled) override {
        if (enabled && !enabled_) {
            enabled_ = true;
            clock_.arm(this);
        } else if (!enabled) {
            enabled_ = false;
        }
    }
    bool enabled() const override { return enabled_; }
    void setInterval(int milliseconds) override {
        interval_ = milliseconds;
        if (enabled_)
            clock_.arm(this);
    }
    int interval() const override { return interval_; }

    VirtualClock &clock_;
    int interval_;
    bool enabled_ = false;
    std::int64_t deadline_ = 0;
    std::uint64_t sequence_ = 0;
};

std::unique_ptr<Timer> VirtualClock::createTimer(int intervalMilliseconds) {
    auto timer = std::make_unique<VirtualTimer>(*this, intervalMilliseconds);
    timers_.push_back(timer.get());
    return timer;
}

void VirtualClock::arm(VirtualTimer *timer) {
    timer->deadline_ = now_ + timer->interval_;
    timer->sequence_ = ++sequence_;
}

void VirtualClock::forget(VirtualTimer *timer) {
    std::erase(timers_, timer);
}

std::int64_t VirtualClock::nextDeadline() const {
    std::int64_t next = -1;
    for (const VirtualTimer *t : timers_)
        if (t->enabled_ && (next < 0 || t->deadline_ < next))
            next = t->deadline_;
    return next;
}

void VirtualClock::advance(std::int64_t milliseconds) {
    const std::int64_t end = now_ + milliseconds;
    int guard = 0;
    for (;;) {
        VirtualTimer *due = nullptr;
        for (VirtualTimer *t : timers_)
            if (t->enabled_ && t->deadline_ <= end &&
                (!due || t->deadline_ < due->deadline_ ||
                 (t->deadline_ == due->deadline_ && t->sequence_ < due->sequence_)))
                due = t;
        if (!due)
            break;
        if (++guard > 10'000'000)
            throw std::runtime_error("virtual clock: timers never settle");
        now_ = std::max(now_, due->deadline_);
        // A periodic timer's next tick is one period on, unless the handler re-arms it.
        due->deadline_ = now_ + std::max(due->interval_, 1);
        due->sequence_ = ++sequence_;
        if (due->onTick)
            due->onTick();
    }
    now_ = end;
}
