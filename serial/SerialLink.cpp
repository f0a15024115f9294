#include "serial/SerialLink.h"

#include "serial/PortResolver.h"

#include <limits>

SerialLink::SerialLink(SerialControl &control, QObject *parent)
    : QObject(parent), control_(control) {
    QObject::connect(&control_, &SerialControl::OnComm, this, &SerialLink::OnComm);
    QObject::connect(&control_, &SerialControl::outputDrained, this, &SerialLink::outputDrained);
    QObject::connect(&control_, &SerialControl::portLost, this, &SerialLink::portLost);
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

SerialStatus SerialLink::connect(int number) {
    if (control_.portOpen())
        (void)control_.setPortOpen(false);
    portNumber_ = number;
    portSpeed_ = BootloaderBaud;
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
    portError_ = !status;
    return status;
}

SerialStatus SerialLink::disconnect() {
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
