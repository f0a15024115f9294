#include "session/ProgrammingRun.h"

#include "session/Protocol.h"

ProgrammingRun::ProgrammingRun(SerialLink &link, TimerFactory &timers, SessionView &view,
                               FileOpener opener, Settings settings, Events events)
    : link_(link), view_(view), settings_(std::move(settings)), events_(std::move(events)),
      countdownTimer_(timers.createTimer(CountdownTickMs)),
      probeTimer_(timers.createTimer(ProbeIntervalMs)),
      fileCommandTimer_(timers.createTimer(FileCommandDelayMs)),
      watchdog_(timers.createTimer(DotTimeoutMs)),
      fileStartTimer_(timers.createTimer(FileStartDelayMs)),
      streamer_(link, timers, std::move(opener),
                {.lineSent =
                     [this](qint64 line, qint64 total, qint64 bytes) {
                         ++summary_.linesSent;
                         summary_.bytesSent += bytes;
                         if (events_.lineSent)
                             events_.lineSent(line, total, bytes);
                     },
                 .progress = [this](double percent) { view_.showProgress(percent); },
                 .failed = [this](const StreamFailure &failure) { streamFailed(failure); },
                 .counted = [this](const FileFacts &facts) { summary_.facts = facts; }}) {
    countdownTimer_->onTick = [this] { countdownTick(); };
    probeTimer_->onTick = [this] { probeTick(); };
    fileCommandTimer_->onTick = [this] { fileCommandTick(); };
    watchdog_->onTick = [this] { watchdogTick(); };
    fileStartTimer_->onTick = [this] {
        fileStartTimer_->setEnabled(false);
        streamer_.start(settings_.file);
    };
    streamer_.setCheckRecords(settings_.checkRecords);
    streamer_.setPacing(settings_.pacing);
}

ProgrammingRun::~ProgrammingRun() = default;

void ProgrammingRun::setState(SessionState state) {
    if (state_ == state)
        return;
    state_ = state;
    if (events_.stateChanged)
        events_.stateChanged(state);
}

void ProgrammingRun::begin() {
    summary_.file = settings_.file;
    summary_.started = QDateTime::currentDateTimeUtc();
    view_.setStartEnabled(false);
    view_.showCountdown(settings_.shownCountdown);
    countdown_ = settings_.bootTimeoutSeconds;
    countdownTimer_->setEnabled(true);
    setState(SessionState::WaitBootPrompt);
    probeTimer_->setEnabled(true);
}

void ProgrammingRun::finish(RunResult result) {
    if (ended_)
        return;
    ended_ = true;
    summary_.ended = QDateTime::currentDateTimeUtc();
    summary_.result = result;
    for (Timer *timer : {countdownTimer_.get(), probeTimer_.get(), fileCommandTimer_.get(),
                         watchdog_.get(), fileStartTimer_.get()})
        timer->setEnabled(false);
    streamer_.abort();
    setState(SessionState::Idle);
    if (events_.ended)
        events_.ended(result);
}

void ProgrammingRun::countdownTick() {
    if (countdown_ > 0) {
        view_.setStartEnabled(false);
        --countdown_;
        view_.showCountdown(countdown_);
        return;
    }
    countdownTimer_->setEnabled(false);
    if (state_ == SessionState::WaitBootPrompt) {
        view_.appendNote(QStringLiteral("\r\nRestart to bootprogram failled!"));
        view_.showStartAction(StartAction::Start);
        view_.setStartEnabled(true);
        finish(RunResult::NoBootPrompt);
    }
}

void ProgrammingRun::probeTick() {
    link_.Send(Protocol::RestartProbe, false);
    // The last probe goes out on the first tick that finds the count at 0.
    if (countdown_ == 0)
        probeTimer_->setEnabled(false);
}

void ProgrammingRun::fileCommandTick() {
    fileCommandTimer_->setEnabled(false);
    link_.Send(Protocol::FileCommand, false);
}

void ProgrammingRun::watchdogTick() {
    view_.showStage(Stage::Failed);
    view_.showStartAction(StartAction::Start);
    view_.setStartEnabled(true);
    finish(RunResult::AckTimeout);
    view_.showDotTimeout();
}

void ProgrammingRun::onRead(const QByteArray &read) {
    if (ended_)
        return;
    const auto is = [&read](char token) { return read.size() == 1 && read[0] == token; };
    switch (state_) {
    case SessionState::Idle:
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
        else if (is(Protocol::Programmed))
            programmed();
        break;
    }
}

void ProgrammingRun::receiveHandled() {
    if (!ended_)
        streamer_.receiveHandled();
}

void ProgrammingRun::armFileStartByHand() {
    if (!ended_ && !streamer_.running())
        fileStartTimer_->setEnabled(true);
}

void ProgrammingRun::promptReceived() {
    view_.showStage(Stage::BootStarted);
    setState(SessionState::WaitFileRequest);
    countdownTimer_->setEnabled(false);
    view_.showStartAction(StartAction::Cancel);
    view_.setStartEnabled(true);
    countdown_ = settings_.bootTimeoutSeconds;
    probeTimer_->setEnabled(false);
    fileCommandTimer_->setEnabled(true);
    watchdog_->setEnabled(true);
}

void ProgrammingRun::fileRequested() {
    view_.showStage(Stage::SendingFile);
    setState(SessionState::SendingFile);
    fileStartTimer_->setEnabled(true);
}

void ProgrammingRun::dotReceived() {
    watchdog_->setEnabled(false);
    watchdog_->setEnabled(true);
    streamer_.lineAcknowledged();
}

void ProgrammingRun::programmed() {
    view_.showStage(Stage::Programmed);
    view_.showStartAction(StartAction::Start);
    finish(RunResult::Programmed);
}

void ProgrammingRun::streamFailed(const StreamFailure &failure) {
    view_.showStage(Stage::Failed);
    view_.appendNote(failure.note);
    view_.showStartAction(StartAction::Start);
    view_.setStartEnabled(true);
    finish(failure.result);
}
