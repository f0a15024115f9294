#include "session/ProgrammingRun.h"

#include "session/Protocol.h"
#include "session/RunEnd.h"

ProgrammingRun::ProgrammingRun(SerialLink &link, TimerFactory &timers, SessionView &view,
                               Settings settings, Events events)
    : link_(link), view_(view), settings_(std::move(settings)), events_(std::move(events)),
      countdownTimer_(timers.createTimer(CountdownTickMs)),
      probeTimer_(timers.createTimer(ProbeIntervalMs)),
      fileCommandTimer_(timers.createTimer(FileCommandDelayMs)), watchdog_(timers, DotTimeoutMs),
      fileStartTimer_(timers.createTimer(FileStartDelayMs)),
      verdictTimer_(timers.createTimer(settings_.finalWaitMs)),
      streamer_(link, timers,
                {.lineSent = [this](qint64 line, qint64 total,
                                    qint64 bytes) { lineSent(line, total, bytes); },
                 .progress = [this](double percent) { view_.showProgress(percent); },
                 .failed =
                     [this](const StreamFailure &failure) {
                         finish(failure.result == RunResult::PortError ? EndCause::WriteFailed
                                                                       : EndCause::FileError,
                                failure.note);
                     }}) {
    countdownTimer_->onTick = [this] { countdownTick(); };
    probeTimer_->onTick = [this] { probeTick(); };
    fileCommandTimer_->onTick = [this] { fileCommandTick(); };
    watchdog_.onExpiry = [this] { finish(EndCause::AckTimeout, silenceNote()); };
    fileStartTimer_->onTick = [this] { startTransfer(); };
    verdictTimer_->onTick = [this] { finish(EndCause::AckTimeout, noVerdictNote()); };
    streamer_.setPacing(settings_.pacing);
    if (settings_.boot)
        greeting_ = std::make_unique<BootGreeting>(
            timers, *settings_.boot, [this](const BootCheck &check) { greetingChecked(check); });
    linesToSend_ = settings_.file->report.lines;
    answerableLines_ = linesToSend_ - settings_.file->report.blankLines;
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
    summary_.file = settings_.file->path;
    summary_.facts = settings_.file->facts();
    summary_.started = QDateTime::currentDateTimeUtc();
    view_.setStartEnabled(false);
    view_.showCountdown(settings_.shownCountdown);
    countdown_ = settings_.bootTimeoutSeconds;
    countdownTimer_->setEnabled(true);
    setState(SessionState::WaitBootPrompt);
    probeTimer_->setEnabled(true);
}

void ProgrammingRun::finish(EndCause cause, const QString &note) {
    if (ended_)
        return;
    // The image is in: whatever cuts the wait for the application short, the board was programmed
    // and is not proven to boot.
    if (greeting_ && greeting_->running()) {
        summary_.boot = greeting_->abandon();
        QStringList why{
            QStringLiteral("Programmed, but the wait for the application was cut short%1")
                .arg(note.isEmpty() ? QString() : QStringLiteral(": ") + note)};
        why += summary_.warnings;
        return finish(EndCause::NotBooted, why.join(QLatin1Char('\n')));
    }
    ended_ = true;
    summary_.ended = QDateTime::currentDateTimeUtc();
    summary_.cause = cause;
    summary_.note = note;
    summary_.result = runEnd(cause).result;
    for (Timer *timer : {countdownTimer_.get(), probeTimer_.get(), fileCommandTimer_.get(),
                         fileStartTimer_.get(), verdictTimer_.get()})
        timer->setEnabled(false);
    watchdog_.stop();
    streamer_.abort();
    if (greeting_)
        greeting_->stop();
    // An ended run holds no file: a large image is let go at once.
    settings_.file.reset();
    setState(SessionState::Idle);
    if (events_.ended)
        events_.ended(summary_);
}

void ProgrammingRun::countdownTick() {
    if (countdown_ > 0) {
        view_.setStartEnabled(false);
        --countdown_;
        view_.showCountdown(countdown_);
        return;
    }
    countdownTimer_->setEnabled(false);
    if (state_ != SessionState::WaitBootPrompt)
        return;
    // A board whose port goes with its power may not have come back at all.
    finish(EndCause::NoBootPrompt,
           link_.away() ? QStringLiteral("%1 was away when the time ran out: the board's port did "
                                         "not come back. Check its cable and its power.")
                              .arg(link_.devicePath())
                        : QString());
}

void ProgrammingRun::probeTick() {
    link_.Send(Protocol::RestartProbe, false);
    // The last probe goes out on the first tick that finds the count at 0.
    if (countdown_ == 0)
        probeTimer_->setEnabled(false);
}

void ProgrammingRun::portBack() {
    if (!ended_ && state_ == SessionState::WaitBootPrompt && probeTimer_->enabled())
        link_.Send(Protocol::RestartProbe, false);
}

bool ProgrammingRun::portAway() {
    if (ended_ || transferStarted_ ||
        (state_ != SessionState::WaitFileRequest && state_ != SessionState::SendingFile))
        return false;
    fileCommandTimer_->setEnabled(false);
    watchdog_.stop();
    fileStartTimer_->setEnabled(false);
    countdown_ = countdownAtPrompt_;
    view_.setStartEnabled(false);
    view_.showCountdown(countdown_);
    countdownTimer_->setEnabled(true);
    setState(SessionState::WaitBootPrompt);
    probeTimer_->setEnabled(true);
    return true;
}

void ProgrammingRun::fileCommandTick() {
    fileCommandTimer_->setEnabled(false);
    link_.Send(Protocol::FileCommand, false);
}

void ProgrammingRun::onRead(const QByteArray &read) {
    if (ended_)
        return;
    if (greeting_ && greeting_->running())
        return greeting_->take(read);
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
            programmedReceived();
        break;
    }
}

