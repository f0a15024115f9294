#include "serial/QtSerialControl.h"

#include "serial/LatencyTimer.h"
#include "serial/PortDiagnosis.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
// A read or write error that repeats this often in a row means the device is gone, even when the
// driver does not say so with a resource error.
constexpr int RepeatedErrorsMeanLost = 8;

// Devices whose latency timer the operator has been told about: once per program run.
QSet<QString> &latencyAdvised() {
    static QSet<QString> devices;
    return devices;
}
} // namespace

PortFailure openFailureKind(QSerialPort::SerialPortError error, int openErrno, bool accessRefused,
                            bool lockedByOther) {
    // QSerialPort reports a lock file held by another program, a device held exclusively and one
    // the user may not open all as a permission error.
    if (error == QSerialPort::PermissionError) {
        if (lockedByOther || openErrno == EBUSY)
            return PortFailure::InUse;
        return accessRefused || openErrno == EACCES || openErrno == EPERM
                   ? PortFailure::NoPermission
                   : PortFailure::InUse;
    }
    if (error == QSerialPort::DeviceNotFoundError)
        return PortFailure::NotFound;
    if (error == QSerialPort::OpenError)
        return PortFailure::InUse;
    switch (openErrno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return PortFailure::NotFound;
    case EBUSY:
        return PortFailure::InUse;
    case EACCES:
    case EPERM:
        return PortFailure::NoPermission;
    default:
        return PortFailure::Other;
    }
}

QtSerialControl::QtSerialControl(TimerFactory &timers, PortResolver resolver, QObject *parent)
    : SerialControl(parent), watch_(timers), pulseEnd_(timers.createTimer(0)),
      resolver_(std::move(resolver)) {
    pulseEnd_->onTick = [this] {
        pulseEnd_->setEnabled(false);
        const int lines = std::exchange(pulsedLine_, 0);
        if (port_.isOpen())
            (void)::ioctl(static_cast<int>(port_.handle()), TIOCMBIS, &lines);
    };
    lineSettings_ = *LineSettings::parse(settingsText_);
    connect(&port_, &QSerialPort::readyRead, this, &QtSerialControl::onReadyRead);
    connect(&port_, &QSerialPort::errorOccurred, this, &QtSerialControl::onError);
    connect(&port_, &QSerialPort::bytesWritten, this, &QtSerialControl::onBytesWritten);
    connect(&watch_, &DeviceWatch::changed, this, &SerialControl::deviceChanged);
}

void QtSerialControl::watchDevice(bool on) {
    if (on)
        watch_.watch(devicePath());
    else
        watch_.stop();
}

QtSerialControl::~QtSerialControl() {
    port_.disconnect(this);
    if (port_.isOpen())
        port_.close();
}

QString QtSerialControl::devicePath() const {
    if (!deviceOverride_.isEmpty())
        return deviceOverride_;
    if (commPort_ < MinPortNumber)
        return QStringLiteral("COM%1").arg(commPort_);
    const ResolvedPort resolved = resolver_(commPort_);
    return resolved.ok() ? resolved.device : QStringLiteral("COM%1").arg(commPort_);
}

SerialStatus QtSerialControl::setSettings(const QString &settings) {
    const auto parsed = LineSettings::parse(settings);
    if (!parsed)
        return SerialStatus::failure(
            QStringLiteral(
                "\"%1\": invalid line settings (expected baud,parity,data bits,stop bits "
                "as in 57600,n,8,1)")
                .arg(settings));
    settingsText_ = settings;
    lineSettings_ = *parsed;
    if (port_.isOpen())
        applySettings();
    return {};
}

void QtSerialControl::applySettings() {
    port_.setBaudRate(lineSettings_.baudRate);
    port_.setParity(lineSettings_.parity);
    port_.setDataBits(lineSettings_.dataBits);
    port_.setStopBits(lineSettings_.stopBits);
    port_.setFlowControl(QSerialPort::NoFlowControl);
}

