#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <cstdint>

// Why a port did not open: the kind decides what the operator is told to do about it.
enum class PortFailure {
    None,
    NoPermission,  // the user may not open the device
    InUse,         // another program holds the device
    NotFound,      // there is no such device
    InvalidNumber, // a port number the serial layer cannot take
    UnknownDevice, // the port number's device cannot be told: its map entry cannot be read
    Other,
};

// Outcome of a serial operation: success, or a failure of some kind with a readable description
// that names the device ("/dev/ttyUSB0: Permission denied").
class [[nodiscard]] SerialStatus {
public:
    SerialStatus() = default;
    static SerialStatus failure(QString description, PortFailure kind = PortFailure::Other) {
        SerialStatus s;
        s.kind_ = kind == PortFailure::None ? PortFailure::Other : kind;
        s.description_ = std::move(description);
        return s;
    }
    bool ok() const { return kind_ == PortFailure::None; }
    explicit operator bool() const { return ok(); }
    PortFailure kind() const { return kind_; }
    const QString &description() const { return description_; }

private:
    PortFailure kind_ = PortFailure::None;
    QString description_;
};

// Codes of CommEvent. Up to 1000 are ordinary events, above 1000 errors.
namespace CommEvents {
inline constexpr int Receive = 2;       // characters are waiting to be read
inline constexpr int ReadError = 1101;  // the driver refused a read
inline constexpr int WriteError = 1102; // the driver refused a write
inline constexpr int DeviceLost =
    1103; // the device disappeared (adapter unplugged); the port is closed
inline constexpr int OtherError = 1199; // any other failure reported by the driver
} // namespace CommEvents

// The serial-port control the window talks to: the operations a classic comm control offers, named
// as such. The real one runs on QSerialPort; tests use a fake.
class SerialControl : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~SerialControl() override = default;

    // Port selection by number; the device it stands for is resolved at open time.
    virtual void setCommPort(std::int16_t number) = 0;
    virtual std::int16_t commPort() const = 0;

    // "57600,n,8,1": baud rate, parity letter, data bits, stop bits. Applied at once when open.
    virtual SerialStatus setSettings(const QString &settings) = 0;
    virtual QString settings() const = 0;

    virtual void setRThreshold(std::int16_t count) = 0;
    virtual void setOutBufferSize(std::int16_t bytes) = 0;
    virtual void setInputLen(std::int16_t count) = 0;

    // Opening resolves the port number to a device and opens it; closing never fails for a port
    // that is not open.
    virtual SerialStatus setPortOpen(bool open) = 0;
    virtual bool portOpen() const = 0;

    // The device path the last open tried (or would try), for messages.
    virtual QString devicePath() const = 0;

    virtual int inBufferCount() const = 0;
    // Removes and returns the next waiting characters, at most InputLen of them.
    virtual QByteArray input() = 0;
    // Queues bytes for sending, in order. Fails on a closed port.
    virtual SerialStatus output(const QByteArray &bytes) = 0;
    // Bytes handed to the control but not yet to the operating system.
    virtual qint64 bytesToWrite() const = 0;

    virtual int commEvent() const = 0;

    // Something worth telling the operator once about the port just opened, or nothing.
    virtual QString takeNotice() { return {}; }
    // The other programs that have the open port's device open now, each named with what it does
    // to the line (see sharedPortNote), or nothing. Looks through /proc: not while a board is
    // being probed.
    virtual QString otherReadersNote() { return {}; }

    // A modem control line that can reset a board wired to it.
    enum class ModemLine { Dtr, Rts };
    // Clears `line` now and sets it again `lowMs` later, from the event loop, so that a board whose
    // reset follows the line restarts. Fails at once, changing nothing, when the port is closed or
    // the driver has no modem lines (a pseudo-terminal).
    virtual SerialStatus pulseModemLine(ModemLine line, int lowMs) = 0;

    // While on, deviceChanged() tells whenever the device the port opens may have appeared, gone
    // or changed its permissions: a port that went away is waited for this way.
    virtual void watchDevice(bool on) = 0;

Q_SIGNALS:
    // Raised when characters are waiting (at least RThreshold of them) and on error events.
    void OnComm();
    // Everything written so far has been handed to the operating system (also after a close).
    void outputDrained();
    // The port closed by itself (device lost) after its one error event.
    void portLost();
    // See watchDevice(): look at the device again.
    void deviceChanged();
};
