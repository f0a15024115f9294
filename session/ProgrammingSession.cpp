#include "session/ProgrammingSession.h"

#include "session/Protocol.h"

#include <QLocale>

namespace {
const QString StartCaption = QStringLiteral("START PROGRAMMING");
const QString CancelCaption = QStringLiteral("CANCEL");
const QString WaitingCaption = QStringLiteral("Waiting restart: ");
} // namespace

QString toString(RunResult result) {
    switch (result) {
    case RunResult::Programmed:
        return QStringLiteral("programmed");
    case RunResult::AckTimeout:
        return QStringLiteral("acknowledgement timeout");
    case RunResult::NoBootPrompt:
        return QStringLiteral("no boot prompt");
    case RunResult::Cancelled:
        return QStringLiteral("cancelled");
    case RunResult::PortError:
        return QStringLiteral("port error");
    case RunResult::FileError:
        return QStringLiteral("file error");
    }
    return {};
}

ProgrammingSession::ProgrammingSession(SerialLink &link, TimerFactory &timers, SessionView &view,
                                       FileOpener opener, QObject *parent)
    : QObject(parent), link_(link), view_(view),
      timers_{timers.createTimer(CountdownTickMs), timers.createTimer(ProbeIntervalMs),
              timers.createTimer(FileCommandDelayMs), timers.createTimer(DotTimeoutMs),
              timers.createTimer(SendFileDelayMs)},
      streamer_(*this, timers, std::move(opener)) {
    timer(SessionTimer::ResetToBootprg).onTick = [this] { Timerresettobootprg_Timer(); };
    timer(SessionTimer::SendI).onTick = [this] { Timersendi_Timer(); };
    timer(SessionTimer::SendF).onTick = [this] { Timersendf_Timer(); };
    timer(SessionTimer::DotNotReceived).onTick = [this] { TimerdotNotReceived_Timer(); };
    timer(SessionTimer::SendFile).onTick = [this] { streamer_.TimerSendFile_Timer(); };

    SerialControl &control = link_.control();
    connect(&control, &SerialControl::OnComm, this, &ProgrammingSession::MSComm1_OnComm);
    connect(&control, &SerialControl::outputDrained, this, [this] { streamer_.outputDrained(); });
    connect(&control, &SerialControl::portLost, this, &ProgrammingSession::portLost);
}

ProgrammingSession::~ProgrammingSession() = default;

QString ProgrammingSession::cancelNote() {
    return QStringLiteral("Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\r\n"
                          "Kytke laitteesta virrat pois ja takasin päälle!\r\n\r\n");
}

QString ProgrammingSession::progressText(double progress) {
    return QStringLiteral("progress: ") +
           QLocale().toString(progress, 'g', QLocale::FloatingPointShortest) + QLatin1Char('%');
}

void ProgrammingSession::setState(SessionState state) {
    if (state_ == state)
        return;
    state_ = state;
    Q_EMIT stateChanged(state);
}

void ProgrammingSession::endRun(RunResult result) {
    if (!runActive_)
        return;
    runActive_ = false;
    Q_EMIT runEnded(result);
}

void ProgrammingSession::applyStartRule() {
    if (link_.PortOpen() && !SelectedFile.isEmpty())
        view_.setStartEnabled(true);
}

void ProgrammingSession::chooseFile(const QString &path) {
    if (path.isEmpty())
        return;
    SelectedFile = path;
    applyStartRule();
}

void ProgrammingSession::btnFlash_Click() {
    if (!link_.PortOpen() || SelectedFile.isEmpty()) {
        setState(SessionState::Idle);
        view_.setStartEnabled(false);
        endRun(RunResult::Cancelled);
        return;
    }
    if (state_ != SessionState::Idle) {
        // Cancel. The timers run on and act on their next ticks.
        setState(SessionState::Idle);
        view_.setStartCaption(StartCaption);
        view_.prependNote(cancelNote());
        endRun(RunResult::Cancelled);
        return;
    }
    // Nothing an earlier run left armed may act in this one: its watchdog would fail it, its file
    // command or transfer would reach the device before it asks, its transfer would go on mid-file.
    for (const SessionTimer left :
         {SessionTimer::DotNotReceived, SessionTimer::SendF, SessionTimer::SendFile})
        timer(left).setEnabled(false);
    streamer_.abort();
    view_.setStartEnabled(false);
    view_.setStartCaption(WaitingCaption + QString::number(Countdown));
    Countdown = bootTimeoutSeconds_;
    timer(SessionTimer::ResetToBootprg).setEnabled(true);
    setState(SessionState::WaitBootPrompt);
    timer(SessionTimer::SendI).setEnabled(true);
    runActive_ = true;
    Q_EMIT runStarted();
}

