#pragma once

#include "clock/Timer.h"

#include <cstdint>
#include <functional>
#include <memory>

// A time limit that is started or pushed back far more often than it runs out, such as the wait for
// the device's answer to each line. Starting it only notes the time: its timer, left running, finds
// on its tick that the limit has moved and waits for the rest. It runs out when a timer restarted
// on every start would, without the two timer operations each start would cost.
class Deadline {
public:
    Deadline(TimerFactory &timers, int limitMs);

    // Called when the limit has passed since the last start; the deadline has stopped by then.
    std::function<void()> onExpiry;

    // Takes effect from the next start.
    void setLimit(int limitMs) { limitMs_ = limitMs; }
    // The limit counts from now: started, or pushed back while it runs.
    void start();
    // What was waited for has come: no expiry. The timer is left to lapse, or to serve the next
    // start.
    void met() { running_ = false; }
    // As met(), and the timer stops too: nothing is left armed.
    void stop();
    bool running() const { return running_; }

private:
    void arm(int milliseconds);
    void tick();

    TimerFactory &timers_;
    std::unique_ptr<Timer> timer_;
    int limitMs_;
    int activeLimitMs_ = 0; // the limit of the wait on
    std::int64_t due_ = 0;  // when the running timer ticks at the latest
    std::int64_t from_ = 0;
    bool running_ = false;
};
