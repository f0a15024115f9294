#include "serial/SerialLink.h"

SerialLink::SerialLink(SerialControl &control, QObject *parent)
    : QObject(parent), control_(control) {}

QString lineSettingsFor(int baud) {
    return QString::number(baud) + QStringLiteral(",n,8,1");
}

void SerialLink::Send(int data, bool invert) {
    if (PortError || !control_.portOpen())
        return;
    const int byte = (invert ? (data ^ 0xFF) : data) & 0xFF;
    (void)control_.output(QByteArray(1, static_cast<char>(byte)));
}

SerialStatus SerialLink::openForBootloader() {
    PortSpeed = BootloaderBaud;
    SerialStatus status = control_.setSettings(lineSettingsFor(PortSpeed));
    if (status) {
        control_.setRThreshold(1);
        control_.setOutBufferSize(16);
        control_.setInputLen(1);
        status = control_.setPortOpen(true);
    }
    PortError = !status;
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
    PortSpeed = val;
    return reopenWith([&] { return control_.setSettings(lineSettingsFor(val)); });
}

SerialStatus SerialLink::comPort(std::int16_t val) {
    PortNumber = val;
    return reopenWith([&] {
        control_.setCommPort(val);
        return SerialStatus{};
    });
}
