#include "Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

bool waitUntil(const std::function<bool()> &done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

bool waitForEnd(QProcess &process, int timeoutMs) {
    return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
}
