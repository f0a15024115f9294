// The log box under load: the cost of one append as a line grows, floods of device text on the
// event loop, the size cap, and a run's acknowledgements one read at a time. Prints tables; a plain
// QPlainTextEdit is measured for comparison.
#include "app/LogView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <vector>

namespace {

// The size of the log box in the window.
constexpr int Width = 577;
constexpr int Height = 409;

using Append = std::function<void(QPlainTextEdit &, const QByteArray &)>;

struct Subject {
    std::function<std::unique_ptr<QPlainTextEdit>()> make;
    Append append;
};

// CPU time of this thread: unlike wall time, not inflated when other processes take the core.
qint64 threadCpuNanos() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64{t.tv_sec} * 1000000000 + t.tv_nsec;
}

// What LogView does for an append and its frame, without its short blocks.
void plainAppend(QPlainTextEdit &edit, const QByteArray &bytes) {
    QTextCursor cursor(edit.document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromLatin1(bytes));
    edit.setTextCursor(cursor);
    edit.ensureCursorVisible();
}

// Each append with its own frame: what one read costs when reads come slower than frames.
const Subject Log{[] { return std::make_unique<LogView>(); },
                  [](QPlainTextEdit &e, const QByteArray &b) {
                      auto &log = static_cast<LogView &>(e);
                      log.appendReceived(b);
                      log.flush();
                  }};

// The log's frame timer, also timing the longest frame's CPU.
class TimedFrames final : public Timer {
public:
    explicit TimedFrames(qint64 &longest) : longest_(longest) {
        timer_.setTimerType(Qt::CoarseTimer);
        timer_.setInterval(LogView::FrameMs);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] {
            const qint64 before = threadCpuNanos();
            onTick();
            longest_ = std::max(longest_, threadCpuNanos() - before);
        });
    }
    void setEnabled(bool enabled) override {
        if (enabled != timer_.isActive())
            enabled ? timer_.start() : timer_.stop();
    }
    bool enabled() const override { return timer_.isActive(); }
    void setInterval(int milliseconds) override { timer_.setInterval(milliseconds); }
    int interval() const override { return timer_.interval(); }

private:
    QTimer timer_;
    qint64 &longest_;
};
const Subject Plain{[] {
                        auto edit = std::make_unique<QPlainTextEdit>();
                        edit->setUndoRedoEnabled(false);
                        return edit;
                    },
                    plainAppend};

std::unique_ptr<QPlainTextEdit> shown(const Subject &subject) {
    auto edit = subject.make();
    edit->resize(Width, Height);
    edit->show();
    QCoreApplication::processEvents();
    return edit;
}

// Mean microseconds of one `chunk`-character append over the appends that bring one line up to
// `mark` characters. The line is first brought to the window's start with big appends: the cost
// of an append depends only on how long the line already is, not on how it got there. Short
// windows are repeated on fresh views until at least `minTimed` appends were timed.
double meanAppendMicros(const Subject &subject, int chunk, qint64 mark, qint64 maxWindow,
                        qint64 minTimed) {
    const qint64 window = std::clamp<qint64>(mark / 2 / chunk, 1, maxWindow);
    const qint64 start = mark - window * chunk;
    const QByteArray piece(chunk, '.');
    qint64 timed = 0;
    qint64 nanos = 0;
    while (timed < minTimed) {
        auto edit = shown(subject);
        for (qint64 filled = 0; filled < start;) {
            const qint64 n = std::min<qint64>(64 * 1024, start - filled);
            subject.append(*edit, QByteArray(n, '.'));
            filled += n;
        }
        QCoreApplication::processEvents();
        const qint64 before = threadCpuNanos();
        for (qint64 i = 0; i < window; ++i)
            subject.append(*edit, piece);
        nanos += threadCpuNanos() - before;
        timed += window;
    }
    return static_cast<double>(nanos) / static_cast<double>(timed) / 1000.0;
}

void appendCostTable() {
    std::printf(
        "\n(a) Append cost on one line of '.' without breaks: mean CPU us per append and its frame "
        "over the "
        "appends ending at the given line length\n\n");
    std::printf("%12s %14s %14s %18s %18s\n", "line length", "LogView 1 ch", "LogView 64 ch",
                "QPlainTextEdit 1", "QPlainTextEdit 64");
    const std::vector<qint64> marks{1000, 10000, 32000, 64000, 100000, 1000000};
    constexpr qint64 PlainUpTo = 64000;
    double first[4] = {};
    double lastLog[2] = {};
    double lastPlain[2] = {};
    for (const qint64 mark : marks) {
        double row[4] = {-1, -1, -1, -1};
        for (int c = 0; c < 2; ++c) {
            const int chunk = c == 0 ? 1 : 64;
            row[c] = meanAppendMicros(Log, chunk, mark, 2000, 2000);
            lastLog[c] = row[c];
            if (mark <= PlainUpTo) {
                row[2 + c] = meanAppendMicros(Plain, chunk, mark, 200, 200);
                lastPlain[c] = row[2 + c];
            }
        }
        if (mark == marks.front())
            std::copy(std::begin(row), std::end(row), std::begin(first));
        std::printf("%12lld %14.1f %14.1f", static_cast<long long>(mark), row[0], row[1]);
        if (row[2] >= 0)
            std::printf(" %18.1f %18.1f\n", row[2], row[3]);
        else
            std::printf(" %18s %18s\n", "-", "-");
        std::fflush(stdout);
    }
    std::printf("%12s %14.2f %14.2f %18.2f %18.2f\n", "ratio", lastLog[0] / first[0],
                lastLog[1] / first[1], lastPlain[0] / first[2], lastPlain[1] / first[3]);
    std::printf("(ratio: LogView 1,000,000 / 1,000; QPlainTextEdit 64,000 / 1,000)\n");
}

