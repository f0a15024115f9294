#pragma once

#include "serial/DeviceWatch.h"
#include "serial/LineSettings.h"
#include "serial/PortResolver.h"
#include "serial/SerialControl.h"

#include <QSerialPort>
#include <utility>

// The serial control on QSerialPort.
class QtSerialControl final : public SerialControl {
    Q_OBJECT
public:
    // `timers`: the program's clock, for the device watch's poll and a modem line's pulse.
    explicit QtSerialControl(TimerFactory &timers, PortResolver resolver = resolvePortDevice,
                             QObject *parent = nullptr);
    ~QtSerialControl() override;

    // Opens this device instead of resolving the port number (the command line's --device).
    void setDeviceOverride(const QString &path) { deviceOverride_ = path; }

    void setCommPort(std::int16_t number) override { commPort_ = number; }
    std::int16_t commPort() const override { return commPort_; }
    SerialStatus setSettings(const QString &settings) override;
    QString settings() const override { return settingsText_; }
    void setRThreshold(std::int16_t count) override { rThreshold_ = count; }
    void setOutBufferSize(std::int16_t bytes) override { outBufferSize_ = bytes; }
    void setInputLen(std::int16_t count) override { inputLen_ = count; }
    SerialStatus setPortOpen(bool open) override;
    bool portOpen() const override { return port_.isOpen(); }
    QString devicePath() const override;
    int inBufferCount() const override;
    QByteArray input() override;
    SerialStatus output(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override { return port_.isOpen() ? port_.bytesToWrite() : 0; }
    int commEvent() const override { return commEvent_; }

    QString takeNotice() override;
    QString otherReadersNote() override;

    SerialStatus pulseModemLine(ModemLine line, int lowMs) override;
    void watchDevice(bool on) override;

private:
    void onReadyRead();
    void onError(QSerialPort::SerialPortError error);
    void onBytesWritten();
    void applySettings();
    void requestLowLatency();
    bool deviceGone() const;

    QSerialPort port_;
    DeviceWatch watch_;
    std::unique_ptr<Timer> pulseEnd_; // raises the pulsed modem line again
    int pulsedLine_ = 0;
    PortResolver resolver_;
    QString deviceOverride_;
    QString openedPath_;
    std::int16_t commPort_ = 0;
    QString settingsText_ = QStringLiteral("57600,n,8,1");
    LineSettings lineSettings_;
    std::int16_t rThreshold_ = 0;
    std::int16_t outBufferSize_ = 512;
    std::int16_t inputLen_ = 0;
    int commEvent_ = 0;
    bool lost_ = false;
    int repeatedErrors_ = 0;
    QString notice_;
    bool noticePending_ = false; // an open whose notices have not been taken
};

// The kind of a failed open, from QSerialPort's error and what the system says: `openErrno` is
// errno as the open left it, `accessRefused` whether access(2) refuses reading and writing the
// device, and `lockedByOther` whether another running program holds the device's lock file.
PortFailure openFailureKind(QSerialPort::SerialPortError error, int openErrno, bool accessRefused,
                            bool lockedByOther);
