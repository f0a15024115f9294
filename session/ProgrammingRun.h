#pragma once

#include "clock/Deadline.h"
#include "clock/Timer.h"
#include "serial/SerialLink.h"
#include "session/BootGreeting.h"
#include "session/FileSnapshot.h"
#include "session/FileStreamer.h"
#include "session/RunSummary.h"
#include "session/SessionTypes.h"
#include "session/SessionView.h"

#include <QByteArray>
#include <functional>
#include <memory>
#include <optional>

// One programming run, from START PROGRAMMING to its end. It owns everything it arms: the restart
// countdown, the probes, the pending file command, the pending file start, the dot watchdog and the
// streamer, and the snapshot of the file it sends. It ends in one place, finish(), which stops all
// of them and records why; an ended run does nothing more. How an end is shown is its owner's
// business.
//
// The verdict: "P" ends a run as programmed only once every line of the snapshot has been sent
// (the last one is the termination record when the file has one) and every line before the last
// has been answered (a device may answer its last line with the "P" itself). Before that a "P" is
// device text: a board that restarted mid-transfer stops answering, and the banner it prints may
// well hold a "P".
//
// Every "." the device sends while the file goes out pushes the watchdog back and paces the
// streamer, wherever it stands in the device's text ("OK.", an echo, a keep-alive while the device
// writes its flash). It also answers the oldest line sent and not yet answered; when every line
// sent is answered it answers nothing, since a line not yet sent cannot be answered. Blank lines
// need no answer. Once the last line is out the device has the final wait (ProgrammedWaitMs unless
// the front end sets another) to say "P", however much it talks meanwhile: no device text can hold
// a run open for ever.
//
// What "P" proves, and what it cannot: a "." per line, which a device that restarted mid-transfer
// into a banner of dots also gives, and a "P" at the end, which such a banner may hold too. A
// conformant device says its closing "P" when it owes at most the last answer; one that said "P"
// after the last line while it still owed two or more ends programmed all the same when the rest
// come (a device that prints text while it is behind must not be failed), with a warning. The
// proof is the application's own greeting: with an expectation the run reads on after "P",
// through the board's restart and its port going and coming, until the application says what it
// should, reports a fault, or says nothing in time.
class ProgrammingRun {
public:
    // Timer periods, in milliseconds.
    static constexpr int CountdownTickMs = 1000;
    static constexpr int ProbeIntervalMs = 5;
    static constexpr int FileCommandDelayMs = 333;
    static constexpr int DotTimeoutMs = 3000;
    static constexpr int FileStartDelayMs = 1000;
    // From the last line sent to the device's "P", at most: a device may take its time to write
    // its flash and keep the watchdog going with dots meanwhile, but not for ever.
    static constexpr int ProgrammedWaitMs = 30'000;

    struct Settings {
        std::shared_ptr<const FileSnapshot> file; // checked before the run starts
        int bootTimeoutSeconds = 60;
        // What the button shows before the first tick: the count an earlier run or a connect left.
        int shownCountdown = 60;
        Pacing pacing;
        int finalWaitMs = ProgrammedWaitMs;
        // What the application must say after "P"; none: the run ends on "P".
        std::optional<BootExpectation> boot;
    };
    struct Events {
        std::function<void(SessionState)> stateChanged;
        std::function<void(qint64 line, qint64 total, qint64 bytes)> lineSent;
        // Called once, after everything the run armed has stopped; the summary is complete.
        std::function<void(const RunSummary &)> ended;
    };

    ProgrammingRun(SerialLink &link, TimerFactory &timers, SessionView &view, Settings settings,
                   Events events);
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
    // "sFile": the file starts a second later, in whatever state, unless a transfer has started.
    void armFileStartByHand();
    // The port came back while the device was away: a board that has just been plugged in may
    // answer only briefly, so the first probe goes out now rather than at the next tick.
    void portBack();
    // The port went away (and is followed). After the prompt but before the first line the board
    // has received nothing of the file: the run waits for the prompt again, within what was left
    // of the countdown when the prompt came. True when it went back so.
    bool portAway();

    // Stops everything the run armed, records why and reports the end once; then inert.
    void finish(EndCause cause, const QString &note = {});

    SessionState state() const { return state_; }
    bool transferRunning() const { return streamer_.running(); }
    int countdown() const { return countdown_; }
    // What the run did so far; complete once it has ended.
    const RunSummary &summary() const { return summary_; }
    // Lines the device answered so far.
    qint64 linesAnswered() const { return answered_; }

private:
    void setState(SessionState state);
    void countdownTick();
    void probeTick();
    void fileCommandTick();
    void promptReceived();
    void fileRequested();
    void startTransfer();
    void lineSent(qint64 line, qint64 total, qint64 bytes);
    void dotReceived();
    void programmedReceived();
    // The image is in: the application's greeting is waited for.
    void awaitGreeting();
    void greetingChecked(const BootCheck &check);
    // The warning of a "P" that came while two or more answers were owed, if there was one.
    void noteEarlyVerdict();
    // The note of a watchdog end: how many lines the device answered.
    QString silenceNote() const;
    // The note of an end on ProgrammedWaitMs: the device talked on but never said "P".
    QString noVerdictNote() const;
    // Every line of the file has been handed to the line.
    bool allLinesSent() const { return transferStarted_ && summary_.linesSent >= linesToSend_; }

    SerialLink &link_;
    SessionView &view_;
    Settings settings_;
    Events events_;
    std::unique_ptr<Timer> countdownTimer_;
    std::unique_ptr<Timer> probeTimer_;
    std::unique_ptr<Timer> fileCommandTimer_;
    Deadline watchdog_; // no "." for DotTimeoutMs
    std::unique_ptr<Timer> fileStartTimer_;
    std::unique_ptr<Timer> verdictTimer_;
    FileStreamer streamer_;
    std::unique_ptr<BootGreeting> greeting_; // with an expectation
    RunSummary summary_;
    SessionState state_ = SessionState::Idle;
    int countdown_ = 0;
    int countdownAtPrompt_ = 0;
    qint64 linesToSend_ = 0;
    qint64 answerableLines_ = 0; // of the file: the lines that are not blank
    qint64 answerableSent_ = 0;  // of those, sent
    qint64 answered_ = 0;        // of those, answered, oldest first
    bool transferStarted_ = false;
    // Lines answered when the device said "P" after the last line, too early to be believed.
    std::optional<qint64> answeredAtEarlyVerdict_;
    // The most answers the device owed when it said such a "P".
    qint64 owedAtEarlyVerdict_ = 0;
    bool ended_ = false;
};
