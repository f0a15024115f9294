#include "TestPty.h"

#include <QCoreApplication>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

TestPty::TestPty() {
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (::openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        master_ = slave_ = -1;
        return;
    }
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    // Programs a test starts must not hold the device's end of the line.
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slavePath_ = QString::fromLocal8Bit(name);
}

TestPty::~TestPty() {
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

void TestPty::write(const QByteArray &bytes) {
    qsizetype done = 0;
    while (done < bytes.size() && master_ >= 0) {
        const ssize_t n =
            ::write(master_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (errno == EAGAIN) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        } else {
            return;
        }
    }
}

QByteArray TestPty::readAvailable() {
    QByteArray out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = master_ >= 0 ? ::read(master_, buffer, sizeof buffer) : -1;
        if (n <= 0)
            break;
        out.append(buffer, n);
    }
    return out;
}

QByteArray TestPty::readAtLeast(qsizetype count, int timeoutMs) {
    QByteArray out;
    waitUntil(
        [&] {
            out += readAvailable();
            return out.size() >= count;
        },
        timeoutMs);
    return out;
}

void TestPty::hangUp() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
    if (slave_ >= 0)
        ::close(slave_);
    slave_ = -1;
}
