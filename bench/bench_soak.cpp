// Endurance: complete runs back to back in one program instance against the simulator, headless
// ("Auto - fast"). Every run must program the right image, and resident memory must not creep.
// Each run spends about 1.3 s in the protocol's fixed delays, so 1,000 runs take over 20 minutes.
//
//   bench_soak [runs]   default 1000
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
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 1000;

    // Two images in turn, so that a run that kept the previous image would show.
    QTemporaryDir dir;
    QByteArray images[2];
    QString paths[2];
    for (int i = 0; i < 2; ++i) {
        QRandomGenerator random(static_cast<quint32>(i + 1));
        images[i] = QByteArray(2048 + 512 * i, '\0');
        for (char &c : images[i])
            c = static_cast<char>(random.bounded(256));
        paths[i] = dir.filePath(QStringLiteral("image%1.srec").arg(i));
        QFile file(paths[i]);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(SRecordWriter::file(images[i], 0x08000000));
    }

    // The simulator's output goes to a file: a harness that kept its report line of every run would
    // itself grow by a hundred bytes a run and blur the figure.
    const QString board = dir.filePath(QStringLiteral("board"));
    const QString image = dir.filePath(QStringLiteral("image.bin"));
    QProcess sim;
    sim.setStandardOutputFile(dir.filePath(QStringLiteral("sim.out")));
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(SimProcess::executablePath(),
              {QStringLiteral("--boot-delay"), QStringLiteral("20"), QStringLiteral("--link"),
               board, QStringLiteral("--image"), image, QStringLiteral("--summary"),
               dir.filePath(QStringLiteral("summary.json"))});
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(board) && waited.elapsed() < 5000)
        sim.waitForFinished(10);
    if (!QFileInfo::exists(board)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    QtSerialControl control;
    control.setDeviceOverride(board);
    SerialLink link(control);
    if (!link.connect(0))
        return 1;
    QtTimerFactory timers;
    EchoView view;
    ProgrammingSession session(link, timers, view);
    session.setPacing(Pacing::fromSpeedIndex(Pacing::AutoSpeedIndex));

    QEventLoop loop;
    RunResult result = RunResult::Cancelled;
    QObject::connect(&session, &ProgrammingSession::runEnded, [&](const RunSummary &run) {
        result = run.result;
        loop.quit();
    });
    int failures = 0;
    qint64 rssFirst = 0;
    QElapsedTimer clock;
    clock.start();
    for (int run = 1; run <= runs; ++run) {
        session.chooseFile(paths[run % 2]);
        QTimer::singleShot(0, &session, [&session] { session.start(); });
        loop.exec();
        // The simulator writes the image before it answers the last line.
        const bool ok = result == RunResult::Programmed && readAll(image) == images[run % 2];
        if (!ok) {
            ++failures;
            std::fprintf(stderr, "run %d: %s\n", run, qPrintable(toString(result)));
        }
        if (run == 1)
            rssFirst = statusKiB("VmRSS");
        if (run % 100 == 0)
            std::fprintf(stderr, "%d runs, %d failed, VmRSS %lld KiB\n", run, failures,
                         static_cast<long long>(statusKiB("VmRSS")));
    }
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const qint64 rssLast = statusKiB("VmRSS");
    sim.terminate();
    sim.waitForFinished(3000);
    std::printf("%d complete runs back to back, one instance, \"Auto - fast\"\n\n", runs);
    std::printf("| runs | failures | VmRSS after run 1 KiB | VmRSS at the end KiB | growth KiB | "
                "VmHWM KiB | s per run |\n");
    std::printf("|---|---|---|---|---|---|---|\n");
    std::printf("| %d | %d | %lld | %lld | %lld | %lld | %.2f |\n", runs, failures,
                static_cast<long long>(rssFirst), static_cast<long long>(rssLast),
                static_cast<long long>(rssLast - rssFirst),
                static_cast<long long>(statusKiB("VmHWM")), seconds / runs);
    return failures == 0 ? 0 : 1;
}