SerialStatus QtSerialControl::setPortOpen(bool open) {
    if (!open) {
        if (!port_.isOpen())
            return {};
        const bool pending = port_.bytesToWrite() > 0;
        port_.close();
        if (pending)
            QMetaObject::invokeMethod(
                this, [this] { Q_EMIT outputDrained(); }, Qt::QueuedConnection);
        return {};
    }
    if (port_.isOpen())
        return {};
    if (deviceOverride_.isEmpty() && (commPort_ < MinPortNumber || commPort_ > MaxPortNumber))
        return SerialStatus::failure(invalidPortNumberText(commPort_), PortFailure::InvalidNumber);
    QString path = deviceOverride_;
    if (path.isEmpty()) {
        const ResolvedPort resolved = resolver_(commPort_);
        if (!resolved.ok())
            return SerialStatus::failure(
                QStringLiteral("COM%1: %2").arg(commPort_).arg(resolved.problem),
                PortFailure::UnknownDevice);
        path = resolved.device;
    }
    openedPath_ = path;
    port_.setPortName(path);
    // Set once, before the open, which applies them. Setting the rate again on the open port sends
    // the adapter through a bogus rate on the way: for 57600 and above QSerialPort's clearing of a
    // custom rate asks for 4 Mbaud, which an FTDI chip cannot do and answers with 9600.
    applySettings();
    if (!port_.open(QIODevice::ReadWrite)) {
        const int openErrno = errno;
        const QSerialPort::SerialPortError error = port_.error();
        const QString reason = port_.errorString();
        port_.clearError();
        const QByteArray encoded = QFile::encodeName(path);
        const bool accessRefused =
            ::access(encoded.constData(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM);
        const bool locked = error == QSerialPort::PermissionError && lockHolder(path).has_value();
        return SerialStatus::failure(QStringLiteral("%1: %2").arg(path, reason),
                                     openFailureKind(error, openErrno, accessRefused, locked));
    }
    lost_ = false;
    commEvent_ = 0;
    repeatedErrors_ = 0;
    requestLowLatency();
    const QString node = QFileInfo(path).canonicalFilePath();
    if (!latencyAdvised().contains(node)) {
        notice_ = lowerLatencyTimer(path);
        if (!notice_.isEmpty())
            latencyAdvised().insert(node);
    }
    noticePending_ = true;
    return {};
}

QString QtSerialControl::takeNotice() {
    if (!std::exchange(noticePending_, false))
        return {};
    QStringList notices{std::exchange(notice_, QString())};
    // Another reader of the port would take part of what the board sends, unseen. Looked for only
    // now, off the path of the open: a board just plugged in is probed first.
    notices << otherReadersNote();
    notices.removeAll(QString());
    return notices.join(QLatin1Char('\n'));
}

QString QtSerialControl::otherReadersNote() {
    if (!port_.isOpen())
        return {};
    return sharedPortNote(openedPath_, otherHolders(openedPath_));
}

void QtSerialControl::requestLowLatency() {
    // USB adapters hold a lone byte back for their latency timer (often 16 ms); ask the driver to
    // pass it on at once. Pseudo-terminals and many drivers refuse: that is fine.
    const int fd = static_cast<int>(port_.handle());
    if (fd < 0)
        return;
    serial_struct info{};
    if (::ioctl(fd, TIOCGSERIAL, &info) != 0)
        return;
    info.flags |= ASYNC_LOW_LATENCY;
    (void)::ioctl(fd, TIOCSSERIAL, &info);
}

int QtSerialControl::inBufferCount() const {
    if (!port_.isOpen())
        return 0;
    const qint64 available = port_.bytesAvailable();
    return available > INT32_MAX ? INT32_MAX : static_cast<int>(available);
}

QByteArray QtSerialControl::input() {
    if (!port_.isOpen())
        return {};
    return port_.read(inputLen_ > 0 ? inputLen_ : port_.bytesAvailable());
}

SerialStatus QtSerialControl::output(const QByteArray &bytes) {
    if (!port_.isOpen())
        return SerialStatus::failure(QStringLiteral("%1: port is not open").arg(devicePath()));
    // With nothing queued, the bytes go straight to the driver: QSerialPort's queue would take two
    // more passes of the event loop per write (its write notifier on, then off). Whatever the
    // driver does not take at once, and every failure, goes the queue's way, in order.
    qsizetype direct = 0;
    if (port_.bytesToWrite() == 0) {
        const ssize_t n = ::write(static_cast<int>(port_.handle()), bytes.constData(),
                                  static_cast<size_t>(bytes.size()));
        direct = n > 0 ? static_cast<qsizetype>(n) : 0;
    }
    const qsizetype rest = bytes.size() - direct;
    if (rest > 0 && port_.write(bytes.constData() + direct, rest) != rest)
        return SerialStatus::failure(
            QStringLiteral("%1: %2").arg(openedPath_, port_.errorString()));
    return {};
}

void QtSerialControl::onReadyRead() {
    if (port_.bytesAvailable() < std::max<qint64>(rThreshold_, 1))
        return;
    commEvent_ = CommEvents::Receive;
    Q_EMIT OnComm();
}

void QtSerialControl::onBytesWritten() {
    if (port_.bytesToWrite() == 0)
        Q_EMIT outputDrained();
}

bool QtSerialControl::deviceGone() const {
    // A pulled USB adapter takes its device node with it; a hung-up line reports HUP.
    if (!QFileInfo::exists(openedPath_))
        return true;
    pollfd probe{static_cast<int>(port_.handle()), POLLIN, 0};
    return ::poll(&probe, 1, 0) == 1 && (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void QtSerialControl::onError(QSerialPort::SerialPortError error) {
    const int readErrno = errno;
    if (error == QSerialPort::NoError || !port_.isOpen() || lost_)
        return;
    // A setting the driver cannot apply (a pseudo-terminal has no modem lines) is no line failure.
    if (error == QSerialPort::UnsupportedOperationError) {
        port_.clearError();
        return;
    }
    // Woken to read and nothing there: another program reading the same port took the bytes first.
    // QSerialPort calls that a resource error and stops reading; the port is fine, so read on.
    if (error == QSerialPort::ResourceError &&
        (readErrno == EAGAIN ||
         port_.errorString() == QString::fromLocal8Bit(std::strerror(EAGAIN))) &&
        !deviceGone()) {
        port_.clearError();
        if (port_.bytesAvailable() == 0) {
            char none;
            (void)port_.read(&none, 1); // asks for read notifications again
        }
        return;
    }
    int code = CommEvents::OtherError;
    switch (error) {
    case QSerialPort::ReadError:
        code = CommEvents::ReadError;
        break;
    case QSerialPort::WriteError:
        code = CommEvents::WriteError;
        break;
    case QSerialPort::ResourceError:
        code = CommEvents::DeviceLost;
        break;
    default:
        break;
    }
    repeatedErrors_ = (code == commEvent_) ? repeatedErrors_ + 1 : 0;
    if (code != CommEvents::DeviceLost &&
        (deviceGone() || repeatedErrors_ >= RepeatedErrorsMeanLost))
        code = CommEvents::DeviceLost;
    port_.clearError();

    if (code == CommEvents::DeviceLost) {
        // One event, then the port reads closed: the driver would otherwise keep reporting the same
        // failure on every poll. The close waits for the port to return from its own notification.
        lost_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                const bool pending = port_.bytesToWrite() > 0;
                port_.close();
                commEvent_ = CommEvents::DeviceLost;
                Q_EMIT OnComm();
                if (pending)
                    Q_EMIT outputDrained();
                Q_EMIT portLost();
            },
            Qt::QueuedConnection);
        return;
    }
    commEvent_ = code;
    Q_EMIT OnComm();
}

SerialStatus QtSerialControl::pulseModemLine(ModemLine line, int lowMs) {
    if (!port_.isOpen())
        return SerialStatus::failure(QStringLiteral("%1: port is not open").arg(devicePath()));
    // Straight to the driver rather than through QSerialPort, whose failure here would be reported
    // as an error event of the line.
    const int bit = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
    if (::ioctl(static_cast<int>(port_.handle()), TIOCMBIC, &bit) != 0) {
        const int error = errno;
        return SerialStatus::failure(QStringLiteral("%1: %2").arg(
            openedPath_, QString::fromLocal8Bit(std::strerror(error))));
    }
    // A pulse still low is ended by this one's end.
    pulsedLine_ |= bit;
    pulseEnd_->setEnabled(false);
    pulseEnd_->setInterval(lowMs);
    pulseEnd_->setEnabled(true);
    return {};
}