void ProgrammingSession::Timerresettobootprg_Timer() {
    if (Countdown > 0) {
        view_.setStartEnabled(false);
        --Countdown;
        view_.setStartCaption(WaitingCaption + QString::number(Countdown));
        return;
    }
    if (state_ == SessionState::WaitBootPrompt) {
        setState(SessionState::Idle);
        view_.appendNote(QStringLiteral("\r\nRestart to bootprogram failled!"));
        view_.setStartCaption(StartCaption);
        view_.setStartEnabled(true);
        endRun(RunResult::NoBootPrompt);
    }
    timer(SessionTimer::ResetToBootprg).setEnabled(false);
}

void ProgrammingSession::Timersendi_Timer() {
    link_.Send(Protocol::RestartProbe, false);
    if (Countdown == 0)
        timer(SessionTimer::SendI).setEnabled(false);
}

void ProgrammingSession::Timersendf_Timer() {
    timer(SessionTimer::SendF).setEnabled(false);
    link_.Send(Protocol::FileCommand, false);
}

void ProgrammingSession::TimerdotNotReceived_Timer() {
    view_.showStatus(QStringLiteral("Programming FAILLED"));
    setState(SessionState::Idle);
    timer(SessionTimer::DotNotReceived).setEnabled(false);
    view_.setStartCaption(StartCaption);
    view_.setStartEnabled(true);
    endRun(RunResult::AckTimeout);
    view_.showDotTimeout();
}

void ProgrammingSession::MSComm1_OnComm() {
    if (link_.PortError)
        return;
    SerialControl &control = link_.control();
    const int event = control.commEvent();
    if (event > 1000)
        view_.showCommError(event);

    // Every read is acted on first and then echoed; the echo of one drain goes to the log at once,
    // since nothing else writes to the log while the drain runs.
    QByteArray echoed;
    do {
        if (control.inBufferCount() > 0) {
            const QByteArray read = control.input();
            if (read.isEmpty())
                break; // the port closed under us: what is left stays for the next event
            onRead(read);
            echoed += read;
        }
    } while (control.inBufferCount() != 0);
    if (!echoed.isEmpty())
        view_.appendReceived(echoed);
    streamer_.receiveHandled();
}

void ProgrammingSession::onRead(const QByteArray &read) {
    const auto is = [&read](char token) { return read.size() == 1 && read[0] == token; };
    switch (state_) {
    case SessionState::Idle:
        readWhileIdle();
        break;
    case SessionState::WaitBootPrompt:
        if (is(Protocol::BootPrompt))
            promptReceived();
        break;
    case SessionState::WaitFileRequest:
        if (is(Protocol::FileRequest))
            fileRequested();
        break;
    case SessionState::SendingFile:
        if (is(Protocol::LineAck))
            dotReceived();
        if (is(Protocol::Programmed))
            programmed();
        break;
    }
}

void ProgrammingSession::promptReceived() {
    view_.showStatus(QStringLiteral("Bootprogram started"));
    setState(SessionState::WaitFileRequest);
    timer(SessionTimer::ResetToBootprg).setEnabled(false);
    view_.setStartCaption(CancelCaption);
    view_.setStartEnabled(true);
    Countdown = bootTimeoutSeconds_;
    timer(SessionTimer::SendI).setEnabled(false);
    timer(SessionTimer::SendF).setEnabled(true);
    timer(SessionTimer::DotNotReceived).setEnabled(true);
}

void ProgrammingSession::fileRequested() {
    view_.showStatus(QStringLiteral("Sending File"));
    setState(SessionState::SendingFile);
    timer(SessionTimer::SendFile).setEnabled(true);
}

void ProgrammingSession::dotReceived() {
    LineAcked = true;
    Timer &watchdog = timer(SessionTimer::DotNotReceived);
    watchdog.setEnabled(false);
    watchdog.setEnabled(true);
    streamer_.lineAcknowledged();
}

void ProgrammingSession::programmed() {
    view_.showStatus(QStringLiteral("PROGRAMMED"));
    view_.setStartCaption(StartCaption);
    setState(SessionState::Idle);
    timer(SessionTimer::DotNotReceived).setEnabled(false);
    endRun(RunResult::Programmed);
}

void ProgrammingSession::readWhileIdle() {
    view_.setStartCaption(StartCaption);
    applyStartRule();
}

void ProgrammingSession::portToggled() {
    setState(SessionState::Idle);
    Countdown = 0;
    view_.setStartCaption(StartCaption);
    applyStartRule();
    endRun(RunResult::Cancelled);
}

void ProgrammingSession::portLost() {
    endRun(RunResult::PortError);
    portToggled();
}

void ProgrammingSession::abort() {
    for (auto &t : timers_)
        t->setEnabled(false);
    streamer_.abort();
    setState(SessionState::Idle);
    view_.setStartCaption(StartCaption);
    endRun(RunResult::Cancelled);
}

void ProgrammingSession::showProgress() { view_.showStatus(progressText(Progress)); }

void ProgrammingSession::streamerFailed() {
    setState(SessionState::Idle);
    endRun(RunResult::FileError);
}

void ProgrammingSession::reportLineSent(qint64 line, qint64 total, qint64 bytes) {
    Q_EMIT lineSent(line, total, bytes);
}
