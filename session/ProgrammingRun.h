#pragma once

#include "serial/SerialLink.h"
#include "session/FileStreamer.h"
#include "session/RunSummary.h"
#include "session/SessionTypes.h"
#include "session/SessionView.h"
#include "session/Timer.h"

#include <QByteArray>
#include <functional>
#include <memory>

// One programming run, from START PROGRAMMING to its end. It owns everything it arms: the restart
// countdown, the probes, the pending file command, the pending file start, the dot watchdog and the
// streamer. It ends in one place, finish(), which stops all of them; an ended run does nothing
// more.
class ProgrammingRun {
public:
    // Timer periods, in milliseconds.
    static constexpr int CountdownTickMs = 1000;
    static constexpr int ProbeIntervalMs = 5;
    static constexpr int FileCommandDelayMs = 333;
    static constexpr int DotTimeoutMs = 3000;
    static constexpr int FileStartDelayMs = 1000;

    struct Settings {
        QString file;
        int bootTimeoutSeconds = 60;
        // What the button shows before the first tick: the count an earlier run or a connect left.
        int shownCountdown = 60;
        bool checkRecords = false;
        Pacing pacing;
    };
    struct Events {
        std::function<void(SessionState)> stateChanged;
        std::function<void(qint64 line, qint64 total, qint64 bytes)> lineSent;
        // Called once, after everything the run armed has stopped.
        std::function<void(RunResult)> ended;
    };

    ProgrammingRun(SerialLink &link, TimerFactory &timers, SessionView &view, FileOpener opener,
                   Settings settings, Events events);
    ~ProgrammingRun();
    ProgrammingRun(const ProgrammingRun &) = delete;
    ProgrammingRun &operator=(const ProgrammingRun &) = delete;

    // Probing and counting down while the operator power-cycles the device.
    void begin();
    // One read of the receive handler, and the end of its drain.
    void onRead(const QByteArray &read);
    void receiveHandled();
    void outputDrained() { streamer_.outputDrained(); }
    void setPacing(const Pacing &pacing) { streamer_.setPacing(pacing); }
    // "sFile": the file starts a second later, in whatever state, unless a transfer is running.
    void armFileStartByHand();

    // Stops everything the run armed, reports the end once and is then inert. The caller has shown
    // the end already (the view is not touched here).
    void finish(RunResult result);

    SessionState state() const { return state_; }
    bool ended() const { return ended_; }
    bool transferRunning() const { return streamer_.running(); }
    int countdown() const { return countdown_; }
    // What the run did so far; complete once it has ended.
    const RunSummary &summary() const { return summary_; }

private:
    void setState(SessionState state);
    void countdownTick();
    void probeTick();
    void fileCommandTick();
    void watchdogTick();
    void promptReceived();
    void fileRequested();
    void dotReceived();
    void programmed();
    void streamFailed(const StreamFailure &failure);

    SerialLink &link_;
    SessionView &view_;
    Settings settings_;
    Events events_;
    std::unique_ptr<Timer> countdownTimer_;
    std::unique_ptr<Timer> probeTimer_;
    std::unique_ptr<Timer> fileCommandTimer_;
    std::unique_ptr<Timer> watchdog_;
    std::unique_ptr<Timer> fileStartTimer_;
    FileStreamer streamer_;
    RunSummary summary_;
    SessionState state_ = SessionState::Idle;
    int countdown_ = 0;
    bool ended_ = false;
};
