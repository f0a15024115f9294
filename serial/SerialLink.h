#pragma once

#include "clock/Timer.h"
#include "serial/SerialControl.h"

#include <QObject>
#include <functional>
#include <memory>
#include <optional>

// One serial link: the control, the flag that silences it after a failed open or close, and the
// port number and speed last applied. Everything above the serial layer goes through it: a window
// owns one; a front end programming several boards owns one per board.
//
// A board whose serial port goes with its power (an adapter on the board, or its own USB port)
// loses its port whenever it is switched off, and when it restarts after programming. While its
// owner lets it (outside a transfer), the link follows such a port: it closes it at once, so that
// the kernel can give the board the same name again, waits for the device to come back and opens
// it again with the same settings. Meanwhile the link stays connected (PortOpen), is away, and
// sends nothing. A node that comes back before udev has given it its permissions (or held by a
// prober for a moment) is tried again for ReopenGraceMs before the failure is reported.
class SerialLink : public QObject {
    Q_OBJECT
public:
    SerialLink(SerialControl &control, TimerFactory &timers, QObject *parent = nullptr);
    ~SerialLink() override;

    // Set when opening or closing the port failed, cleared when it opens; while set, nothing is
    // sent or read on this link.
    bool PortError() const { return portError_; }
    // The port number and the line speed last applied.
    int PortNumber() const { return portNumber_; }
    int PortSpeed() const { return portSpeed_; }

    // Connected: open, or away and followed.
    bool PortOpen() const { return control_.portOpen() || away_; }
    // The device went away and is waited for.
    bool away() const { return away_; }
    // Whether a port that goes away is followed (see above); a port lost while not is lost.
    void setFollowPort(bool follow) { follow_ = follow; }
    bool followsPort() const { return follow_; }
    // A failure to open again is reported only once the device has refused for this long.
    static constexpr int ReopenGraceMs = 2000;
    static constexpr int ReopenRetryMs = 50;

    // The bootloader's line on port `number` (0: the device the control was given instead):
    // BootloaderBaud 8N1, a receive event per byte, one byte per read, a small output buffer; then
    // the port is opened. PortError is cleared when it opens; when it does not, the port is left
    // closed and PortError set.
    static constexpr int BootloaderBaud = 57600;
    SerialStatus connectPort(int number);
    // As connectPort(), but a device that is not there is waited for, as a followed port that went
    // away: the link is connected and away. One that refuses (permissions not yet set, a prober
    // holding it) is tried again for ReopenGraceMs, then portLost() gives the refusal. Other
    // failures are returned as by connectPort().
    SerialStatus connectPortOrWait(int number);
    // Closes the port; PortError is set when that fails.
    SerialStatus disconnectPort();

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
    // Other programs that have the device open now, named (see SerialControl), or nothing.
    QString otherReadersNote() { return control_.otherReadersNote(); }
    // The line settings applied ("57600,n,8,1").
    QString lineSettings() const { return control_.settings(); }
    // A reset pulse on a modem line (see SerialControl::pulseModemLine).
    SerialStatus pulseModemLine(SerialControl::ModemLine line, int lowMs) {
        return control_.pulseModemLine(line, lowMs);
    }

Q_SIGNALS:
    // The control's events, passed on. The loss of a followed port raises no error event.
    void OnComm();
    void outputDrained();
    // The device went away and is not followed, or could not be opened again (`failure`, a
    // failure of the kind connectPort() reports; none when the device went away mid-transfer).
    void portLost(const SerialStatus &failure);
    // A followed device went away; it is waited for.
    void portAway();
    // It was opened again, with the same settings.
    void portBack();

private:
    SerialStatus reopenWith(const std::function<SerialStatus()> &apply);
    // Opens port `number` at `baud` with the bootloader's other line settings.
    SerialStatus open(int number, int baud);
    void onControlLost();
    void startWaiting();
    void stopWaiting();
    void tryReopen();

    SerialControl &control_;
    TimerFactory &timers_;
    std::unique_ptr<Timer> retry_;
    std::optional<std::int64_t> refusedSinceMs_; // when a device that is there began to refuse
    bool follow_ = true;
    bool away_ = false;
    bool portError_ = false;
    int portNumber_ = 0;
    int portSpeed_ = 0;
};

// "57600" -> "57600,n,8,1"
QString lineSettingsFor(int baud);
