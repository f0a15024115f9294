#include "session/ProgrammingSession.h"

#include "session/RunEnd.h"

#include <utility>

ProgrammingSession::ProgrammingSession(SerialLink &link, TimerFactory &timers, SessionView &view,
                                       QObject *parent)
    : QObject(parent), link_(link), timers_(timers), view_(view),
      tryOutTimer_(timers.createTimer(ProgrammingRun::FileStartDelayMs)) {
    qRegisterMetaType<RunSummary>();
    tryOut_ = std::make_unique<FileStreamer>(
        link_, timers_,
        FileStreamer::Events{
            .lineSent = [this](qint64 line, qint64 total,
                               qint64 bytes) { Q_EMIT lineSent(line, total, bytes); },
            .progress = [this](double percent) { view_.showProgress(percent); },
            .failed = [this](const StreamFailure &failure) { view_.appendNote(failure.note); }});
    tryOutTimer_->onTick = [this] {
        tryOutTimer_->setEnabled(false);
        const auto file = FileSnapshot::take(selectedFile_, conversion_);
        if (const QString &why = file->report.error; !why.isEmpty())
            return view_.appendNote(why);
        tryOut_->setPacing(pacing_);
        tryOut_->start(file, FileStreamer::Extent::FirstLineAsIs);
    };

    connect(&link_, &SerialLink::OnComm, this, &ProgrammingSession::onComm);
    connect(&link_, &SerialLink::outputDrained, this, [this] {
        if (run_)
            run_->outputDrained();
        tryOut_->outputDrained();
    });
    connect(&link_, &SerialLink::portLost, this, &ProgrammingSession::onPortLost);
    // Connected before any front end's slot, so that they word their note by what the run did.
    connect(&link_, &SerialLink::portAway, this, &ProgrammingSession::onPortAway);
    // Connected before any front end's slot, so that the probe goes out before they note it.
    connect(&link_, &SerialLink::portBack, this, [this] {
        if (run_)
            run_->portBack();
    });
}

ProgrammingSession::~ProgrammingSession() = default;

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

bool ProgrammingSession::endRun(EndCause cause, const QString &note) {
    // Whatever is pending for the line stops with the run: a try-out line too.
    tryOutTimer_->setEnabled(false);
    tryOut_->abort();
    if (!run_)
        return false;
    run_->finish(cause, note); // comes back through runFinished()
    return true;
}

void ProgrammingSession::runFinished(const RunSummary &run) {
    countdown_ = run_->countdown();
    ended_.push_back(std::move(run_));
    // Deleted once the event loop has it, never under the run's own frames or a report of its end.
    if (ended_.size() == 1)
        QMetaObject::invokeMethod(
            this, [this] { ended_.clear(); }, Qt::QueuedConnection);
    // A prompt or answers that never came may have gone to another program reading the port: it
    // is named, so that the board is not blamed for them.
    RunSummary shown = run;
    if (run.cause == EndCause::NoBootPrompt || run.cause == EndCause::AckTimeout)
        if (const QString others = link_.otherReadersNote(); !others.isEmpty())
            shown.note = shown.note.isEmpty() ? others : shown.note + QLatin1Char('\n') + others;
    if (draining_)
        endInDrain_ = shown;
    else
        reportEnd(shown);
}

void ProgrammingSession::reportEnd(const RunSummary &run) {
    presentEnd(run.cause, run.note);
    Q_EMIT stateChanged(SessionState::Idle);
    Q_EMIT runEnded(run);
}

void ProgrammingSession::presentEnd(EndCause cause, const QString &note) {
    const RunEnd &end = runEnd(cause);
    if (end.stage)
        view_.showStage(*end.stage);
    if (const QString text = end.note(note); !text.isEmpty()) {
        if (end.noteOnTop)
            view_.prependNote(text);
        else
            view_.appendNote(text);
    }
    view_.showStartAction(StartAction::Start);
    switch (end.startButton) {
    case RunEnd::StartButton::Keep:
        break;
    case RunEnd::StartButton::Enable:
        view_.setStartEnabled(true);
        break;
    case RunEnd::StartButton::EnableIfReady:
        view_.setStartEnabled(canStart());
        break;
    case RunEnd::StartButton::OnlyIfReady:
        applyStartRule();
        break;
    }
    if (end.dotTimeoutBox)
        view_.showDotTimeout();
}

void ProgrammingSession::pressStart() {
    // With the port closed or no file, a press only disables the button (and ends what may be
    // left).
    if (running() && canStart())
        cancel();
    else
        start();
}

