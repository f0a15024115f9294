// How close the program's streamer comes to what the line allows, against the device simulator.
//
//   bench_throughput [repetitions] [lines]   the session's transfer ("Auto - fast") against a bare
//                                            sender written here, same file, no line pacing, which
//                                            blocks in read() for each "." (and once more waiting
//                                            in poll() first, and once more on Qt's event loop, as
//                                            the program does); default 5 repetitions of 10,000
//                                            80-character S3 lines
//   bench_throughput --wire [data-bytes] [bytes-per-record]
//                                            both at 57600 baud against the wire time of the bytes
//                                            they sent; default 1 MiB of data in 32-byte records
//
// The senders take turns against a fresh simulator each, and are timed from the first line handed
// over to the last "." received, so that the shared, noisy machine affects them alike.
#include "BenchSupport.h"
#include "SimRuns.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>
#include <vector>

namespace {

constexpr double WireBytesPerSecond = 5760.0; // 57600 baud, 8N1: ten bits a byte

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

// The program: the session's real transfer, headless, as the window runs it.
Timing runProgram(const QString &path, qint64 lines, const QStringList &simArguments) {
    Timing timing;
    SimProcess sim;
    if (!startSim(sim, simArguments))
        return timing;
    DotClock view;
    view.expected = lines;
    HeadlessSession headless;
    if (!headless.open(sim.slavePath(), view))
        return timing;
    ProgrammingSession &session = *headless.session;
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
    QObject::connect(&session, &ProgrammingSession::runEnded, [&](const RunSummary &run) {
        result = run.result;
        loop.quit();
    });
    view.clock.start();
    QTimer::singleShot(0, &session, [&session] { session.start(); });
    loop.exec();
    timing.seconds = static_cast<double>(view.lastDotNs - firstNs) / 1e9;
    timing.cpu = view.lastDotCpu - firstCpu;
    timing.ok = result == RunResult::Programmed && view.dots == lines && deviceHappy(sim, lines);
    if (result != RunResult::Programmed || view.dots != lines)
        std::fprintf(stderr, "program: %s, %lld dots\n", qPrintable(toString(result)),
                     static_cast<long long>(view.dots));
    return timing;
}

int compareSenders(int repetitions, int lineCount) {
    // 80 characters: "S3", count, 4 address bytes, 33 data bytes, checksum.
    const QList<QByteArray> lines = makeLines(qint64{33} * (lineCount - 1), 33);
    QTemporaryDir dir;
    const QString path = writeLines(dir, lines);
    // The program, then the bare senders in the order of BareWait.
    constexpr int Senders = 4;
    std::array<std::vector<double>, Senders> seconds, cpu;
    bool ok = true;
    for (int r = 0; r < repetitions; ++r) {
        // Rotate which goes first, so that none always meets a warmer machine.
        for (int turn = 0; turn < Senders; ++turn) {
            const int sender = (turn + r) % Senders;
            const Timing t = sender == 0
                                 ? runProgram(path, lines.size(), {})
                                 : runBareSender(lines, {}, static_cast<BareWait>(sender - 1));
            ok = ok && t.ok;
            seconds[sender].push_back(t.seconds);
            cpu[sender].push_back(t.cpu);
        }
    }
    const double p = median(seconds[0]), ref = median(seconds[1]), poll = median(seconds[2]),
                 qt = median(seconds[3]);
    const double n = static_cast<double>(lines.size());
    std::printf(
        "Streaming %lld lines of %lld characters, \"Auto - fast\", median of %d runs each\n\n",
        static_cast<long long>(lines.size()), static_cast<long long>(lines.first().size()),
        repetitions);
    std::printf("| sender | median s | lines/s | us per line | sender's CPU us per line "
                "|\n|---|---|---|---|---|\n");
    const std::array<const char *, Senders> names = {
        "program (session, QtSerialControl)", "reference (raw tty, blocking read)",
        "reference (raw tty, poll then read)", "reference (raw tty, Qt's event loop)"};
    for (const int sender : {1, 2, 3, 0}) {
        const double s = median(seconds[sender]);
        std::printf("| %s | %.3f | %.0f | %.1f | %.1f |\n", names[sender], s, n / s, s / n * 1e6,
                    median(cpu[sender]) / n * 1e6);
    }
    std::printf("\n");
    std::printf("program / reference: %.3f (target <= 1.10)   overhead per line: %.1f us   %s\n",
                p / ref, (p - ref) / n * 1e6,
                ok ? "every run programmed, no bad line" : "A RUN FAILED");
    // What a sender built on an event loop costs at the least, waiting in poll() before it reads.
    std::printf("program / polling reference: %.3f; polling reference / reference: %.3f\n",
                p / poll, poll / ref);
    // What any program on Qt's event loop costs at the least: the rest is the program's own.
    std::printf("program / Qt event-loop reference: %.3f; that reference / reference: %.3f\n",
                p / qt, qt / ref);
    return ok ? 0 : 1;
}

int wireRate(qint64 dataBytes, int perRecord) {
    const QList<QByteArray> lines = makeLines(dataBytes, perRecord);
    QTemporaryDir dir;
    const QString path = writeLines(dir, lines);
    const QStringList paced = {QStringLiteral("--baud"), QStringLiteral("57600")};
    std::fprintf(stderr, "streaming %lld lines at 57600 baud twice, about %.0f s each...\n",
                 static_cast<long long>(lines.size()),
                 static_cast<double>(lines.size()) * static_cast<double>(lines.first().size() + 2) /
                     WireBytesPerSecond);
    const Timing program = runProgram(path, lines.size(), paced);
    const Timing reference = runBareSender(lines, paced);
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
