#pragma once

#include "serial/SerialControl.h"

#include <functional>
#include <vector>

// A serial control in memory: what is written is recorded, what the device "sends" is fed in by the
// test, and failures are injected.
class FakeSerialControl final : public SerialControl {
    Q_OBJECT
public:
    void setCommPort(std::int16_t number) override { commPort_ = number; }
    std::int16_t commPort() const override { return commPort_; }
    SerialStatus setSettings(const QString &settings) override {
        settings_ = settings;
        return {};
    }
    QString settings() const override { return settings_; }
    void setRThreshold(std::int16_t count) override { rThreshold = count; }
    void setOutBufferSize(std::int16_t bytes) override { outBufferSize = bytes; }
    void setInputLen(std::int16_t count) override { inputLen = count; }
    SerialStatus setPortOpen(bool open) override;
    bool portOpen() const override { return open_; }
    QString devicePath() const override { return QStringLiteral("/dev/fake%1").arg(commPort_); }
    int inBufferCount() const override { return static_cast<int>(received_.size() - readPos_); }
    QByteArray input() override;
    SerialStatus output(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override { return pendingWrite; }
    int commEvent() const override { return commEvent_; }
    void watchDevice(bool on) override { watching = on; }
    QString otherReadersNote() override { return open_ ? otherReaders : QString(); }
    SerialStatus pulseModemLine(ModemLine line, int lowMs) override {
        if (!open_)
            return SerialStatus::failure(QStringLiteral("%1: port is not open").arg(devicePath()));
        pulses.push_back({line, lowMs});
        return {};
    }

    // The device sends bytes: one OnComm for the lot.
    void feed(const QByteArray &bytes);
    // An error event with `code` (above 1000).
    void injectError(int code);
    // The adapter is pulled: one error event, the port closed, portLost; the device is gone until
    // plugIn().
    void loseDevice();
    // The device is there again; a watcher is told.
    void plugIn();
    // The operating system took everything written.
    void drain();

    QByteArray written;
    struct Pulse {
        ModemLine line;
        int lowMs;
    };
    std::vector<Pulse> pulses;
    std::function<void(const QByteArray &)> onWrite; // called after each write
    int opens = 0;
    bool present = true; // false: opening fails as for a device that is not there
    bool watching = false;
    QString otherReaders; // what otherReadersNote() says while the port is open
    QString failOpenWith; // non-empty: the next opens fail with this description
    PortFailure failOpenAs = PortFailure::Other; // and of this kind
    QString failCloseWith;  // non-empty: closing fails with this description, the port stays open
    bool slowDrain = false; // writes stay pending until drain()
    qint64 pendingWrite = 0;
    std::int16_t rThreshold = 0, outBufferSize = 512, inputLen = 0;

private:
    std::int16_t commPort_ = 0;
    QString settings_;
    bool open_ = false;
    QByteArray received_;
    qsizetype readPos_ = 0;
    int commEvent_ = 0;
};
