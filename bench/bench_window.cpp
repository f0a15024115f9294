// The window's transfer beside the command line's and three bare senders', on the same image: one
// that blocks in read() for each ".", one that waits in poll() first, as an event loop does, and
// one on Qt's event loop, as the program is.
//
//   bench_window [--x-display] [--only bare|bare-poll|qt-loop|cli|window] [repetitions]
//       default 3 runs of each on the 32,770-line image (1 MiB of data in 32-byte S3 records, an
//       S0 and an S7), "Auto - fast"; --x-display: the window on an X display (Xvfb) with a window
//       manager (openbox), as on a desktop, instead of the offscreen platform; --only: that sender
//       alone, for a profiler (perf record, strace -c)
//
// The window is the real frmProg, driven as the operator drives it: a port number mapped to the
// simulator's pty, Connect, browse, "Auto - fast", START PROGRAMMING.
// The command line is the built tarnix-pellora-cli, run as a process. Each takes its turn against
// a fresh simulator, the order rotating from one repetition to the next so that none always meets
// the same machine. Each is timed from its first line handed over to the device's answer to its
// last line: the bare sender to its last "."; the window and the command line to "PROGRAMMED",
// which the device sends together with its last ".".
//
// Exits 1 when a run fails; a missed target is printed, not an error.
#include "SimRuns.h"
#include "VirtualDisplay.h"
#include "app/frmProg.h"
#include "session/Pacing.h"
#include "settings/ModuleReg.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

// A number whose fallback device (/dev/ttyS4241) exists on no machine.
constexpr int Port = 4242;
// Whatever happens, no run holds the benchmark longer than this.
constexpr int RunLimitMs = 300'000;
constexpr double WindowTarget = 1.15; // × the bare sender
constexpr double StallTargetMs = 20;
// The window manager of --x-display.
constexpr const char *WindowManager = "openbox";
constexpr int WindowManagerWaitMs = 5000;

struct Run {
    Timing timing;
    double stallMs = -1;      // the window's longest event-loop stall; -1 where not watched
    double busyStallMs = -1;  // the most CPU time the window's thread spent between two ticks
    double wholeSeconds = -1; // the command line's own time for the whole run (--json)
};

QString loadAverage() {
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QList<QByteArray> fields = file.readAll().split(' ');
    return fields.size() < 3 ? QStringLiteral("?")
                             : QString::fromLatin1(fields[0] + ' ' + fields[1] + ' ' + fields[2]);
}

qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

template <typename T> T *control(const frmProg &window, const char *name) {
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        std::fprintf(stderr, "window: no control %s\n", name);
    return found;
}

