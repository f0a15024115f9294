#pragma once

#include "serial/SerialControl.h"

#include <QObject>
#include <functional>

// One serial link: the control, the flag that silences it after a failed open or close, and the
// port number and speed last applied. A window owns one; a front end programming several boards
// owns one per board.
class SerialLink : public QObject {
    Q_OBJECT
public:
    explicit SerialLink(SerialControl &control, QObject *parent = nullptr);

    SerialControl &control() { return control_; }
    const SerialControl &control() const { return control_; }

    // Set when opening or closing the port failed, cleared when it opens; while set, nothing is
    // sent or read on this link.
    bool PortError = false;
    int PortNumber = 0;
    int PortSpeed = 0;

    bool PortOpen() const { return control_.portOpen(); }

    // One byte, or its ones' complement when `invert`; nothing while PortError is set or closed.
    void Send(int data, bool invert);

    // Closes and reopens an open port with new line settings / a new port number.
    SerialStatus BaudRate(int val);
    SerialStatus comPort(std::int16_t val);

    // The bootloader's line on the port chosen beforehand: BootloaderBaud 8N1, a receive event per
    // byte, one byte per read, a small output buffer; then the port is opened. PortError is
    // cleared when it opens and set when it does not.
    static constexpr int BootloaderBaud = 57600;
    SerialStatus openForBootloader();

    // A string of bytes, in order. Fails on a closed port.
    SerialStatus Output(const QByteArray &bytes) { return control_.output(bytes); }

private:
    SerialStatus reopenWith(const std::function<SerialStatus()> &apply);

    SerialControl &control_;
};

// "57600" -> "57600,n,8,1"
QString lineSettingsFor(int baud);
