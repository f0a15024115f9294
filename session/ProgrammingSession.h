#pragma once

#include "clock/Timer.h"
#include "serial/SerialLink.h"
#include "session/FileStreamer.h"
#include "session/Pacing.h"
#include "session/ProgrammingRun.h"
#include "session/SessionTypes.h"
#include "session/SessionView.h"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

// Programming runs one after another on one serial link, and the receive handler that serves them
// and the terminal between them. A run is a ProgrammingRun object: made by start(), ended by its
// own events or by cancel(), a connect or disconnect, a lost port or abort(); nothing of an ended
// run acts again. Every end is shown by one function, from its cause (see presentEnd). The session
// drives a front end through SessionView and never touches widgets.
class ProgrammingSession : public QObject {
    Q_OBJECT
public:
    ProgrammingSession(SerialLink &link, TimerFactory &timers, SessionView &view,
                       QObject *parent = nullptr);
    ~ProgrammingSession() override;

    static constexpr int DefaultBootTimeoutSeconds = 60;

    // Seconds the device has to restart into its bootloader; the window always uses 60. Also what
    // the start button shows before the first run's first tick.
    void setBootTimeout(int seconds);
    // The operator's choice of pacing; a running transfer takes it from its next line.
    void setPacing(const Pacing &pacing);
    // How long the device has to say "P" after the last line; ProgrammedWaitMs by default.
    void setFinalWait(int seconds) { finalWaitMs_ = seconds * 1000; }
    // What the board's application must say after "P" for the next runs; none: a run ends on "P".
    void setBootExpectation(std::optional<BootExpectation> expectation) {
        bootExpectation_ = std::move(expectation);
    }
    // How START makes a file of another format into S-records (the size of their records).
    void setConversion(const firmware::ConversionOptions &options) { conversion_ = options; }
    // A file was chosen ("" changes nothing). Enables the start button when the port is open.
    void chooseFile(const QString &path);
    const QString &selectedFile() const { return selectedFile_; }

    // The start button pressed: while a run is on (and the port open with a file chosen) it is
    // CANCEL; otherwise START PROGRAMMING with the chosen file.
    void pressStart();
    // START PROGRAMMING: with the port open and a file chosen, the file is read whole and checked,
    // and a run starts with that snapshot unless it is refused (no countdown, no probe: the failure
    // is shown at once and startRefused emitted). Otherwise any run ends and the button is
    // disabled. The chosen file is made into S-records from any other format (a raw binary is
    // refused: the window knows no address for it), and what a converted file became is noted.
    // True when a run started.
    bool start();
    // As start(), with a snapshot taken beforehand (several boards sending the same bytes): only
    // the port need be open.
    bool start(std::shared_ptr<const FileSnapshot> file);
    // CANCEL: the run ends at once, with the note at the top of the log.
    void cancel();
    // A connect or disconnect: a run ends at once; the count goes to 0; the button is re-armed.
    void connectionChanged();
    // Ends everything at once without a word (the command line's Ctrl-C).
    void abort();
    // "sFile": the file goes out a second later. Within a run, the whole file (unless a transfer is
    // running); with no run, its first line as it is, to try the line out.
    void sendFileByHand();

    SessionState state() const { return run_ ? run_->state() : SessionState::Idle; }
    bool running() const { return run_ != nullptr; }
    bool transferRunning() const;
    bool canStart() const { return link_.PortOpen() && !selectedFile_.isEmpty(); }
    // The restart countdown's seconds: of the running run, else what the last one (or a connect)
    // left.
    int countdown() const { return run_ ? run_->countdown() : countdown_; }
    // The port's last going away sent the run back to wait for the prompt: the board had prompted
    // but had got no line yet. Front ends word their note of the port going away by it.
    bool awayBeforeFirstLine() const { return awayBeforeFirstLine_; }

Q_SIGNALS:
    void runStarted();
    // The run's summary is complete: its result, its cause and note, and the file it sent.
    void runEnded(const RunSummary &run);
    // START did not start a run: the file will not be sent. The note names it and says why.
    void startRefused(const QString &note);
    void lineSent(qint64 line, qint64 total, qint64 bytes);
    void stateChanged(SessionState state);

private:
    void onComm();
    void onRead(const QByteArray &read);
    void onPortLost(const SerialStatus &failure);
    // A port that goes away is followed except once a line of the file has gone out: a board that
    // loses it then has lost part of the file. Before that it has lost nothing.
    void updateFollowing();
    void runFinished(const RunSummary &run);
    void reportEnd(const RunSummary &run);
    void onPortAway();
    // What the operator is shown of an end, by its cause: caption, start button, box and note.
    void presentEnd(EndCause cause, const QString &note);
    // Ends the running run (if any) with `cause`; false when none was running.
    bool endRun(EndCause cause, const QString &note = {});
    // The start button as after a run: "START PROGRAMMING", enabled exactly when a run could start.
    void resetStartButton();
    void applyStartRule();
    bool startWith(std::shared_ptr<const FileSnapshot> file, bool takenHere);

    SerialLink &link_;
    TimerFactory &timers_;
    SessionView &view_;
    QString selectedFile_;
    Pacing pacing_;
    firmware::ConversionOptions conversion_;
    int bootTimeoutSeconds_ = DefaultBootTimeoutSeconds;
    int finalWaitMs_ = ProgrammingRun::ProgrammedWaitMs;
    std::optional<BootExpectation> bootExpectation_;
    int countdown_ = DefaultBootTimeoutSeconds;
    std::unique_ptr<ProgrammingRun> run_;
    // A run that ends on a read is reported once the drain's text is in the log, so that the log
    // shows what the device said before anything the end brings.
    bool draining_ = false;
    bool awayBeforeFirstLine_ = false;
    std::optional<RunSummary> endInDrain_;
    // Ended runs wait here until the event loop has them deleted: a run may end from inside one of
    // its own timer ticks or callbacks, and a front end may start the next run from its report of
    // the end, which must not have the ended one deleted under their feet.
    std::vector<std::unique_ptr<ProgrammingRun>> ended_;
    // "sFile" while no run is on: one line, its own delay, ended by any run or connection change.
    std::unique_ptr<Timer> tryOutTimer_;
    std::unique_ptr<FileStreamer> tryOut_;
};
