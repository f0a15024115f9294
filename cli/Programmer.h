#pragma once

#include "cli/BoardRun.h"
#include "cli/CliOptions.h"
#include "platform/QtTimers.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <memory>
#include <vector>

class Console;

// Programs every board of the command line in parallel, on the one event loop: checks the file,
// opens each board's port, starts each run, and ends when the last board has ended.
class Programmer : public QObject {
    Q_OBJECT
public:
    Programmer(const CliOptions &options, Console &console, QObject *parent = nullptr);
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

Q_SIGNALS:
    // Always from the event loop, once per round.
    void finished(int exitCode);

private:
    void makeBoards();
    void boardFinished();

    CliOptions options_;
    Console &console_;
    QtTimerFactory timers_;
    std::unique_ptr<RunHistory> history_;
    std::vector<std::unique_ptr<BoardRun>> boards_;
    bool started_ = false;
    bool pluggedIn_ = false;
    bool interrupted_ = false;
    bool finishing_ = false;
    int boardsBefore_ = 0; // in the rounds before this one: the boards' numbers count on

    QSet<QString> namedSettingsLines_; // once per process, not per round
};
