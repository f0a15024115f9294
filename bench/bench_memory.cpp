// Memory of a long transfer: a large S-record file streamed headless against the simulator
// ("Auto - fast", a view that discards the device's text). A run holds its file, read whole at
// START so that the device gets the file as it was then, and nothing else that grows with it: its
// peak resident memory must not grow by more than the file's size and 2 MiB.
//
//   bench_memory [file-megabytes]   default 100
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "platform/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"

#include "BenchSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <random>

namespace {

// Written a record at a time, so that making the file does not itself raise the peak.
qint64 writeImage(const QString &path, qint64 targetBytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return -1;
    std::mt19937 random(1);
    QByteArray payload(32, '\0');
    quint32 address = 0x08000000;
    qint64 written = 0, lines = 0;
    while (written < targetBytes) {
        for (char &c : payload)
            c = static_cast<char>(random());
        // Wrap inside 64 MiB: the simulator's image stays small however long the file.
        const QByteArray line = SRecordWriter::record('3', address, payload) + '\n';
        address = 0x08000000 + ((address - 0x08000000 + 32) % (64u << 20));
        file.write(line);
        written += line.size();
        ++lines;
    }
    file.write(SRecordWriter::record('7', 0x08000000, {}) + '\n');
    return lines + 1;
}

struct Outcome {
    bool ok = false;
    double seconds = 0;
};

Outcome stream(ProgrammingSession &session, const QString &path, SimProcess &sim, int run,
               qint64 lines) {
    session.chooseFile(path);
    QEventLoop loop;
    RunResult result = RunResult::Cancelled;
    const auto ended =
        QObject::connect(&session, &ProgrammingSession::runEnded, [&](const RunSummary &run) {
            result = run.result;
            loop.quit();
        });
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(0, &session, [&session] { session.start(); });
    loop.exec();
    QObject::disconnect(ended);
    Outcome outcome;
    outcome.seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const auto summary = sim.waitForRuns(run, 30'000) ? sim.summary() : std::nullopt;
    outcome.ok = result == RunResult::Programmed && summary &&
                 summary->value(QStringLiteral("bad_lines")).toInt() == 0 &&
                 summary->value(QStringLiteral("lines")).toInteger() == lines;
    return outcome;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const qint64 megabytes = argc > 1 ? std::max(1LL, QByteArray(argv[1]).toLongLong()) : 100;
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("warm-up.srec"));
    const QString large = dir.filePath(QStringLiteral("large.srec"));
    const qint64 smallLines = writeImage(small, 256 * 1024);
    std::fprintf(stderr, "writing %lld MB...\n", static_cast<long long>(megabytes));
    const qint64 largeLines = writeImage(large, megabytes * 1000 * 1000);

    SimProcess sim;
    if (!sim.start({QStringLiteral("--boot-delay"), QStringLiteral("20")})) {
        std::fprintf(stderr, "simulator: %s\n", qPrintable(sim.errorString()));
        return 1;
    }
    QtSerialControl control;
    control.setDeviceOverride(sim.slavePath());
    SerialLink link(control);
    if (const SerialStatus opened = link.connect(0); !opened) {
        std::fprintf(stderr, "%s\n", qPrintable(opened.description()));
        return 1;
    }
    QtTimerFactory timers;
    EchoView view;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(Pacing::AutoSpeedIndex));

    // The warm-up brings every buffer and code path of a run in.
    const Outcome warm = stream(session, small, sim, 1, smallLines);
    const qint64 rssBefore = statusKiB("VmRSS"), hwmBefore = statusKiB("VmHWM");
    std::fprintf(stderr, "streaming %lld lines...\n", static_cast<long long>(largeLines));
    const Outcome big = stream(session, large, sim, 2, largeLines);
    const qint64 rssAfter = statusKiB("VmRSS"), hwmAfter = statusKiB("VmHWM");

    // A run holds the snapshot of its file, read whole at START, and nothing more that grows with
    // it.
    const qint64 growthKiB = hwmAfter - hwmBefore;
    const qint64 fileKiB = QFileInfo(large).size() / 1024;
    const qint64 targetKiB = fileKiB + 2048;
    std::printf(
        "Peak resident memory (VmHWM) streaming %lld MB (%lld lines) headless, \"Auto - fast\"\n\n",
        static_cast<long long>(megabytes), static_cast<long long>(largeLines));
    std::printf("| moment | VmRSS KiB | VmHWM KiB |\n|---|---|---|\n");
    std::printf("| idle, after a warm-up run | %lld | %lld |\n", static_cast<long long>(rssBefore),
                static_cast<long long>(hwmBefore));
    std::printf("| after the large run | %lld | %lld |\n\n", static_cast<long long>(rssAfter),
                static_cast<long long>(hwmAfter));
    std::printf("peak growth: %lld KiB (target <= the file's %lld KiB + 2048 KiB = %lld KiB: %s)   "
                "run: %.1f s, %.0f lines/s   %s\n",
                static_cast<long long>(growthKiB), static_cast<long long>(fileKiB),
                static_cast<long long>(targetKiB), growthKiB <= targetKiB ? "met" : "MISSED",
                big.seconds, static_cast<double>(largeLines) / big.seconds,
                warm.ok && big.ok ? "programmed, no bad line" : "A RUN FAILED");
    return warm.ok && big.ok ? 0 : 1;
}
