#pragma once

#include "serial/SerialLink.h"
#include "session/FileStreamer.h"
#include "session/SessionTypes.h"
#include "session/SessionView.h"
#include "session/Timer.h"

#include <QObject>
#include <array>
#include <memory>

enum class SessionTimer { ResetToBootprg, SendI, SendF, DotNotReceived, SendFile };

// One programming run after another on one serial link: the state machine, its five timers, the
// receive handler and the file streamer. It drives a front end through SessionView and never
// touches widgets.
class ProgrammingSession : public QObject {
    Q_OBJECT
public:
    ProgrammingSession(SerialLink &link, TimerFactory &timers, SessionView &view,
                       FileOpener opener = openFileForReading, QObject *parent = nullptr);
    ~ProgrammingSession() override;

    // Timer periods, in milliseconds.
    static constexpr int CountdownTickMs = 1000;
    static constexpr int ProbeIntervalMs = 5;
    static constexpr int FileCommandDelayMs = 333;
    static constexpr int DotTimeoutMs = 3000;
    static constexpr int SendFileDelayMs = 1000;
    static constexpr int DefaultBootTimeoutSeconds = 60;

    // Members shared with the front end.
    SessionState state() const { return state_; }
    int Countdown = 0;
    bool LineAcked = false;
    double Progress = 0;
    QString SelectedFile;

    // Seconds the device has to restart into its bootloader; the window always uses 60.
    void setBootTimeout(int seconds) { bootTimeoutSeconds_ = seconds; }
    // Only well-formed S-records are sent (FileStreamer::setCheckRecords); front ends turn it on.
    void setCheckRecords(bool on) { streamer_.setCheckRecords(on); }

    // Handlers.
    void btnFlash_Click();
    void Timerresettobootprg_Timer();
    void Timersendi_Timer();
    void Timersendf_Timer();
    void TimerdotNotReceived_Timer();
    void MSComm1_OnComm();

    // A connect or disconnect: Idle, Countdown 0, the start button re-armed. Timers run on.
    void portToggled();
    // The device disappeared: as a disconnect, and a running run ends with a port error.
    void portLost();
    // "sFile": arms the streamer by hand.
    void startTransferByHand() {
        streamer_.armedByHand();
        timer(SessionTimer::SendFile).setEnabled(true);
    }
    // A file was chosen.
    void chooseFile(const QString &path);
    // Ends everything at once: every timer stopped, nothing more sent (the command line's Ctrl-C).
    void abort();
    // Enables the start button when the port is open and a file is chosen; never disables it.
    void applyStartRule();

    Timer &timer(SessionTimer which) { return *timers_[static_cast<std::size_t>(which)]; }
    SerialLink &link() { return link_; }
    SessionView &view() { return view_; }
    FileStreamer &streamer() { return streamer_; }
    bool runActive() const { return runActive_; }

    // Used by the streamer.
    void showProgress();
    void streamerFailed();
    void reportLineSent(qint64 line, qint64 total, qint64 bytes);

    static QString cancelNote();
    static QString progressText(double progress);

Q_SIGNALS:
    void runStarted();
    void runEnded(RunResult result);
    void lineSent(qint64 line, qint64 total, qint64 bytes);
    void stateChanged(SessionState state);

private:
    void setState(SessionState state);
    void endRun(RunResult result);
    void onRead(const QByteArray &read);
    void promptReceived();
    void fileRequested();
    void dotReceived();
    void programmed();
    void readWhileIdle();

    SerialLink &link_;
    SessionView &view_;
    std::array<std::unique_ptr<Timer>, 5> timers_;
    FileStreamer streamer_;
    SessionState state_ = SessionState::Idle;
    int bootTimeoutSeconds_ = DefaultBootTimeoutSeconds;
    bool runActive_ = false;
};
