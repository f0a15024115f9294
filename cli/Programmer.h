#pragma once

#include "cli/BoardRun.h"
#include "cli/CliOptions.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Console;

// Programs every board of the command line in parallel, on the one event loop: checks the file,
// opens each board's port, starts each run, and ends when the last board has ended. Each board's
// port (its serial control and link) lives as long as the programmer: a station's rounds run on
// the same links.
class Programmer : public QObject {
    Q_OBJECT
public:
    // The serial control of a board; the real port on the target's device by default.
    using ControlMaker =
        std::function<std::unique_ptr<SerialControl>(const BoardTarget &, TimerFactory &)>;

    Programmer(const CliOptions &options, Console &console, TimerFactory &timers,
               ControlMaker makeControl = {}, QObject *parent = nullptr);
    ~Programmer() override;

    void start();
    // Station mode: the same boards again, each with a fresh port, session and run. Only once the
    // last round has finished. `pluggedIn`: the boards were just plugged in, and are booting.
    void startNextRound(bool pluggedIn = false);
    // Ctrl-C: every board still running stops at once.
    void interrupt();

    bool isDone() const;
    // 0 when every board was programmed, else the highest of the boards' codes.
    int exitCode() const;
    // Of the last round.
    QList<BoardResult> results() const;
    // The boards' links, in the order given.
    std::vector<SerialLink *> links() const;
    // Between rounds (--on-plug): each board's port that the last round did not leave open is
    // opened, or waited for while it is not there, so that its link follows it.
    void followPorts();

Q_SIGNALS:
    // Always from the event loop, once per round.
    void finished(int exitCode);

private:
    void makeBoards();
    void boardFinished();
    // --final-wait, else FinalWait= of the settings file (a value it cannot take is said once),
    // else the session's own.
    int finalWaitSeconds();
    // Reserves the board's own number and gives back the file with it written in; the round's file
    // when the board has failed for want of one.
    std::shared_ptr<const FileSnapshot> withSerial(BoardRun &board, int index,
                                                   const std::shared_ptr<const FileSnapshot> &file);

    struct Port {
        std::unique_ptr<SerialControl> control;
        std::unique_ptr<SerialLink> link;
    };

    CliOptions options_;
    Console &console_;
    TimerFactory &timers_;
    std::unique_ptr<RunHistory> history_;
    std::unique_ptr<RunJournal> journal_; // none with --no-journal or Journal=false
    std::optional<NumberStore> serials_;  // --serial: where the boards' numbers come from
    std::vector<Port> ports_;             // one per board; outlives the boards' runs
    std::vector<std::unique_ptr<BoardRun>> boards_;
    bool started_ = false;
    bool pluggedIn_ = false;
    bool interrupted_ = false;
    bool finishing_ = false;
    int boardsBefore_ = 0; // in the rounds before this one: the boards' numbers count on

    QSet<QString> namedSettingsLines_; // once per process, not per round
};
