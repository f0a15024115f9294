#pragma once

#include "session/LineReader.h"
#include "session/Timer.h"

#include <QIODevice>
#include <QString>
#include <functional>
#include <memory>

class ProgrammingSession;

// Opens the chosen file for reading; null when it cannot be opened.
using FileOpener = std::function<std::unique_ptr<QIODevice>(const QString &path)>;
std::unique_ptr<QIODevice> openFileForReading(const QString &path);

// Sends the chosen file line by line, each line followed by one line feed, paced by the speed list.
// One transfer per arming of the session's TimerSendFile. It runs on the event loop: between lines it
// returns to the loop, so the receive handler, the timers and the operator's clicks run meanwhile, and
// it looks at their effects only at fixed points (PortError after each line is read, the speed list
// before each pause, LineAcked in "Auto - fast", SessionState after each line's progress).
class FileStreamer {
public:
    FileStreamer(ProgrammingSession &session, TimerFactory &timers, FileOpener opener);
    ~FileStreamer();

    // The TimerSendFile tick: one complete transfer, unless one is already running.
    void TimerSendFile_Timer();
    bool running() const { return file_ != nullptr; }

    // The receive handler recognised a "." (LineAcked is already set).
    void lineAcknowledged();
    // The receive handler has drained the port: a "." it recognised lets the next line go now.
    void receiveHandled();
    // Everything written has reached the operating system.
    void outputDrained();
    // Stops at once without sending anything more.
    void abort();

    // With the check on, a transfer sends only well-formed S-records: the counting pass refuses a
    // file with any other non-blank line, and each line is checked again just before it goes out
    // (the file may have changed meanwhile). A refusal ends the transfer through the error path,
    // before anything of the refused line is written, with a note in the log. Off unless a front
    // end turns it on.
    void setCheckRecords(bool on) { checkRecords_ = on; }
    bool checkRecords() const { return checkRecords_; }
    // The next transfer was armed by hand ("sFile"): if it starts while idle it sends its one line
    // as it is, to try the line out.
    void armedByHand() { byHand_ = true; }

    qint64 linesTotal() const { return total_; }
    qint64 linesSent() const { return sent_; }

    // Speed list index of "Auto - fast", and the longest wait for its "." per line.
    static constexpr int AutoSpeedIndex = 5;
    static constexpr int AutoWaitLimitMs = 200;
    static constexpr int PauseStepMs = 20;

private:
    enum class Wait { None, Drain, Pause, Ack, NextLine };

    void sendNextLine();
    void startPause();
    void finishLine();
    void continueAfterLine();
    void stop();
    void failed();
    // True, with the note in the log, when line `number` must not be sent.
    bool refused(const QByteArray &line, qint64 number);
    void arm(Timer &timer, int milliseconds, Wait wait);

    ProgrammingSession &session_;
    FileOpener opener_;
    std::unique_ptr<Timer> pauseTimer_;
    std::unique_ptr<Timer> stepTimer_;
    std::unique_ptr<QIODevice> file_;
    std::unique_ptr<LineReader> reader_;
    QByteArray line_;
    Wait wait_ = Wait::None;
    qint64 total_ = 0;
    qint64 sent_ = 0;
    bool startedInIdle_ = false;
    bool checkRecords_ = false;
    bool byHand_ = false;
    bool ackedInDrain_ = false;
    bool checking_ = false; // of the running transfer
};
