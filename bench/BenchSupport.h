#pragma once

// Shared by the benchmarks that run the session headless.
#include "RecordingView.h"
#include "session/Pacing.h"

#include <QByteArray>
#include <QFile>
#include <cstdio>

// The benchmarks print what the session notes and the boxes it would show, and keep nothing that
// grows with a run.
class EchoView : public RecordingView {
public:
    EchoView() {
        echo = true;
        recording = false;
    }
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