// Device text: one line of acknowledgements, or 80-column lines ending in CR LF.
QByteArray oneLine(qint64 size) {
    return QByteArray(size, '.');
}

QByteArray lines80(qint64 size) {
    QByteArray out;
    out.reserve(size);
    for (qint64 n = 0; out.size() < size; ++n) {
        QByteArray line = "S113" + QByteArray::number(n, 16).rightJustified(8, '0');
        while (line.size() < 78)
            line.append(static_cast<char>('0' + (line.size() + n) % 10));
        out.append(line).append("\r\n");
    }
    out.truncate(size);
    return out;
}

QString expectedText(const QByteArray &source) {
    return QString::fromLatin1(source)
        .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
        .replace(QLatin1Char('\r'), QLatin1Char('\n'));
}

int continuations(const LogView &view) {
    int n = 0;
    for (QTextBlock b = view.document()->firstBlock(); b.isValid(); b = b.next())
        n += b.userState() == 1;
    return n;
}

// Whether the view holds exactly `expected`, and its count is the text plus one per continuation.
bool holdsExactly(const LogView &view, const QString &expected) {
    return view.text() == expected &&
           view.characterCount() == expected.size() + continuations(view);
}

void floodTable() {
    std::printf(
        "\n(b) Flood on the event loop: 256-byte appends from a zero-interval timer; a 1 ms "
        "precise timer measures the longest gap between its ticks\n\n");
    std::printf("%8s %9s %8s %9s %7s %11s %14s %13s %10s %10s %5s\n", "size", "text", "total s",
                "chars/s", "gap ms", "gap cpu ms", "append cpu ms", "frame cpu ms", "chars",
                "count", "lost");
    struct Case {
        const char *kind;
        QByteArray (*make)(qint64);
    } const kinds[] = {{"one line", oneLine}, {"80 cols", lines80}};
    for (const qint64 size : {qint64{1} << 20, qint64{10} << 20}) {
        for (const Case &kind : kinds) {
            const QByteArray source = kind.make(size);
            const auto edit = shown(Log);
            auto &view = static_cast<LogView &>(*edit);
            qint64 longestFrame = 0;
            view.setFrameTimer(std::make_unique<TimedFrames>(longestFrame));
            QEventLoop loop;
            QTimer feeder;
            feeder.setInterval(0);
            QTimer probe;
            probe.setTimerType(Qt::PreciseTimer);
            probe.setInterval(1);
            QElapsedTimer clock;
            qint64 offset = 0;
            qint64 lastTick = -1;
            qint64 lastTickCpu = 0;
            qint64 longestGap = 0;
            qint64 longestGapCpu = 0;
            qint64 longestAppend = 0;
            QObject::connect(&feeder, &QTimer::timeout, [&] {
                const qint64 before = threadCpuNanos();
                view.appendReceived(source.mid(offset, 256));
                longestAppend = std::max(longestAppend, threadCpuNanos() - before);
                offset += 256;
                if (offset >= source.size()) {
                    feeder.stop();
                    loop.quit();
                }
            });
            QObject::connect(&probe, &QTimer::timeout, [&] {
                const qint64 now = clock.nsecsElapsed();
                const qint64 nowCpu = threadCpuNanos();
                if (lastTick >= 0) {
                    longestGap = std::max(longestGap, now - lastTick);
                    longestGapCpu = std::max(longestGapCpu, nowCpu - lastTickCpu);
                }
                lastTick = now;
                lastTickCpu = nowCpu;
            });
            clock.start();
            probe.start();
            feeder.start();
            loop.exec();
            probe.stop();
            view.flush();
            const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
            const QString expected = expectedText(source);
            std::printf(
                "%4lld MiB %9s %8.2f %9.0f %7.2f %11.2f %14.2f %13.2f %10lld %10lld %5s\n",
                static_cast<long long>(size >> 20), kind.kind, seconds,
                static_cast<double>(size) / seconds, static_cast<double>(longestGap) / 1e6,
                static_cast<double>(longestGapCpu) / 1e6, static_cast<double>(longestAppend) / 1e6,
                static_cast<double>(longestFrame) / 1e6, static_cast<long long>(view.text().size()),
                static_cast<long long>(view.characterCount()),
                holdsExactly(view, expected) ? "none" : "LOST");
            std::fflush(stdout);
        }
    }
    std::printf(
        "(gap: longest wall time between two ticks, including any time other processes "
        "held the core; gap cpu: the most CPU time this thread spent between two ticks; "
        "append cpu: the longest single append; frame cpu: the longest frame putting pending "
        "text into the widget, 0 when the pending limit always put it in first; chars: text() "
        "length, CR LF counted once; "
        "count: characterCount(), which also counts one separator per continuation "
        "block)\n");
}