void ProgrammingRun::receiveHandled() {
    if (!ended_)
        streamer_.receiveHandled();
}

void ProgrammingRun::armFileStartByHand() {
    // A second transfer within one run would send the file twice: the device restarts after the
    // first one's termination record.
    if (!ended_ && !transferStarted_)
        fileStartTimer_->setEnabled(true);
}

void ProgrammingRun::promptReceived() {
    view_.showStage(Stage::BootStarted);
    setState(SessionState::WaitFileRequest);
    countdownTimer_->setEnabled(false);
    view_.showStartAction(StartAction::Cancel);
    view_.setStartEnabled(true);
    countdownAtPrompt_ = countdown_;
    countdown_ = settings_.bootTimeoutSeconds;
    probeTimer_->setEnabled(false);
    fileCommandTimer_->setEnabled(true);
    watchdog_.start();
}

void ProgrammingRun::fileRequested() {
    view_.showStage(Stage::SendingFile);
    setState(SessionState::SendingFile);
    fileStartTimer_->setEnabled(true);
}

void ProgrammingRun::startTransfer() {
    fileStartTimer_->setEnabled(false);
    if (transferStarted_)
        return;
    transferStarted_ = true;
    streamer_.start(settings_.file);
}

void ProgrammingRun::lineSent(qint64 line, qint64 total, qint64 bytes) {
    ++summary_.linesSent;
    summary_.bytesSent += bytes;
    if (bytes > 1) // a blank line goes out as a bare line feed
        ++answerableSent_;
    // From the last line on, the device's "P" is waited for, within a bound.
    if (allLinesSent())
        verdictTimer_->setEnabled(true);
    if (events_.lineSent)
        events_.lineSent(line, total, bytes);
}

void ProgrammingRun::dotReceived() {
    if (answered_ < answerableSent_)
        ++answered_;
    watchdog_.start(); // pushed back: DotTimeoutMs from this "."
    streamer_.lineAcknowledged();
}

void ProgrammingRun::programmedReceived() {
    // Before the last line has gone out, or while lines before it are unanswered, a "P" is device
    // text: the device cannot have the image.
    if (!allLinesSent())
        return;
    if (answered_ < answerableLines_ - 1) {
        if (!answeredAtEarlyVerdict_)
            answeredAtEarlyVerdict_ = answered_;
        owedAtEarlyVerdict_ = std::max(owedAtEarlyVerdict_, answerableLines_ - answered_);
        return;
    }
    noteEarlyVerdict();
    if (greeting_)
        return awaitGreeting();
    finish(EndCause::Programmed, summary_.warnings.join(QLatin1Char('\n')));
}

void ProgrammingRun::noteEarlyVerdict() {
    if (!answeredAtEarlyVerdict_)
        return;
    // With an expectation the greeting that follows is the proof; without one, point to it.
    summary_.warnings << QStringLiteral("The device said \"P\" while it still owed %1 answers: "
                                        "it may have restarted; check the board%2")
                             .arg(owedAtEarlyVerdict_)
                             .arg(greeting_ ? QString() : QStringLiteral(", or use --expect"));
}

void ProgrammingRun::awaitGreeting() {
    // The protocol is over: nothing it armed runs on, and the port is followed through the
    // board's restart.
    watchdog_.stop();
    verdictTimer_->setEnabled(false);
    streamer_.abort();
    view_.showStage(Stage::Programmed);
    view_.appendNote(QStringLiteral("Waiting up to %1 s for the application to say what is "
                                    "expected")
                         .arg(settings_.boot->withinSeconds));
    setState(SessionState::Idle);
    greeting_->start();
    // The "P" may begin the bootloader's closing line: it belongs to the words read from here on.
    greeting_->take(QByteArray(1, Protocol::Programmed));
}

void ProgrammingRun::greetingChecked(const BootCheck &check) {
    summary_.boot = check;
    QStringList note{check.booted()
                         ? QStringLiteral("The application said \"%1\" %2 s after the image "
                                          "went in")
                               .arg(check.line)
                               .arg(check.seconds, 0, 'f', 1)
                         : check.note()};
    note += summary_.warnings;
    finish(check.booted() ? EndCause::Booted : EndCause::NotBooted, note.join(QLatin1Char('\n')));
}

namespace {
// How every note on a silent or undecided device ends.
const QString Again = QStringLiteral(": switch it off and on again, then program it once more.");
} // namespace

QString ProgrammingRun::silenceNote() const {
    // How far the device got, so that the operator can tell a board that restarted or lost power
    // mid-file from one that took every line and then said nothing.
    if (answeredAtEarlyVerdict_)
        return QStringLiteral("The device reported the image programmed (\"P\") when it had "
                              "answered %1 of %2 lines: an answer went missing")
                   .arg(*answeredAtEarlyVerdict_)
                   .arg(linesToSend_) +
               Again;
    if (allLinesSent() && answered_ >= answerableLines_)
        return QStringLiteral("The device answered all %1 lines but did not report the image "
                              "programmed (\"P\")")
                   .arg(linesToSend_) +
               Again;
    return QStringLiteral("The device answered %1 of %2 lines (%3 sent), then fell silent")
               .arg(answered_)
               .arg(linesToSend_)
               .arg(summary_.linesSent) +
           Again;
}

QString ProgrammingRun::noVerdictNote() const {
    return QStringLiteral("The device answered %1 of %2 lines and kept talking for %3 s after "
                          "the last one, but never reported the image programmed (\"P\")")
               .arg(answered_)
               .arg(linesToSend_)
               .arg(settings_.finalWaitMs / 1000) +
           Again;
}