// With `watchStalls` a 1 ms ticker measures the event loop's longest stall; its ticks cost the
// window a few microseconds of CPU a line, so the timed runs go without it.
Run runWindow(const QString &path, qint64 lines, bool watchStalls) {
    Run run;
    Timing &timing = run.timing;
    SimProcess sim;
    if (!startSim(sim, {}))
        return run;
    if (!ModuleReg::mapPortDevice(Port, sim.slavePath())) {
        std::fprintf(stderr, "window: cannot map port %d in the settings file\n", Port);
        return run;
    }
    frmProg window;
    window.show();
    // On a display, the run starts once the window manager has framed the window: its title bar
    // is part of what a caption costs.
    if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
        QElapsedTimer waited;
        waited.start();
        while (window.frameGeometry().size() == window.size() &&
               waited.elapsed() < WindowManagerWaitMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (window.frameGeometry().size() == window.size())
            std::fprintf(stderr, "window: no window manager framed the window\n");
    }
    auto *portBox = control<QLineEdit>(window, "txtComPort");
    auto *connectButton = control<QPushButton>(window, "btnCon");
    auto *browse = control<QPushButton>(window, "btnopenFile");
    auto *speed = control<QComboBox>(window, "Combospeed");
    auto *startButton = control<QPushButton>(window, "btnFlash");
    if (!portBox || !connectButton || !browse || !speed || !startButton)
        return run;
    portBox->setText(QString::number(Port));
    connectButton->click();
    if (!window.PortOpen()) {
        std::fprintf(stderr, "window: Connect did not open the port: %s\n",
                     qPrintable(window.windowTitle()));
        return run;
    }
    window.setFileChooser([path](QWidget *) { return path; });
    browse->click();
    speed->setCurrentIndex(speed->findText(QStringLiteral("Auto - fast")));
    if (window.speedIndex() != Pacing::AutoSpeedIndex || !startButton->isEnabled()) {
        std::fprintf(stderr, "window: not ready to start (speed %d)\n", window.speedIndex());
        return run;
    }

    QElapsedTimer clock;
    clock.start();
    timing.lineNs.reserve(static_cast<std::size_t>(lines));
    double firstCpu = 0;
    double endCpu = 0;
    qint64 endNs = -1;
    // The stall watch: a tick every millisecond, counted from the first line to the run's end.
    // Its CPU time tells the window's own work from the time other processes held the core.
    qint64 lastTickNs = -1;
    qint64 longestTickNs = 0;
    qint64 lastTickCpuNs = 0;
    qint64 busiestTickNs = 0;
    const auto tick = [&](qint64 now) {
        const qint64 cpu = threadCpuNs();
        if (lastTickNs >= 0) {
            longestTickNs = std::max(longestTickNs, now - lastTickNs);
            busiestTickNs = std::max(busiestTickNs, cpu - lastTickCpuNs);
        }
        lastTickNs = now;
        lastTickCpuNs = cpu;
    };
    QObject::connect(&window.session(), &ProgrammingSession::lineSent,
                     [&](qint64 line, qint64, qint64 bytes) {
                         const qint64 now = clock.nsecsElapsed();
                         if (timing.lineNs.empty()) {
                             firstCpu = cpuSeconds();
                             tick(now);
                         }
                         timing.lineNs.push_back(now);
                         timing.lines = line;
                         timing.bytes += bytes;
                     });
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    ticker.setInterval(1);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (lastTickNs >= 0 && endNs < 0)
            tick(clock.nsecsElapsed());
    });
    QEventLoop loop;
    RunResult result = RunResult::Cancelled;
    QObject::connect(&window.session(), &ProgrammingSession::runEnded, [&](const RunSummary &run) {
        endNs = clock.nsecsElapsed();
        endCpu = cpuSeconds();
        tick(endNs);
        result = run.result;
        loop.quit();
    });
    QTimer::singleShot(RunLimitMs, &loop, &QEventLoop::quit);
    if (watchStalls)
        ticker.start();
    startButton->click();
    loop.exec();
    ticker.stop();

    if (result != RunResult::Programmed || timing.lineNs.empty()) {
        std::fprintf(stderr, "window: %s after %lld lines, caption \"%s\"\n",
                     endNs < 0 ? "no end in time" : qPrintable(toString(result)),
                     static_cast<long long>(timing.lines), qPrintable(window.windowTitle()));
        return run;
    }
    timing.seconds = static_cast<double>(endNs - timing.lineNs.front()) / 1e9;
    timing.cpu = endCpu - firstCpu;
    if (watchStalls) {
        run.stallMs = static_cast<double>(longestTickNs) / 1e6;
        run.busyStallMs = static_cast<double>(busiestTickNs) / 1e6;
    }
    timing.ok = timing.lines == lines && deviceHappy(sim, lines);
    return run;
}

