#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// What the operator reads on stderr: the stages of every board's run, and its progress. On a
// terminal the progress is one line redrawn in place (a bar, percent, lines per second, time left),
// messages scrolling above it; elsewhere (a pipe, a log file) it is a plain line now and then, so
// that a long run does not flood the output.
class Console {
public:
    using Sink = std::function<void(const QByteArray &)>;
    using Clock = std::function<qint64()>; // monotonic milliseconds

    static constexpr int RedrawIntervalMs = 100;
    static constexpr int PlainIntervalMs = 1000;
    static constexpr int BarWidth = 24;

    // `clock`: the program's clock (TimerFactory::now).
    Console(Sink sink, bool interactive, Clock clock);

    // One label per board, shown before its messages when there are several boards.
    void setBoards(const QStringList &labels);

    void message(const QString &text);
    void message(int board, const QString &text);
    // Seconds left for the board to restart into its bootloader; negative once it is not waiting.
    void countdown(int board, int seconds);
    void lineSent(int board, qint64 line, qint64 total);
    // The board's run is over: it leaves the progress line.
    void boardEnded(int board);
    // Removes the progress line, before the closing table.
    void finish();

    // Everything the boards still sending have done and have left, added up.
    struct Totals {
        qint64 lines = 0;
        qint64 total = 0;
        int sending = 0;
        double linesPerSecond = 0;              // 0 while not yet measured
        std::optional<double> secondsLeft = {}; // of the slowest board
    };
    Totals totals() const;

    static Sink standardError();
    static bool standardErrorIsTerminal();

private:
    struct Board {
        QString label;
        int countdown = -1;
        qint64 line = 0;
        qint64 total = 0;
        qint64 firstLine = 0;
        qint64 firstMs = -1;
        qint64 lastMs = -1;
        bool ended = false;
    };

    Board *board(int index);
    QString prefix(int board) const;
    QString liveText() const;
    QString plainProgress() const;
    void redraw();
    void clearLive();

    Sink sink_;
    bool interactive_;
    Clock clock_;
    QList<Board> boards_;
    bool liveShown_ = false;
    qint64 lastDrawMs_ = -1;
    qint64 lastPlainMs_ = -1;
};

// "0:07", "12:30", "1:02:03"
QString formatDuration(double seconds);
