#pragma once

#include "serial/SerialControl.h"

#include <QObject>
#include <functional>

// One serial link: the control, the flag that silences it after a failed open or close, and the
// port number and speed last applied. Everything above the serial layer goes through it: a window
// owns one; a front end programming several boards owns one per board.
class SerialLink : public QObject {
    Q_OBJECT
public:
    explicit SerialLink(SerialControl &control, QObject *parent = nullptr);

    // Set when opening or closing the port failed, cleared when it opens; while set, nothing is
    // sent or read on this link.
    bool PortError() const { return portError_; }
    // The port number and the line speed last applied.
    int PortNumber() const { return portNumber_; }
    int PortSpeed() const { return portSpeed_; }

    bool PortOpen() const { return control_.portOpen(); }

    // The bootloader's line on port `number` (0: the device the control was given instead):
    // BootloaderBaud 8N1, a receive event per byte, one byte per read, a small output buffer; then
    // the port is opened. PortError is cleared when it opens; when it does not, the port is left
    // closed and PortError set.
    static constexpr int BootloaderBaud = 57600;
    SerialStatus connect(int number);
    // Closes the port; PortError is set when that fails.
    SerialStatus disconnect();

    // One byte, or its ones' complement when `invert`; nothing while PortError is set or closed.
    void Send(int data, bool invert);

    // Closes and reopens an open port with new line settings / a new port number.
    SerialStatus BaudRate(int val);
    SerialStatus comPort(std::int16_t val);

    // A string of bytes, in order. Fails on a closed port.
    SerialStatus Output(const QByteArray &bytes) { return control_.output(bytes); }
    // Bytes written but not yet handed to the operating system.
    qint64 bytesToWrite() const { return control_.bytesToWrite(); }

    int commEvent() const { return control_.commEvent(); }
    int inBufferCount() const { return control_.inBufferCount(); }
    // The next waiting characters (one, on the bootloader's line), removed from the buffer.
    QByteArray input() { return control_.input(); }

    // The device the port number leads to (or the last open tried), for messages.
    QString devicePath() const { return control_.devicePath(); }
    // What the last open found worth telling the operator once (a slow adapter), or nothing.
    QString takeNotice() { return control_.takeNotice(); }
    // The line settings applied ("57600,n,8,1").
    QString lineSettings() const { return control_.settings(); }
    // A reset pulse on a modem line (see SerialControl::pulseModemLine).
    SerialStatus pulseModemLine(SerialControl::ModemLine line, int lowMs) {
        return control_.pulseModemLine(line, lowMs);
    }

Q_SIGNALS:
    // The control's events, passed on.
    void OnComm();
    void outputDrained();
    void portLost();

private:
    SerialStatus reopenWith(const std::function<SerialStatus()> &apply);

    SerialControl &control_;
    bool portError_ = false;
    int portNumber_ = 0;
    int portSpeed_ = 0;
};

// "57600" -> "57600,n,8,1"
QString lineSettingsFor(int baud);
