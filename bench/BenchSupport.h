#pragma once

// Shared by the benchmarks that run the session headless.
#include "RecordingView.h"
#include "clock/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/Pacing.h"
#include "session/ProgrammingSession.h"

#include <QByteArray>
#include <QFile>
#include <cstdio>
#include <memory>

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

// The session as a front end without widgets runs it: the real serial layer and timers.
struct HeadlessSession {
    // Opens `device` and makes the session on it, paced by `speedIndex`; false, with the reason on
    // stderr, when the port does not open.
    bool open(const QString &device, SessionView &view, int speedIndex = Pacing::AutoSpeedIndex) {
        control.setDeviceOverride(device);
        if (const SerialStatus opened = link.connectPort(0); !opened) {
            std::fprintf(stderr, "%s\n", qPrintable(opened.description()));
            return false;
        }
        session = std::make_unique<ProgrammingSession>(link, timers, view);
        session->setPacing(Pacing::fromSpeedIndex(speedIndex));
        return true;
    }

    QtTimerFactory timers;
    QtSerialControl control{timers};
    SerialLink link{control, timers};
    std::unique_ptr<ProgrammingSession> session;
};