bool ProgrammingSession::start() {
    return startWith(nullptr, true);
}

bool ProgrammingSession::start(std::shared_ptr<const FileSnapshot> file) {
    return startWith(std::move(file), false);
}

bool ProgrammingSession::startWith(std::shared_ptr<const FileSnapshot> file, bool takenHere) {
    if (!(takenHere ? canStart() : link_.PortOpen() && file)) {
        endRun(EndCause::Aborted);
        view_.setStartEnabled(false);
        return false;
    }
    if (run_)
        return false; // a press while a run is on is a cancel; see cancel()
    endRun(EndCause::Aborted);

    // The file is read and judged now, whole, before the operator restarts the device; the run
    // sends exactly these bytes. Whoever takes the snapshot says what a converted file became.
    if (takenHere)
        file = FileSnapshot::take(selectedFile_, conversion_);
    if (const QString &refusal = file->refusal(); !refusal.isEmpty()) {
        presentEnd(EndCause::FileError, refusal);
        Q_EMIT startRefused(refusal);
        return false;
    }
    if (const QString converted = file->conversionNote(); takenHere && !converted.isEmpty())
        view_.appendNote(converted);

    ProgrammingRun::Settings settings{.file = std::move(file),
                                      .bootTimeoutSeconds = bootTimeoutSeconds_,
                                      .shownCountdown = countdown_,
                                      .pacing = pacing_,
                                      .finalWaitMs = finalWaitMs_,
                                      .boot = bootExpectation_};
    ProgrammingRun::Events events{
        .stateChanged =
            [this](SessionState state) {
                updateFollowing();
                if (state != SessionState::Idle)
                    Q_EMIT stateChanged(state);
            },
        .lineSent =
            [this](qint64 line, qint64 total, qint64 bytes) {
                if (line == 1) // from here on a lost port has lost part of the file
                    updateFollowing();
                Q_EMIT lineSent(line, total, bytes);
            },
        .ended = [this](const RunSummary &run) { runFinished(run); },
    };
    run_ = std::make_unique<ProgrammingRun>(link_, timers_, view_, std::move(settings),
                                            std::move(events));
    run_->begin();
    Q_EMIT runStarted();
    return true;
}

void ProgrammingSession::cancel() {
    endRun(EndCause::Cancelled);
}

void ProgrammingSession::connectionChanged() {
    // With no run to end, the button reads as after one.
    if (!endRun(EndCause::ConnectionChanged))
        presentEnd(EndCause::ConnectionChanged, {});
    countdown_ = 0;
}

void ProgrammingSession::updateFollowing() {
    const bool lineOut =
        run_ && run_->state() != SessionState::Idle && run_->summary().linesSent > 0;
    link_.setFollowPort(!lineOut);
}

void ProgrammingSession::onPortAway() {
    awayBeforeFirstLine_ = run_ && run_->portAway();
}

void ProgrammingSession::onPortLost(const SerialStatus &failure) {
    QString note = failure.ok()
                       ? QStringLiteral("%1: the device disappeared").arg(link_.devicePath())
                       : failure.description();
    // Lost once the file was going out: how far the board got, and what to do.
    if (run_ && (run_->state() == SessionState::WaitFileRequest ||
                 run_->state() == SessionState::SendingFile))
        note += QStringLiteral("; the board got %1 of %2 lines: plug it back in and program it "
                               "again")
                    .arg(run_->linesAnswered())
                    .arg(run_->summary().facts ? run_->summary().facts->lines : 0);
    if (!endRun(EndCause::PortLost, note))
        presentEnd(EndCause::PortLost, note);
    countdown_ = 0;
}

void ProgrammingSession::abort() {
    endRun(EndCause::Aborted);
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
    if (link_.PortError())
        return;
    const int event = link_.commEvent();
    if (event > 1000)
        view_.showCommError(event);

    // Every read is acted on first and then echoed; the echo of one drain goes to the log at once,
    // since nothing else writes to the log while the drain runs.
    QByteArray echoed;
    draining_ = true;
    do {
        if (link_.inBufferCount() > 0) {
            const QByteArray read = link_.input();
            if (read.isEmpty())
                break; // the port closed under us: what is left stays for the next event
            onRead(read);
            echoed += read;
        }
    } while (link_.inBufferCount() != 0);
    draining_ = false;
    if (!echoed.isEmpty())
        view_.appendReceived(echoed);
    if (run_)
        run_->receiveHandled();
    if (endInDrain_)
        reportEnd(*std::exchange(endInDrain_, std::nullopt));
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
