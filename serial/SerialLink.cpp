#include "serial/SerialLink.h"

#include "serial/PortResolver.h"

#include <limits>

SerialLink::SerialLink(SerialControl &control, TimerFactory &timers, QObject *parent)
    : QObject(parent), control_(control), timers_(timers),
      retry_(timers.createTimer(ReopenRetryMs)) {
    connect(&control_, &SerialControl::OnComm, this, [this] {
        // A followed port's loss is no error: the device is waited for.
        if (follow_ && control_.commEvent() == CommEvents::DeviceLost)
            return;
        Q_EMIT OnComm();
    });
    connect(&control_, &SerialControl::outputDrained, this, &SerialLink::outputDrained);
    connect(&control_, &SerialControl::portLost, this, &SerialLink::onControlLost);
    connect(&control_, &SerialControl::deviceChanged, this, &SerialLink::tryReopen);
    retry_->onTick = [this] {
        retry_->setEnabled(false);
        tryReopen();
    };
}

SerialLink::~SerialLink() = default;

void SerialLink::onControlLost() {
    if (!follow_)
        return Q_EMIT portLost({});
    startWaiting();
    Q_EMIT portAway();
    // The device may be back before its folder says so (or its watch could not be set up).
    tryReopen();
}

void SerialLink::startWaiting() {
    (void)control_.setPortOpen(false);
    away_ = true;
    refusedSinceMs_.reset();
    control_.watchDevice(true);
}

void SerialLink::stopWaiting() {
    if (away_)
        control_.watchDevice(false);
    away_ = false;
    retry_->setEnabled(false);
}

void SerialLink::tryReopen() {
    if (!away_)
        return;
    const SerialStatus opened = open(portNumber_, portSpeed_);
    if (opened) {
        stopWaiting();
        portError_ = false;
        return Q_EMIT portBack();
    }
    // Not there (yet): the watch tells when it comes. There, but refusing: udev may not have set
    // its permissions yet, or a prober holds it for a moment.
    const bool refused =
        opened.kind() == PortFailure::NoPermission || opened.kind() == PortFailure::InUse;
    if (!refused)
        return refusedSinceMs_.reset();
    if (!refusedSinceMs_)
        refusedSinceMs_ = timers_.now();
    if (timers_.now() - *refusedSinceMs_ < ReopenGraceMs)
        return retry_->setEnabled(true);
    stopWaiting();
    portError_ = true;
    Q_EMIT portLost(opened);
}

QString lineSettingsFor(int baud) {
    return QString::number(baud) + QStringLiteral(",n,8,1");
}

void SerialLink::Send(int data, bool invert) {
    if (portError_ || !control_.portOpen())
        return;
    const int byte = (invert ? (data ^ 0xFF) : data) & 0xFF;
    (void)control_.output(QByteArray(1, static_cast<char>(byte)));
}

SerialStatus SerialLink::connectPort(int number) {
    stopWaiting();
    if (control_.portOpen())
        (void)control_.setPortOpen(false);
    const SerialStatus status = open(number, BootloaderBaud);
    portError_ = !status;
    return status;
}

SerialStatus SerialLink::connectPortOrWait(int number) {
    const SerialStatus status = connectPort(number);
    const PortFailure kind = status.kind();
    if (kind != PortFailure::NotFound && kind != PortFailure::NoPermission &&
        kind != PortFailure::InUse)
        return status;
    // Not there yet, or just made and not yet set up by udev: waited for as a followed port is.
    portError_ = false;
    startWaiting();
    if (kind != PortFailure::NotFound) {
        refusedSinceMs_ = timers_.now();
        retry_->setEnabled(true);
    }
    return {};
}

SerialStatus SerialLink::open(int number, int baud) {
    portNumber_ = number;
    portSpeed_ = baud;
    SerialStatus status;
    if (number < std::numeric_limits<std::int16_t>::min() ||
        number > std::numeric_limits<std::int16_t>::max()) {
        status = SerialStatus::failure(invalidPortNumberText(number), PortFailure::InvalidNumber);
    } else {
        control_.setCommPort(static_cast<std::int16_t>(number));
        status = control_.setSettings(lineSettingsFor(portSpeed_));
    }
    if (status) {
        control_.setRThreshold(1);
        control_.setOutBufferSize(16);
        control_.setInputLen(1);
        status = control_.setPortOpen(true);
    }
    if (!status && control_.portOpen())
        (void)control_.setPortOpen(false);
    return status;
}

SerialStatus SerialLink::disconnectPort() {
    stopWaiting();
    SerialStatus status = control_.setPortOpen(false);
    if (!status)
        portError_ = true;
    return status;
}

SerialStatus SerialLink::reopenWith(const std::function<SerialStatus()> &apply) {
    if (!control_.portOpen())
        return apply();
    if (auto closed = control_.setPortOpen(false); !closed)
        return closed;
    if (auto applied = apply(); !applied)
        return applied;
    return control_.setPortOpen(true);
}

SerialStatus SerialLink::BaudRate(int val) {
    portSpeed_ = val;
    return reopenWith([&] { return control_.setSettings(lineSettingsFor(val)); });
}

SerialStatus SerialLink::comPort(std::int16_t val) {
    portNumber_ = val;
    return reopenWith([&] {
        control_.setCommPort(val);
        return SerialStatus{};
    });
}
