// How close the program's streamer comes to what the line allows, against the device simulator.
//
//   bench_throughput [repetitions] [lines]   the session's transfer ("Auto - fast") against a bare
//                                            sender written here, same file, no line pacing;
//                                            default 5 repetitions of 10,000 80-character S3 lines
//   bench_throughput --wire [data-bytes] [bytes-per-record]
//                                            both at 57600 baud against the wire time of the bytes
//                                            they sent; default 1 MiB of data in 32-byte records
//
// Both senders run alternately against a fresh simulator each, and are timed from the first line
// handed over to the last "." received, so that the shared, noisy machine affects both alike.
#include "BenchSupport.h"
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"
#include "platform/QtTimers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr int BootDelayMs = 20;
constexpr double WireBytesPerSecond = 5760.0; // 57600 baud, 8N1: ten bits a byte

// CPU time of this process: unlike wall time, not inflated when other processes take the cores.
double cpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Timing {
    bool ok = false;
    double seconds = 0;
    double cpu = 0; // of the sender, over the same span
    qint64 lines = 0;
    qint64 bytes = 0; // file bytes and line feeds sent
};

// Records when the device's "." for the last line came in; the rest is discarded.
class DotClock final : public EchoView {
public:
    void appendReceived(const QByteArray &bytes) override {
        if (dots >= expected)
            return;
        dots = std::min(expected, dots + bytes.count('.')); // the closing text has dots too
        if (dots == expected) {
            lastDotNs = clock.nsecsElapsed();
            lastDotCpu = cpuSeconds();
        }
    }

    QElapsedTimer clock;
    qint64 expected = 0;
    qint64 dots = 0;
    qint64 lastDotNs = 0;
    double lastDotCpu = 0;
};

QList<QByteArray> makeLines(qint64 dataBytes, int perRecord) {
    QByteArray data(static_cast<qsizetype>(dataBytes), '\0');
    QRandomGenerator random(1);
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    SRecordWriter::Options options;
    options.width = SRecordWriter::AddressWidth::Bits32;
    options.bytesPerRecord = perRecord;
    options.header = false;
    return SRecordWriter::lines(data, 0x08000000, options);
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

// The program: the session's real transfer, headless, as the window runs it.
Timing runProgram(const QString &path, qint64 lines, const QStringList &simArguments) {
    Timing timing;
    SimProcess sim;
    if (!startSim(sim, simArguments))
        return timing;
    QtSerialControl control;
    control.setDeviceOverride(sim.slavePath());
    SerialLink link(control);
    if (!link.openForBootloader())
        return timing;
    QtTimerFactory timers;
    DotClock view;
    view.expected = lines;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(Pacing::AutoSpeedIndex));
    session.setCheckRecords(true);
    session.chooseFile(path);

    qint64 firstNs = -1;
    double firstCpu = 0;
    QObject::connect(&session, &ProgrammingSession::lineSent,
                     [&](qint64 line, qint64, qint64 bytes) {
                         if (line == 1) {
                             firstNs = view.clock.nsecsElapsed();
                             firstCpu = cpuSeconds();
                         }
                         timing.lines = line;
                         timing.bytes += bytes;
                     });
    QEventLoop loop;
    RunResult result = RunResult::Cancelled;
    QObject::connect(&session, &ProgrammingSession::runEnded, [&](RunResult r) {
        result = r;
        loop.quit();
    });
    view.clock.start();
    QTimer::singleShot(0, &session, &ProgrammingSession::start);
    loop.exec();
    timing.seconds = static_cast<double>(view.lastDotNs - firstNs) / 1e9;
    timing.cpu = view.lastDotCpu - firstCpu;
    timing.ok = result == RunResult::Programmed && view.dots == lines && deviceHappy(sim, lines);
    if (result != RunResult::Programmed || view.dots != lines)
        std::fprintf(stderr, "program: %s, %lld dots\n", qPrintable(toString(result)),
                     static_cast<long long>(view.dots));
    return timing;
}

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

