#pragma once

#include "serial/SerialLink.h"
#include "session/FileSnapshot.h"
#include "session/FileStreamer.h"
#include "session/RunSummary.h"
#include "session/SessionTypes.h"
#include "session/SessionView.h"
#include "session/Timer.h"

#include <QByteArray>
#include <algorithm>
#include <functional>
#include <memory>

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
// well hold a "P". An answer is a "." that stands on its own; one that ends a word or a number
// ("ok.", "1.2.", "wait...") is text: see TextDots. Every "." re-arms the watchdog and paces the
// streamer while lines are going out, as the protocol has it. Once every line is out, only an
// answer to a line still unanswered keeps the run open; after that only "P" within the watchdog's
// time ends it well. Tells the device's answers from the dots of its text, one byte at a time: a
// "." right after a letter or digit that follows another printable character ends a word or a
// number, and so do the dots straight after such a one. Line noise (control and high bytes around a
// stray letter) leaves an answer an answer.
class TextDots {
public:
    // True when `c` is a "." of the device's text.
    bool take(char c);

private:
    char last_ = '\n';
    char beforeLast_ = '\n';
    bool lastWasTextDot_ = false;
};

class ProgrammingRun {
public:
    // Timer periods, in milliseconds.
    static constexpr int CountdownTickMs = 1000;
    static constexpr int ProbeIntervalMs = 5;
    static constexpr int FileCommandDelayMs = 333;
    static constexpr int DotTimeoutMs = 3000;
    static constexpr int FileStartDelayMs = 1000;

    struct Settings {
        std::shared_ptr<const FileSnapshot> file; // checked before the run starts
        int bootTimeoutSeconds = 60;
        // What the button shows before the first tick: the count an earlier run or a connect left.
        int shownCountdown = 60;
        bool checkRecords = false;
        Pacing pacing;
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

    // Stops everything the run armed, records why and reports the end once; then inert.
    void finish(EndCause cause, const QString &note = {});

    SessionState state() const { return state_; }
    bool transferRunning() const { return streamer_.running(); }
    int countdown() const { return countdown_; }
    // What the run did so far; complete once it has ended.
    const RunSummary &summary() const { return summary_; }

private:
    void setState(SessionState state);
    void countdownTick();
    void probeTick();
    void fileCommandTick();
    void promptReceived();
    void fileRequested();
    void startTransfer();
    void dotReceived(bool answer);
    void programmedReceived();
    // The note of a watchdog end: how many lines the device answered.
    QString silenceNote() const;
    // Every line of the file has been handed to the line.
    bool allLinesSent() const { return transferStarted_ && summary_.linesSent >= linesToSend_; }
    // Lines sent that the device has not answered yet; blank ones need no answer.
    qint64 unanswered() const { return std::max<qint64>(answerable_ - acknowledgements_, 0); }

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
    qint64 linesToSend_ = 0;
    qint64 answerable_ = 0; // lines sent that are not blank
    qint64 acknowledgements_ = 0;
    bool transferStarted_ = false;
    TextDots textDots_;
    bool ended_ = false;
};
