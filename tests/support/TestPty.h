#pragma once

#include "Wait.h"

#include <QByteArray>
#include <QString>

// A pseudo-terminal for tests: the test holds the master side (the "device"), the program opens the
// slave path as its serial port.
class TestPty {
public:
    TestPty();
    ~TestPty();
    TestPty(const TestPty &) = delete;
    TestPty &operator=(const TestPty &) = delete;

    bool ok() const { return master_ >= 0; }
    const QString &slavePath() const { return slavePath_; }

    // The device sends.
    void write(const QByteArray &bytes);
    // Everything the program has written so far that the test has not read yet (non-blocking).
    QByteArray readAvailable();
    // Reads (processing Qt events meanwhile) until `count` bytes came or the time ran out.
    QByteArray readAtLeast(qsizetype count, int timeoutMs = 3000);
    // Hangs up: the program sees the device disappear.
    void hangUp();

private:
    int master_ = -1;
    int slave_ = -1;
    QString slavePath_;
};
