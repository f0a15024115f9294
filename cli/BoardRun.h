#pragma once

#include "cli/CliOptions.h"
#include "cli/TerminalView.h"
#include "numbers/NumberStore.h"
#include "serial/SerialDevices.h"
#include "serial/SerialLink.h"
#include "session/ProgrammingSession.h"
#include "session/RunHistory.h"
#include "session/RunJournal.h"

#include <QDateTime>
#include <QFile>
#include <QObject>
#include <memory>

class Console;

// What a run must know besides its board.
struct RunSettings {
    QString file;
    int speedIndex = 2;
    int bootTimeoutSeconds = ProgrammingSession::DefaultBootTimeoutSeconds;
    ResetLine reset = ResetLine::None;
    RunHistory *history = nullptr; // where each run's end is recorded; none when null
    RunJournal *journal = nullptr; // and where it is sent with the history; none when null
    bool waitForDevice = false;    // --wait: a device not there yet is waited for
    // --on-plug: after the run the port stays open and followed, so that the station learns from
    // it of the board going away and the next one coming.
    bool keepPortFollowed = false;
    // What the application must say after "P"; none: a run ends on "P".
    std::optional<BootExpectation> boot;
    bool strict = false; // a warning makes a programmed board's status 7
    int finalWaitSeconds = ProgrammingRun::ProgrammedWaitMs / 1000;
};

// How one board's run went: what the result table, the JSON and the history tell of it.
struct BoardResult {
    int board = 0;  // from 0, in the order given
    int number = 0; // from 1, counting on over the rounds of a station
    int portNumber = 0;
    QString device;
    QString file;       // the absolute path
    QString format;     // "s-record", "intel-hex", "elf", "binary"; empty when never read
    QString sha256;     // of the file as read for the run (hex); empty when never read
    QString sentSha256; // of what was sent: the file's bytes or the S-records made from them
    int exitCode = 0;   // see cli/ExitCodes.h
    QString result;     // the run's result word ("programmed", "ack-timeout", ...); see Report
    QString error;      // why it failed or is not proven to boot, in plain text; else empty
    qint64 lines = 0;   // lines sent
    qint64 linesTotal = 0;
    qint64 bytes = 0;  // bytes sent, line ends included
    QDateTime started; // UTC
    QDateTime ended;   // UTC
    double seconds = 0;
    QString serial;        // the board's own number, as the counter or list gives it; empty: none
    QString serialAddress; // where it was written ("0x0800FFF0")
    bool serialCommitted = false;           // the number is in the board, and given to no other
    std::optional<BootCheck> boot;          // with --expect: what the application said
    QStringList warnings;                   // signs that the board may not hold what it was sent
    std::optional<AdapterIdentity> adapter; // the port's USB adapter, where the kernel knows it
};

// One board's run: its terminal view and the very programming session the window runs, on the
// board's own link (and so its own PortError), which its owner keeps from round to round. Opens the
// port as the window's Connect does, starts the run as START PROGRAMMING does, and learns the end
// from the session.
class BoardRun : public QObject {
    Q_OBJECT
public:
    static constexpr int ResetPulseMs = 100;
    // After the end the port stays open until the device has been quiet this long (at most
    // LastWordsLimitMs), so that the log keeps its closing text.
    static constexpr int QuietMs = 100;
    static constexpr int LastWordsLimitMs = 1000;

    // `number`: the board's number in the table, from 1, counting on over a station's rounds.
    // `link`: the board's port, open or not.
    BoardRun(int board, int number, const BoardTarget &target, const RunSettings &settings,
             Console &console, TimerFactory &timers, SerialLink &link, QObject *parent = nullptr);
    ~BoardRun() override;

    // The device's bytes are appended to `path`; false, ending the board, when it cannot be opened.
    bool openLog(const QString &path);
    // The bootloader's line (SerialLink::connectPort), unless the last round left it open and
    // followed; false, ending the board with a port error, when the port does not open. With
    // waitForDevice a device not there yet (or refusing just after it appeared) is waited for while
    // the run counts down: see away().
    bool openPort();
    // The port is waited for: it was not there when opened.
    bool away() const { return link_.away(); }
    // After a failed open: what caused it and what to do, or nothing.
    const QString &openFailureNote() const { return openFailureNote_; }
    // After an open: what is worth telling the operator about the port, or nothing.
    const QString &notice() const { return notice_; }
    // The round's file as it was read: its facts are the board's, whether it runs or not.
    void takeFile(const FileSnapshot &file);
    // Presses START PROGRAMMING with the round's snapshot of the file; with a reset line, pulses
    // it. The result is the pulse's: on failure the operator must power-cycle the board.
    SerialStatus start(const std::shared_ptr<const FileSnapshot> &file);
    // The board's own number, reserved in `store`: committed when the board is programmed, given
    // back when it is not (also when it never starts).
    void takeSerial(NumberStore &store, const NumberStore::Reservation &reservation,
                    const firmware::SerialLayout &layout);
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
    void noteNoticeWhenFree();
    // What the kernel knows of the adapter now on the port, kept once known.
    void noteAdapter();
    // Commits or gives back the board's number, once.
    void settleSerial(bool programmed);

    Console &console_;
    BoardTarget target_;
    RunSettings settings_;
    SerialLink &link_;
    QFile log_;
    TerminalView view_;
    ProgrammingSession session_;
    std::unique_ptr<Timer> quiet_;
    std::unique_ptr<Timer> lastWordsLimit_;
    BoardResult result_;
    NumberStore *serialStore_ = nullptr;
    std::optional<NumberStore::Reservation> serial_; // reserved, not yet settled
    QString openFailureNote_;
    QString notice_;
    bool ending_ = false;
    bool advised_ = false; // the first "went away" note has been given
    bool noticeDue_ = false;
    bool interrupted_ = false;
    bool started_ = false;
    bool done_ = false;
};
