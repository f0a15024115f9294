#pragma once

// Shared by the benchmarks that run the session headless.
#include "session/FileStreamer.h"
#include "session/SessionView.h"

#include <QByteArray>
#include <QFile>
#include <cstdio>

// A view that shows nothing but the session's notes and failures, on stderr; "Auto - fast".
class QuietView final : public SessionView {
public:
    void showStatus(const QString &) override {}
    void setStartCaption(const QString &) override {}
    void setStartEnabled(bool) override {}
    void appendReceived(const QByteArray &) override {}
    void appendNote(const QString &text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
    void prependNote(const QString &) override {}
    void showDotTimeout() override { std::fprintf(stderr, "Error: DOT Timeout\n"); }
    void showCommError(int code) override { std::fprintf(stderr, "COM error %d\n", code); }
    int speedIndex() const override { return FileStreamer::AutoSpeedIndex; }
};

// A field of /proc/self/status (VmRSS, VmHWM), in KiB; -1 when it cannot be read.
inline qint64 statusKiB(const char *field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLongLong();
    return -1;
}