void capTable() {
    std::printf("\n(c) 20 MiB appended in 4 KiB appends, cap %lld characters\n\n",
                static_cast<long long>(LogView::CharacterLimit));
    std::printf("%10s %10s %16s %12s %12s %14s\n", "text", "total s", "append cpu ms", "count",
                "kept chars", "newest intact");
    struct Case {
        const char *kind;
        QByteArray (*make)(qint64);
    } const kinds[] = {{"one line", oneLine}, {"80 cols", lines80}};
    constexpr qint64 Size = qint64{20} << 20;
    constexpr qint64 Chunk = 4096;
    for (const Case &kind : kinds) {
        const QByteArray source = kind.make(Size);
        const auto edit = shown(Log);
        auto &view = static_cast<LogView &>(*edit);
        qint64 longest = 0;
        QElapsedTimer total;
        total.start();
        for (qint64 at = 0; at < Size; at += Chunk) {
            const qint64 before = threadCpuNanos();
            view.appendReceived(source.mid(at, Chunk));
            longest = std::max(longest, threadCpuNanos() - before);
        }
        view.flush();
        const double seconds = static_cast<double>(total.nsecsElapsed()) / 1e9;
        const QString kept = view.text();
        // Whole blocks go from the top, so what is left is exactly the end of what was sent.
        const bool intact = view.characterCount() <= LogView::CharacterLimit &&
                            kept.size() < Size && expectedText(source).endsWith(kept);
        std::printf("%10s %10.2f %16.2f %12lld %12lld %14s\n", kind.kind, seconds,
                    static_cast<double>(longest) / 1e6,
                    static_cast<long long>(view.characterCount()),
                    static_cast<long long>(kept.size()), intact ? "yes" : "NO");
        std::fflush(stdout);
    }
}

// A run of 32,770 lines: the device acknowledges each with one "." and the session hands each to
// the log in its own read, on the event loop, with the window's paints in between.
void dotsTable() {
    constexpr int Reads = 32770;
    std::printf(
        "\n(d) %d single-\".\" reads on the event loop, one per zero-interval timer tick\n\n",
        Reads);
    std::printf("%8s %14s %14s %8s %11s %13s %5s\n", "total s", "cpu s", "cpu us/read", "gap ms",
                "gap cpu ms", "frame cpu ms", "lost");
    const auto edit = shown(Log);
    auto &view = static_cast<LogView &>(*edit);
    qint64 longestFrame = 0;
    view.setFrameTimer(std::make_unique<TimedFrames>(longestFrame));
    QEventLoop loop;
    QTimer feeder;
    feeder.setInterval(0);
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QElapsedTimer clock;
    int sent = 0;
    qint64 lastTick = -1;
    qint64 lastTickCpu = 0;
    qint64 longestGap = 0;
    qint64 longestGapCpu = 0;
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        view.appendReceived(QByteArrayLiteral("."));
        if (++sent == Reads) {
            feeder.stop();
            loop.quit();
        }
    });
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 nowCpu = threadCpuNanos();
        if (lastTick >= 0) {
            longestGap = std::max(longestGap, now - lastTick);
            longestGapCpu = std::max(longestGapCpu, nowCpu - lastTickCpu);
        }
        lastTick = now;
        lastTickCpu = nowCpu;
    });
    const qint64 cpuBefore = threadCpuNanos();
    clock.start();
    probe.start();
    feeder.start();
    loop.exec();
    // What the last reads left for the next frame is part of the run.
    view.flush();
    probe.stop();
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double cpu = static_cast<double>(threadCpuNanos() - cpuBefore) / 1e9;
    std::printf("%8.2f %14.2f %14.1f %8.2f %11.2f %13.2f %5s\n", seconds, cpu, cpu * 1e6 / Reads,
                static_cast<double>(longestGap) / 1e6, static_cast<double>(longestGapCpu) / 1e6,
                static_cast<double>(longestFrame) / 1e6,
                view.text() == QString(Reads, QLatin1Char('.')) ? "none" : "LOST");
}

void peakMemory() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            std::printf("\nPeak resident memory of the run: %s\n",
                        line.mid(6).trimmed().constData());
}

} // namespace

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtime;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
    QApplication app(argc, argv);
    std::printf("Log box benchmark, widgets %dx%d px, platform %s\n", Width, Height,
                qPrintable(QGuiApplication::platformName()));
    // Sections to run, e.g. "bench_log b c"; all by default.
    const QStringList args = QCoreApplication::arguments().mid(1);
    const auto wanted = [&](const char *section) {
        return args.isEmpty() || args.contains(QLatin1String(section));
    };
    if (wanted("a"))
        appendCostTable();
    if (wanted("b"))
        floodTable();
    if (wanted("c"))
        capTable();
    if (wanted("d"))
        dotsTable();
    peakMemory();
    return 0;
}
