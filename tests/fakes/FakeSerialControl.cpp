#include "FakeSerialControl.h"

SerialStatus FakeSerialControl::setPortOpen(bool open) {
    if (open && !open_ && !failOpenWith.isEmpty())
        return SerialStatus::failure(failOpenWith, failOpenAs);
    if (open && !open_ && !present)
        return SerialStatus::failure(devicePath() + QStringLiteral(": No such file or directory"),
                                     PortFailure::NotFound);
    if (!open && open_ && !failCloseWith.isEmpty())
        return SerialStatus::failure(failCloseWith);
    if (open && !open_)
        ++opens;
    if (!open && open_ && pendingWrite > 0) {
        pendingWrite = 0;
        Q_EMIT outputDrained();
    }
    open_ = open;
    return {};
}

QByteArray FakeSerialControl::input() {
    if (!open_)
        return {};
    const qsizetype n = std::min<qsizetype>(inputLen > 0 ? inputLen : received_.size(),
                                            received_.size() - readPos_);
    QByteArray out = received_.mid(readPos_, n);
    readPos_ += n;
    if (readPos_ == received_.size()) {
        received_.clear();
        readPos_ = 0;
    }
    return out;
}

SerialStatus FakeSerialControl::output(const QByteArray &bytes) {
    if (!open_)
        return SerialStatus::failure(devicePath() + QStringLiteral(": port is not open"));
    written += bytes;
    if (slowDrain)
        pendingWrite += bytes.size();
    if (onWrite)
        onWrite(bytes);
    return {};
}

void FakeSerialControl::feed(const QByteArray &bytes) {
    if (!open_)
        return;
    received_ += bytes;
    commEvent_ = CommEvents::Receive;
    Q_EMIT OnComm();
}

void FakeSerialControl::injectError(int code) {
    commEvent_ = code;
    Q_EMIT OnComm();
}

void FakeSerialControl::loseDevice() {
    open_ = false;
    present = false;
    pendingWrite = 0;
    commEvent_ = CommEvents::DeviceLost;
    Q_EMIT OnComm();
    Q_EMIT portLost();
}

void FakeSerialControl::plugIn() {
    present = true;
    if (watching)
        Q_EMIT deviceChanged();
}

void FakeSerialControl::drain() {
    if (pendingWrite == 0)
        return;
    pendingWrite = 0;
    Q_EMIT outputDrained();
}
