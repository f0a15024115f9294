#pragma once

#include "clock/Timer.h"

#include <QByteArray>
#include <QObject>
#include <functional>
#include <optional>
#include <vector>

class Console;
class Programmer;
class QSocketNotifier;
class SerialLink;

// Station mode (--repeat): one board after another on the same ports. After each round the
// results and a running tally go to the operator, who presses Enter for the next board or q to end.
// The next round starts only on Enter: the board just programmed restarts into its application and
// must not be probed again. Input is read as the event loop reports it (a terminal, or a pipe);
// lines typed while a board is being programmed are dropped. With --on-plug the next round also
// starts when every board's port has been away for MinAwayMs or more and is back: the operator
// unplugged the board just programmed and plugged the next. A board that restarts after programming
// and takes its port with it for a moment starts nothing. The station learns of a port going away
// and coming back from the board's own link, which follows it between rounds.
class Station : public QObject {
    Q_OBJECT
public:
    using Sink = std::function<void(const QByteArray &)>;

    // `results` (standard output) gets each round's result table, or with `json` one compact JSON
    // object per board run, each on its own line, and the table goes to the console with the
    // tally and the prompts. `tableWidth`: the columns of the terminal the table goes to, or 0 for
    // the full table (see resultTableFor).
    Station(Programmer &programmer, Console &console, TimerFactory &timers, int inputFd,
            Sink results, bool json, int tableWidth, QObject *parent = nullptr);
    ~Station() override;

    // How long a port must be away before its return counts as the next board.
    static constexpr int MinAwayMs = 1500;

    // --on-plug: the next round also starts when the boards are swapped.
    void startOnPlug();
    void start();
    // Ctrl-C: a round on stops at once and the station ends after it; at the prompt it ends now.
    void interrupt();

    int programmed() const { return programmed_; }
    // Programmed, but the application did not say what was expected (status 7).
    int notBooted() const { return notBooted_; }
    int failed() const { return failed_; }
    // The highest exit status of every board run so far.
    int exitCode() const { return exitCode_; }

Q_SIGNALS:
    // Once, from the event loop.
    void finished(int exitCode);

private:
    enum class Phase { Idle, Running, Waiting, Ended };

    void roundFinished();
    // "3 programmed, 1 not proven to boot, 0 failed"
    QString tally() const;
    void readInput();
    void takeLine(const QByteArray &line);
    void end();
    void nextRound(bool pluggedIn);
    void watchPlugs(bool on);
    void plugAway(std::size_t plug);
    void plugBack(std::size_t plug);

    Programmer &programmer_;
    Console &console_;
    TimerFactory &timers_;
    int inputFd_;
    Sink results_;
    bool json_;
    int tableWidth_;
    QSocketNotifier *notifier_ = nullptr;
    QByteArray pending_;
    QByteArray lastSha256_;
    QString lastSerial_; // the last number committed to a programmed board
    Phase phase_ = Phase::Idle;
    int round_ = 0;
    int programmed_ = 0;
    int notBooted_ = 0;
    int failed_ = 0;
    int exitCode_ = 0;
    bool interrupted_ = false;
    bool inputClosed_ = false;

    // --on-plug: one per board.
    struct Plug {
        SerialLink *link = nullptr;
        std::optional<std::int64_t> awaySinceMs; // while the port is away
        bool back = false;                       // away long enough, and back
    };
    std::vector<Plug> plugs_;
    bool watchingPlugs_ = false;
};
