#include "SimRuns.h"

#include "SRecordWriter.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

QList<QByteArray> makeLines(qint64 dataBytes, int perRecord, bool header) {
    QByteArray data(static_cast<qsizetype>(dataBytes), '\0');
    QRandomGenerator random(1);
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits32;
    options.bytesPerRecord = perRecord;
    options.header = header;
    return SRecordWriter::lines(data, 0x08000000, options);
}

QString writeLines(const QTemporaryDir &dir, const QList<QByteArray> &lines) {
    const QString path = dir.filePath(QStringLiteral("image.srec"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    for (const QByteArray &line : lines)
        file.write(line + '\n');
    return path;
}

bool startSim(SimProcess &sim, QStringList arguments) {
    arguments << QStringLiteral("--boot-delay") << QString::number(BootDelayMs);
    if (!sim.start(arguments)) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return false;
    }
    return true;
}

bool deviceHappy(SimProcess &sim, qint64 lines) {
    const auto summary = sim.waitForRuns(1, 10'000) ? sim.summary() : std::nullopt;
    const bool happy = summary && summary->value(QStringLiteral("bad_lines")).toInt() == 0 &&
                       summary->value(QStringLiteral("lines")).toInteger() == lines;
    if (!happy)
        std::fprintf(stderr, "the device did not take %lld good lines\n",
                     static_cast<long long>(lines));
    return happy;
}

namespace {

bool waitForByte(int fd, char wanted, int timeoutMs) {
    char buffer[256];
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5) <= 0)
            continue;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0 && std::find(buffer, buffer + n, wanted) != buffer + n)
            return true;
    }
    return false;
}

// Sends `wire` from Qt's event loop, each line once the "." for the one before it is read; false
// when a write or read fails or the device stops answering.
bool sendFromEventLoop(int fd, const std::vector<QByteArray> &wire, const QElapsedTimer &clock,
                       Timing &timing) {
    QEventLoop loop;
    QSocketNotifier answers(fd, QSocketNotifier::Read);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.setInterval(3000);
    bool ok = true;
    std::size_t next = 0;
    const auto sendNext = [&] {
        if (next == wire.size())
            return loop.quit();
        const QByteArray &line = wire[next++];
        if (::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
            ok = false;
            return loop.quit();
        }
        timing.lineNs.push_back(clock.nsecsElapsed());
    };
    QObject::connect(&answers, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            ok = false;
            return loop.quit();
        }
        if (std::find(buffer, buffer + n, '.') == buffer + n)
            return;
        ++timing.lines;
        watchdog.start();
        sendNext();
    });
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        ok = false;
        loop.quit();
    });
    // The non-blocking reads a notifier needs.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    watchdog.start();
    sendNext();
    loop.exec();
    return ok;
}

// Sends `wire` one line at a time, waiting for each line's "." in read(), after poll() if
// `wait` says so; false when a write or read fails.
bool sendWaitingInRead(int fd, const std::vector<QByteArray> &wire, BareWait wait,
                       const QElapsedTimer &clock, Timing &timing) {
    char buffer[256];
    for (const QByteArray &line : wire) {
        if (::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size())
            return false;
        timing.lineNs.push_back(clock.nsecsElapsed());
        bool dot = false;
        while (!dot) {
            if (wait == BareWait::PollThenRead) {
                pollfd ready{fd, POLLIN, 0};
                if (::poll(&ready, 1, -1) != 1)
                    return false;
            }
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            dot = std::find(buffer, buffer + n, '.') != buffer + n;
        }
        ++timing.lines;
    }
    return true;
}

} // namespace

Timing runBareSender(const QList<QByteArray> &lines, const QStringList &simArguments,
                     BareWait wait) {
    Timing timing;
    SimProcess sim;
    if (!startSim(sim, simArguments))
        return timing;
    const int fd = ::open(sim.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
    if (fd < 0)
        return timing;
    termios mode{};
    ::tcgetattr(fd, &mode);
    ::cfmakeraw(&mode);
    ::cfsetspeed(&mode, B57600);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    ::tcsetattr(fd, TCSANOW, &mode);

    std::vector<QByteArray> wire;
    for (const QByteArray &line : lines) {
        wire.push_back(line + '\n');
        timing.bytes += wire.back().size();
    }
    timing.lineNs.reserve(wire.size());
    // Restart the device into its bootloader and ask for the file, untimed.
    bool prompted = false;
    for (int i = 0; i < 2000 && !prompted; ++i) {
        [[maybe_unused]] const ssize_t probe = ::write(fd, "i", 1);
        prompted = waitForByte(fd, '>', 5);
    }
    [[maybe_unused]] const ssize_t command = ::write(fd, "f", 1);
    if (!prompted || !waitForByte(fd, '_', 2000)) {
        ::close(fd);
        return timing;
    }

    QElapsedTimer clock;
    clock.start();
    const double startCpu = cpuSeconds();
    const bool ok = wait == BareWait::QtEventLoop
                        ? sendFromEventLoop(fd, wire, clock, timing)
                        : sendWaitingInRead(fd, wire, wait, clock, timing);
    timing.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    timing.cpu = cpuSeconds() - startCpu;
    ::close(fd);
    timing.ok = ok && deviceHappy(sim, timing.lines);
    return timing;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Gaps gapsBetween(const std::vector<qint64> &ns) {
    if (ns.size() < 2)
        return {};
    std::vector<double> gaps;
    gaps.reserve(ns.size() - 1);
    for (std::size_t i = 1; i < ns.size(); ++i)
        gaps.push_back(static_cast<double>(ns[i] - ns[i - 1]) / 1e6);
    const double longest = *std::max_element(gaps.begin(), gaps.end());
    return {median(std::move(gaps)), longest};
}
