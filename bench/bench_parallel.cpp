// One board against eight programmed in parallel from one process: each board has its own simulator
// paced at 57600 baud, all get the same image. Parallel boards should cost little more than one,
// since the line, not the host, is the limit. Prints a table; exits 1 when a run fails.
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "cli/Console.h"
#include "cli/Programmer.h"
#include "clock/QtTimers.h"
#include "session/FileStreamer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

namespace {

constexpr int ImageBytes = 20 * 1024;
constexpr int RunLimitMs = 120'000;
constexpr double TargetRatio = 1.5;

struct Measure {
    int boards = 0;
    double seconds = 0;
    qint64 lines = 0;
};

// Programs `boards` simulators with the file; the wall time from start to the last board's end.
std::optional<Measure> programInParallel(int boards, const QString &file, const QByteArray &data) {
    std::vector<std::unique_ptr<SimProcess>> sims;
    CliOptions options;
    options.file = file;
    options.speedIndex = Pacing::AutoSpeedIndex;
    for (int i = 0; i < boards; ++i) {
        sims.push_back(std::make_unique<SimProcess>());
        if (!sims.back()->start({QStringLiteral("--baud"), QStringLiteral("57600"),
                                 QStringLiteral("--boot-delay"), QStringLiteral("50")})) {
            std::fprintf(stderr, "simulator: %s\n", qPrintable(sims.back()->errorString()));
            return std::nullopt;
        }
        options.boards.append(BoardTarget{0, sims.back()->slavePath()});
    }

    QtTimerFactory timers;
    Console console([](const QByteArray &) {}, false, [&timers] { return timers.now(); });
    Programmer programmer(options, console, timers);
    QEventLoop loop;
    QObject::connect(&programmer, &Programmer::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(RunLimitMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    programmer.start();
    loop.exec();
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;

    if (!programmer.isDone() || programmer.exitCode() != 0) {
        std::fprintf(stderr, "%d boards: the run failed (exit %d)\n", boards,
                     programmer.exitCode());
        return std::nullopt;
    }
    for (auto &sim : sims) {
        if (!sim->waitForRuns(1, 5000) || sim->image() != data) {
            std::fprintf(stderr, "%d boards: %s has a wrong image\n", boards,
                         qPrintable(sim->slavePath()));
            return std::nullopt;
        }
    }
    return Measure{boards, seconds, programmer.results().constFirst().lines};
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QByteArray data(ImageBytes, '\0');
    QRandomGenerator random(7);
    for (char &c : data)
        c = static_cast<char>(random.bounded(256));
    QFile file(dir.filePath(QStringLiteral("image.srec")));
    if (!file.open(QIODevice::WriteOnly) || file.write(SRecordWriter::file(data, 0x8000)) < 0)
        return 1;
    file.close();

    const auto one = programInParallel(1, file.fileName(), data);
    const auto eight = one ? programInParallel(8, file.fileName(), data) : std::nullopt;
    if (!one || !eight)
        return 1;

    std::printf("Parallel programming, %d KB image (%lld lines), simulators paced at 57600 baud, "
                "speed auto\n\n",
                ImageBytes / 1024, static_cast<long long>(one->lines));
    std::printf("| Boards | Wall time (s) | Ratio to one board |\n");
    std::printf("|-------:|--------------:|-------------------:|\n");
    for (const Measure &m : {*one, *eight})
        std::printf("| %6d | %13.2f | %18.2f |\n", m.boards, m.seconds, m.seconds / one->seconds);
    const double ratio = eight->seconds / one->seconds;
    std::printf("\nTarget: ratio <= %.1f: %s\n", TargetRatio,
                ratio <= TargetRatio ? "met" : "NOT met");
    return 0;
}