// The reference: a bare sender on the raw tty, one write per line, a blocking read for its ".".
Timing runReference(const QList<QByteArray> &lines, const QStringList &simArguments) {
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
    char buffer[256];
    bool ok = true;
    for (const QByteArray &line : wire) {
        if (::write(fd, line.constData(), static_cast<size_t>(line.size())) != line.size()) {
            ok = false;
            break;
        }
        bool dot = false;
        while (!dot) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) {
                ok = false;
                break;
            }
            dot = std::find(buffer, buffer + n, '.') != buffer + n;
        }
        if (!ok)
            break;
        ++timing.lines;
    }
    timing.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    timing.cpu = cpuSeconds() - startCpu;
    ::close(fd);
    timing.ok = ok && deviceHappy(sim, timing.lines);
    return timing;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QString writeFile(const QTemporaryDir &dir, const QList<QByteArray> &lines) {
    const QString path = dir.filePath(QStringLiteral("image.srec"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    for (const QByteArray &line : lines)
        file.write(line + '\n');
    return path;
}

int compareSenders(int repetitions, int lineCount) {
    // 80 characters: "S3", count, 4 address bytes, 33 data bytes, checksum.
    const QList<QByteArray> lines = makeLines(qint64{33} * (lineCount - 1), 33);
    QTemporaryDir dir;
    const QString path = writeFile(dir, lines);
    std::vector<double> program, reference, programCpu, referenceCpu;
    bool ok = true;
    for (int r = 0; r < repetitions; ++r) {
        // Alternate which goes first, so that neither always meets a warmer machine.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == (r % 2 == 0)) {
                const Timing t = runProgram(path, lines.size(), {});
                ok = ok && t.ok;
                program.push_back(t.seconds);
                programCpu.push_back(t.cpu);
            } else {
                const Timing t = runReference(lines, {});
                ok = ok && t.ok;
                reference.push_back(t.seconds);
                referenceCpu.push_back(t.cpu);
            }
        }
    }
    const double p = median(program), ref = median(reference);
    const double n = static_cast<double>(lines.size());
    std::printf(
        "Streaming %lld lines of %lld characters, \"Auto - fast\", median of %d runs each\n\n",
        static_cast<long long>(lines.size()), static_cast<long long>(lines.first().size()),
        repetitions);
    std::printf("| sender | median s | lines/s | us per line | sender's CPU us per line "
                "|\n|---|---|---|---|---|\n");
    std::printf("| reference (raw tty, blocking read) | %.3f | %.0f | %.1f | %.1f |\n", ref,
                n / ref, ref / n * 1e6, median(referenceCpu) / n * 1e6);
    std::printf("| program (session, QtSerialControl) | %.3f | %.0f | %.1f | %.1f |\n\n", p, n / p,
                p / n * 1e6, median(programCpu) / n * 1e6);
    std::printf("program / reference: %.3f (target <= 1.10)   overhead per line: %.1f us   %s\n",
                p / ref, (p - ref) / n * 1e6,
                ok ? "every run programmed, no bad line" : "A RUN FAILED");
    return ok ? 0 : 1;
}

int wireRate(qint64 dataBytes, int perRecord) {
    const QList<QByteArray> lines = makeLines(dataBytes, perRecord);
    QTemporaryDir dir;
    const QString path = writeFile(dir, lines);
    const QStringList paced = {QStringLiteral("--baud"), QStringLiteral("57600")};
    std::fprintf(stderr, "streaming %lld lines at 57600 baud twice, about %.0f s each...\n",
                 static_cast<long long>(lines.size()),
                 static_cast<double>(lines.size()) * static_cast<double>(lines.first().size() + 2) /
                     WireBytesPerSecond);
    const Timing program = runProgram(path, lines.size(), paced);
    const Timing reference = runReference(lines, paced);
    std::printf(
        "Wire rate: %lld bytes of data in %lld lines of %d bytes, the simulator pacing both "
        "directions at 57600 baud 8N1\n\n",
        static_cast<long long>(dataBytes), static_cast<long long>(lines.size()), perRecord);
    std::printf("| sender | bytes sent | wire-time bound s | measured s | efficiency "
                "|\n|---|---|---|---|---|\n");
    for (const auto &[name, t] : {std::pair{"reference (raw tty, blocking read)", reference},
                                  std::pair{"program (session, QtSerialControl)", program}}) {
        const double bound = static_cast<double>(t.bytes) / WireBytesPerSecond;
        std::printf("| %s | %lld | %.2f | %.2f | %.1f %% |\n", name,
                    static_cast<long long>(t.bytes), bound, t.seconds, 100.0 * bound / t.seconds);
    }
    std::printf("\nprogram efficiency: %.1f %% (target >= 97 %%), program / reference: %.3f   %s\n",
                100.0 * static_cast<double>(program.bytes) / WireBytesPerSecond / program.seconds,
                program.seconds / reference.seconds,
                program.ok && reference.ok ? "programmed, no bad line" : "A RUN FAILED");
    return program.ok && reference.ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (!args.isEmpty() && args.first() == QStringLiteral("--wire"))
        return wireRate(args.size() > 1 ? std::max(1LL, args[1].toLongLong()) : 1024 * 1024,
                        args.size() > 2 ? std::clamp(args[2].toInt(), 1, 250) : 32);
    const int repetitions = args.size() > 0 ? std::max(1, args[0].toInt()) : 5;
    const int lines = args.size() > 1 ? std::max(2, args[1].toInt()) : 10'000;
    return compareSenders(repetitions, lines);
}