// CPU seconds a process has used so far, from /proc/<pid>/stat; -1 when it cannot be read.
double processCpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The name in parentheses may hold spaces; the fields after it are: state, ppid, … utime (the
    // 14th field of the line), stime (the 15th).
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    const double ticks = static_cast<double>(fields[11].toLongLong() + fields[12].toLongLong());
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// The command line prints its stages and, on a pipe, a progress line for its first line sent and
// then at most one a second: the first progress line and "PROGRAMMED" bound the transfer.
Run runCli(const QString &path, qint64 lines) {
    Run run;
    Timing &timing = run.timing;
    SimProcess sim;
    if (!startSim(sim, {}))
        return run;
    QProcess cli;
    QElapsedTimer clock;
    QByteArray partial;
    QByteArray said;
    qint64 firstNs = -1;
    qint64 endNs = -1;
    double firstCpu = -1;
    double endCpu = -1;
    QObject::connect(&cli, &QProcess::readyReadStandardError, [&] {
        const qint64 now = clock.nsecsElapsed();
        partial += cli.readAllStandardError();
        for (qsizetype end = partial.indexOf('\n'); end >= 0; end = partial.indexOf('\n')) {
            const QByteArray line = partial.left(end).trimmed();
            partial.remove(0, end + 1);
            said += line + '\n';
            if (firstNs < 0 && line.startsWith("progress ") && line.contains("(1/")) {
                firstNs = now;
                firstCpu = processCpuSeconds(cli.processId());
            } else if (endNs < 0 && line == "PROGRAMMED") {
                endNs = now;
                endCpu = processCpuSeconds(cli.processId());
            }
        }
    });
    QEventLoop loop;
    QObject::connect(&cli, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&cli, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer::singleShot(RunLimitMs, &loop, &QEventLoop::quit);
    clock.start();
    cli.start(QStringLiteral(PELLORA_CLI_PATH),
              {QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"), path,
               QStringLiteral("--speed"), QStringLiteral("auto"), QStringLiteral("--json")});
    loop.exec();
    if (cli.state() != QProcess::NotRunning) {
        cli.kill();
        cli.waitForFinished(3000);
    }

    const QJsonArray results = QJsonDocument::fromJson(cli.readAllStandardOutput()).array();
    const QJsonObject board = results.isEmpty() ? QJsonObject{} : results.first().toObject();
    run.wholeSeconds = board.value(QStringLiteral("seconds")).toDouble(-1);
    timing.lines = board.value(QStringLiteral("lines")).toInteger();
    timing.bytes = board.value(QStringLiteral("bytes")).toInteger();
    const bool exited = cli.exitStatus() == QProcess::NormalExit && cli.exitCode() == 0;
    if (!exited || firstNs < 0 || endNs < 0 || timing.lines != lines) {
        std::fprintf(stderr, "command line: %s, exit %d, %lld lines; it said:\n%s",
                     qPrintable(cli.errorString()), cli.exitCode(),
                     static_cast<long long>(timing.lines), said.constData());
        return run;
    }
    timing.seconds = static_cast<double>(endNs - firstNs) / 1e9;
    timing.cpu = firstCpu >= 0 && endCpu >= 0 ? endCpu - firstCpu : -1;
    timing.ok = deviceHappy(sim, lines);
    return run;
}

enum Sender { Bare, BarePoll, BareQtLoop, Cli, Window, Senders };
constexpr std::array<const char *, Senders> Keys = {"bare", "bare-poll", "qt-loop", "cli",
                                                    "window"};
std::array<const char *, Senders> Names = {
    "bare termios sender", "bare sender, poll then read", "bare sender on Qt's event loop",
    "command line (tarnix-pellora-cli)", "window (frmProg, offscreen)"};

struct Arguments {
    bool display = false;
    int only = -1; // a sender, or -1 for all of them
    int repetitions = 3;
    bool ok = true;
};

Arguments parse(int argc, char **argv) {
    Arguments a;
    for (int i = 1; i < argc && a.ok; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--x-display") {
            a.display = true;
        } else if (arg == "--only" && i + 1 < argc) {
            const auto found = std::find(Keys.begin(), Keys.end(), QByteArray(argv[++i]));
            a.only = found == Keys.end() ? -1 : static_cast<int>(found - Keys.begin());
            a.ok = a.only >= 0;
        } else {
            a.repetitions = std::max(1, arg.toInt(&a.ok));
        }
    }
    return a;
}

struct Summary {
    std::vector<double> seconds, cpuUsPerLine, medianGapMs, longestGapMs, stallMs, busyStallMs;
};

QString spread(const std::vector<double> &values, const char *format) {
    if (values.empty())
        return QStringLiteral("n/a");
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return QString::asprintf(format, median(values)) + QStringLiteral(" (") +
           QString::asprintf(format, *low) + QStringLiteral("–") +
           QString::asprintf(format, *high) + QLatin1Char(')');
}

} // namespace

