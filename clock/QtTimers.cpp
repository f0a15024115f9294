#include "clock/QtTimers.h"

#include <QTimer>

namespace {

class QtTimer final : public Timer {
public:
    QtTimer(int interval, Qt::TimerType type) {
        timer_.setTimerType(type);
        timer_.setInterval(interval);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (onTick)
                onTick();
        });
    }
    void setEnabled(bool enabled) override {
        if (enabled && !timer_.isActive())
            timer_.start();
        else if (!enabled)
            timer_.stop();
    }
    bool enabled() const override { return timer_.isActive(); }
    void setInterval(int milliseconds) override { timer_.setInterval(milliseconds); }
    int interval() const override { return timer_.interval(); }

private:
    QTimer timer_;
};

} // namespace

QtTimerFactory::QtTimerFactory(Qt::TimerType type) : type_(type) {
    started_.start();
}

std::unique_ptr<Timer> QtTimerFactory::createTimer(int intervalMilliseconds) {
    return std::make_unique<QtTimer>(intervalMilliseconds, type_);
}
