#include "clock/Deadline.h"

Deadline::Deadline(TimerFactory &timers, int limitMs)
    : timers_(timers), timer_(timers.createTimer(limitMs)), limitMs_(limitMs) {
    timer_->onTick = [this] { tick(); };
}

void Deadline::start() {
    from_ = timers_.now();
    activeLimitMs_ = limitMs_;
    running_ = true;
    // A running timer that ticks no later than the new end is left alone: its tick waits for the
    // rest.
    if (timer_->enabled() && due_ <= from_ + activeLimitMs_)
        return;
    arm(activeLimitMs_);
}

void Deadline::arm(int milliseconds) {
    timer_->setEnabled(false);
    timer_->setInterval(milliseconds);
    timer_->setEnabled(true);
    due_ = timers_.now() + milliseconds;
}

void Deadline::stop() {
    running_ = false;
    timer_->setEnabled(false);
}

void Deadline::tick() {
    timer_->setEnabled(false);
    if (!running_)
        return;
    const std::int64_t waited = timers_.now() - from_;
    if (waited < activeLimitMs_)
        return arm(static_cast<int>(activeLimitMs_ - waited));
    running_ = false;
    if (onExpiry)
        onExpiry();
}