int main(int argc, char **argv) {
    const Arguments arguments = parse(argc, argv);
    if (!arguments.ok) {
        std::fprintf(stderr, "usage: bench_window [--x-display] "
                             "[--only bare|bare-poll|qt-loop|cli|window] [repetitions]\n");
        return 2;
    }
    // Goes after the application: the display outlives the window's connection to it.
    VirtualDisplay display;
    if (arguments.display) {
        if (!display.start(WindowManager))
            return 1;
        Names[Window] = "window (frmProg, X display, openbox)";
    } else if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // A settings folder of its own: the port mapping must not touch the user's real settings.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int repetitions = arguments.repetitions;

    const QList<QByteArray> lines = makeLines(qint64{1024} * 1024, 32, true);
    QTemporaryDir dir;
    const QString path = writeLines(dir, lines);
    if (path.isEmpty()) {
        std::fprintf(stderr, "cannot write the image\n");
        return 1;
    }
    const qint64 lineCount = lines.size();
    const QString loadBefore = loadAverage();
    std::printf("Programming %lld lines (1 MiB of data in 32-byte S3 records), \"Auto - fast\", "
                "%d run(s) each, taking turns;\nthe window's event loop is watched for stalls in a "
                "run of its own after these\n\n| run | sender | s, first line to last | CPU us "
                "per line | result |\n|---|---|---|---|---|\n",
                static_cast<long long>(lineCount), repetitions);
    std::fflush(stdout);

    std::array<Summary, Senders> summary;
    bool ok = true;
    for (int r = 0; r < repetitions; ++r) {
        for (int turn = 0; turn < Senders; ++turn) {
            const auto sender = static_cast<Sender>((turn + r) % Senders);
            if (arguments.only >= 0 && sender != arguments.only)
                continue;
            Run run;
            if (sender == Bare)
                run.timing = runBareSender(lines, {}, BareWait::BlockingRead);
            else if (sender == BarePoll)
                run.timing = runBareSender(lines, {}, BareWait::PollThenRead);
            else if (sender == BareQtLoop)
                run.timing = runBareSender(lines, {}, BareWait::QtEventLoop);
            else if (sender == Cli)
                run = runCli(path, lineCount);
            else
                run = runWindow(path, lineCount, false);
            const Timing &t = run.timing;
            ok = ok && t.ok;
            const double cpuUs = t.cpu >= 0 ? t.cpu / static_cast<double>(lineCount) * 1e6 : -1;
            const QString whole = run.wholeSeconds >= 0
                                      ? QString::asprintf(", %.2f s in all", run.wholeSeconds)
                                      : QString();
            std::printf("| %d | %s | %.3f | %.1f | %s%s |\n", r + 1, Names[sender], t.seconds,
                        cpuUs, t.ok ? "programmed" : "FAILED", qPrintable(whole));
            std::fflush(stdout);
            if (!t.ok)
                continue;
            Summary &s = summary[sender];
            s.seconds.push_back(t.seconds);
            if (cpuUs >= 0)
                s.cpuUsPerLine.push_back(cpuUs);
            if (!t.lineNs.empty()) {
                const Gaps gaps = gapsBetween(t.lineNs);
                s.medianGapMs.push_back(gaps.medianMs);
                s.longestGapMs.push_back(gaps.longestMs);
            }
        }
    }

    // Not with --only: a profiler's run is the timed one alone.
    if (arguments.only < 0) {
        const Run watched = runWindow(path, lineCount, true);
        ok = ok && watched.timing.ok;
        if (watched.timing.ok) {
            summary[Window].stallMs.push_back(watched.stallMs);
            summary[Window].busyStallMs.push_back(watched.busyStallMs);
        }
    }

    std::printf("\nMedian (min–max) of the runs that programmed; load average before %s, after %s"
                "\n\n| sender | s, first line to last | × bare | median gap ms | longest gap ms "
                "| CPU us per line |\n|---|---|---|---|---|---|\n",
                qPrintable(loadBefore), qPrintable(loadAverage()));
    const double bare = median(summary[Bare].seconds);
    for (int sender = 0; sender < Senders; ++sender) {
        const Summary &s = summary[sender];
        const QString ratio = bare > 0 && !s.seconds.empty()
                                  ? QString::asprintf("%.2f", median(s.seconds) / bare)
                                  : QStringLiteral("n/a");
        std::printf("| %s | %s | %s | %s | %s | %s |\n", Names[sender],
                    qPrintable(spread(s.seconds, "%.2f")), qPrintable(ratio),
                    qPrintable(spread(s.medianGapMs, "%.3f")),
                    qPrintable(spread(s.longestGapMs, "%.1f")),
                    qPrintable(spread(s.cpuUsPerLine, "%.1f")));
    }
    const Summary &w = summary[Window];
    if (bare > 0 && !w.seconds.empty()) {
        const double ratio = median(w.seconds) / bare;
        // The fastest runs are the ones the other load on the machine disturbed least.
        const double fastest =
            *std::min_element(w.seconds.begin(), w.seconds.end()) /
            *std::min_element(summary[Bare].seconds.begin(), summary[Bare].seconds.end());
        std::printf("\nwindow / bare sender: %.2f, fastest runs %.2f (target <= %.2f): %s\n", ratio,
                    fastest, WindowTarget, ratio <= WindowTarget ? "target met" : "target missed");
        // What a sender built on an event loop costs at the least, waiting in poll() before it
        // reads.
        if (const double poll = median(summary[BarePoll].seconds); poll > 0)
            std::printf("window / bare sender that polls: %.2f; that sender / bare sender: %.2f\n",
                        median(w.seconds) / poll, poll / bare);
        // What any program on Qt's event loop costs at the least: the rest is the window's own.
        if (const double qt = median(summary[BareQtLoop].seconds); qt > 0)
            std::printf("window / bare sender on Qt's event loop: %.2f; that sender / bare sender: "
                        "%.2f\n",
                        median(w.seconds) / qt, qt / bare);
    }
    if (!w.stallMs.empty()) {
        const double worst = *std::max_element(w.stallMs.begin(), w.stallMs.end());
        std::printf("window's longest event-loop stall in its watched run: %s ms (target <= %.0f "
                    "ms): %s\n",
                    qPrintable(spread(w.stallMs, "%.1f")), StallTargetMs,
                    worst <= StallTargetMs ? "target met" : "target missed");
        std::printf(
            "  of it the window's own work (its thread's CPU time between two ticks): %s ms\n",
            qPrintable(spread(w.busyStallMs, "%.1f")));
    }
    std::printf("%s\n", ok ? "every run programmed, no bad line" : "A RUN FAILED");
    return ok ? 0 : 1;
}
