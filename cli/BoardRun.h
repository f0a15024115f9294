#pragma once

#include "cli/CliOptions.h"
#include "cli/TerminalView.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"
#include "session/RunHistory.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <memory>

class Console;

// What a run must know besides its board.
struct RunSettings {
    QString file;
    int speedIndex = 2;
    int bootTimeoutSeconds = ProgrammingSession::DefaultBootTimeoutSeconds;
    ResetLine reset = ResetLine::None;
    RunHistory *history = nullptr; // where each run's end is recorded; none when null
};

// How one board's run went.
struct BoardResult {
    int board = 0; // from 0, in the order given
    int portNumber = 0;
    QString device;
    int exitCode = 0; // see cli/ExitCodes.h
    QString error;    // what kept the run from starting, when something did
    qint64 lines = 0; // lines sent
    qint64 linesTotal = 0;
    qint64 bytes = 0; // bytes sent, line ends included
    double seconds = 0;
    QString sha256; // of the file as the run read it (hex); empty when it never did
};

// One board: its own serial control, link (and so its own PortError), terminal view and the very
// programming session the window runs. Opens the port as the window's Connect does, starts the run
// as START PROGRAMMING does, and learns the end from the session.
class BoardRun : public QObject {
    Q_OBJECT
public:
    static constexpr int ResetPulseMs = 100;
    // After the end the port stays open until the device has been quiet this long (at most
    // LastWordsLimitMs), so that the log keeps its closing text.
    static constexpr int QuietMs = 100;
    static constexpr int LastWordsLimitMs = 1000;

    // `control` defaults to the real serial port, opening the target's device.
    BoardRun(int board, const BoardTarget &target, const RunSettings &settings, Console &console,
             TimerFactory &timers, std::unique_ptr<SerialControl> control = nullptr,
             QObject *parent = nullptr);
    ~BoardRun() override;

    // The device's bytes are appended to `path`; false, ending the board, when it cannot be opened.
    bool openLog(const QString &path);
    // The bootloader's line (SerialLink::connect); false, ending the board with a port error, when
    // the port does not open.
    bool openPort();
    // After a failed open: what caused it and what to do, or nothing.
    const QString &openFailureNote() const { return openFailureNote_; }
    // After an open: what is worth telling the operator about the port, or nothing.
    const QString &notice() const { return notice_; }
    // Chooses the file and presses START PROGRAMMING with the round's snapshot of it; with a reset
    // line, pulses it. The result is the pulse's: on failure the operator must power-cycle the
    // board.
    SerialStatus start(const std::shared_ptr<const FileSnapshot> &file);
    // Ends the board before its run started.
    void fail(int exitCode, const QString &error);
    // Ctrl-C: every timer stopped, nothing more sent, the port closed, at once.
    void interrupt();

    bool isDone() const { return done_; }
    const BoardResult &result() const { return result_; }
    QString label() const;
    ProgrammingSession &session() { return session_; }

Q_SIGNALS:
    void finished();

private:
    void onRunEnded(const RunSummary &run);
    void recordRun(const RunSummary &run);
    void onLineSent(qint64 line, qint64 total, qint64 bytes);
    void waitForLastWords();
    void finish();

    Console &console_;
    BoardTarget target_;
    RunSettings settings_;
    std::unique_ptr<SerialControl> control_;
    SerialLink link_;
    QFile log_;
    TerminalView view_;
    ProgrammingSession session_;
    QTimer quiet_;
    QTimer lastWordsLimit_;
    QElapsedTimer clock_;
    BoardResult result_;
    QString openFailureNote_;
    QString notice_;
    bool ending_ = false;
    bool interrupted_ = false;
    bool done_ = false;
};
