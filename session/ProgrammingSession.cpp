#include "session/ProgrammingSession.h"

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

QString toString(Stage stage) {
    switch (stage) {
    case Stage::BootStarted:
        return QStringLiteral("Bootprogram started");
    case Stage::SendingFile:
        return QStringLiteral("Sending File");
    case Stage::Programmed:
        return QStringLiteral("PROGRAMMED");
    case Stage::Failed:
        return QStringLiteral("Programming FAILLED");
    }
    return {};
}

ProgrammingSession::ProgrammingSession(SerialLink &link, TimerFactory &timers, SessionView &view,
                                       FileOpener opener, QObject *parent)
    : QObject(parent), link_(link), timers_(timers), view_(view), opener_(std::move(opener)),
      tryOutTimer_(timers.createTimer(ProgrammingRun::FileStartDelayMs)) {
    tryOut_ = std::make_unique<FileStreamer>(
        link_, timers_, opener_,
        FileStreamer::Events{
            .lineSent = [this](qint64 line, qint64 total,
                               qint64 bytes) { Q_EMIT lineSent(line, total, bytes); },
            .progress = [this](double percent) { view_.showProgress(percent); },
            .failed = [this](const StreamFailure &failure) { view_.appendNote(failure.note); },
            .counted = nullptr});
    tryOutTimer_->onTick = [this] {
        tryOutTimer_->setEnabled(false);
        tryOut_->setPacing(pacing_);
        tryOut_->start(selectedFile_, FileStreamer::Extent::FirstLineAsIs);
    };

    SerialControl &control = link_.control();
    connect(&control, &SerialControl::OnComm, this, &ProgrammingSession::onComm);
    connect(&control, &SerialControl::outputDrained, this, [this] {
        if (run_)
            run_->outputDrained();
        tryOut_->outputDrained();
    });
    connect(&control, &SerialControl::portLost, this, &ProgrammingSession::onPortLost);
}

ProgrammingSession::~ProgrammingSession() = default;

QString ProgrammingSession::cancelNote() {
    return QStringLiteral("Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\r\n"
                          "Kytke laitteesta virrat pois ja takasin päälle!\r\n\r\n");
}

void ProgrammingSession::setBootTimeout(int seconds) {
    bootTimeoutSeconds_ = seconds;
    if (!run_)
        countdown_ = seconds;
}

void ProgrammingSession::setPacing(const Pacing &pacing) {
    pacing_ = pacing;
    if (run_)
        run_->setPacing(pacing);
    tryOut_->setPacing(pacing);
}

const RunSummary *ProgrammingSession::lastRun() const {
    if (run_)
        return &run_->summary();
    return ended_.empty() ? nullptr : &ended_.back()->summary();
}

bool ProgrammingSession::transferRunning() const {
    return tryOut_->running() || (run_ && run_->transferRunning());
}

void ProgrammingSession::applyStartRule() {
    if (canStart())
        view_.setStartEnabled(true);
}

void ProgrammingSession::resetStartButton() {
    view_.showStartAction(StartAction::Start);
    view_.setStartEnabled(canStart());
}

void ProgrammingSession::chooseFile(const QString &path) {
    if (path.isEmpty())
        return;
    selectedFile_ = path;
    applyStartRule();
}

void ProgrammingSession::endRun(RunResult result) {
    // Whatever is pending for the line stops with the run: a try-out line too.
    tryOutTimer_->setEnabled(false);
    tryOut_->abort();
    if (run_)
        run_->finish(result); // comes back through runFinished()
}

void ProgrammingSession::runFinished(RunResult result) {
    countdown_ = run_->countdown();
    ended_.push_back(std::move(run_));
    // A receiver may start the next run from here; the ended one is still on the stack below us.
    ++reportingEnd_;
    Q_EMIT stateChanged(SessionState::Idle);
    Q_EMIT runEnded(result);
    --reportingEnd_;
}

void ProgrammingSession::start() {
    if (!canStart()) {
        endRun(RunResult::Cancelled);
        view_.setStartEnabled(false);
        return;
    }
    if (run_)
        return; // a press while a run is on is a cancel; see cancel()
    endRun(RunResult::Cancelled);
    if (reportingEnd_ == 0)
        ended_.clear();

    ProgrammingRun::Settings settings{.file = selectedFile_,
                                      .bootTimeoutSeconds = bootTimeoutSeconds_,
                                      .shownCountdown = countdown_,
                                      .checkRecords = checkRecords_,
                                      .pacing = pacing_};
    ProgrammingRun::Events events{
        .stateChanged =
            [this](SessionState state) {
                if (state != SessionState::Idle)
                    Q_EMIT stateChanged(state);
            },
        .lineSent = [this](qint64 line, qint64 total,
                           qint64 bytes) { Q_EMIT lineSent(line, total, bytes); },
        .ended = [this](RunResult result) { runFinished(result); }};
    run_ = std::make_unique<ProgrammingRun>(link_, timers_, view_, opener_, std::move(settings),
                                            std::move(events));
    run_->begin();
    Q_EMIT runStarted();
}

void ProgrammingSession::cancel() {
    if (!run_)
        return;
    endRun(RunResult::Cancelled);
    resetStartButton();
    view_.prependNote(cancelNote());
}

void ProgrammingSession::connectionChanged() {
    endRun(RunResult::Cancelled);
    countdown_ = 0;
    view_.showStartAction(StartAction::Start);
    applyStartRule();
}

void ProgrammingSession::onPortLost() {
    view_.appendNote(
        QStringLiteral("\r\n%1: the device disappeared").arg(link_.control().devicePath()));
    const bool wasRunning = running();
    endRun(RunResult::PortError);
    countdown_ = 0;
    if (wasRunning)
        resetStartButton();
    else
        view_.showStartAction(StartAction::Start);
}

void ProgrammingSession::abort() {
    tryOutTimer_->setEnabled(false);
    tryOut_->abort();
    if (run_) {
        view_.showStartAction(StartAction::Start);
        run_->finish(RunResult::Cancelled);
    }
}

void ProgrammingSession::sendFileByHand() {
    if (run_) {
        run_->armFileStartByHand();
        return;
    }
    if (!tryOut_->running())
        tryOutTimer_->setEnabled(true);
}

void ProgrammingSession::onComm() {
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
    if (run_)
        run_->receiveHandled();
}

void ProgrammingSession::onRead(const QByteArray &read) {
    if (run_) {
        run_->onRead(read);
        return;
    }
    // Between runs any byte re-arms the start button.
    view_.showStartAction(StartAction::Start);
    applyStartRule();
}
