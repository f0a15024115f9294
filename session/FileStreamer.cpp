#include "session/FileStreamer.h"

#include "session/Protocol.h"

#include <algorithm>
#include <cmath>

FileStreamer::FileStreamer(SerialLink &link, TimerFactory &timers, Events events)
    : link_(link), events_(std::move(events)), pauseTimer_(timers.createTimer(Pacing::PauseStepMs)),
      stepTimer_(timers.createTimer(0)), ackWait_(timers, Pacing::AckWaitLimitMs) {
    // Both are one-shots; the tick says what the transfer was waiting for.
    pauseTimer_->onTick = [this] {
        pauseTimer_->setEnabled(false);
        if (wait_ == Wait::Pause)
            continueAfterLine();
    };
    ackWait_.onExpiry = [this] {
        if (wait_ == Wait::Ack)
            continueAfterLine();
    };
    stepTimer_->onTick = [this] {
        stepTimer_->setEnabled(false);
        if (wait_ == Wait::NextLine)
            sendNextLine();
    };
}

FileStreamer::~FileStreamer() = default;

void FileStreamer::arm(Timer &timer, int milliseconds, Wait wait) {
    wait_ = wait;
    timer.setEnabled(false);
    timer.setInterval(milliseconds);
    timer.setEnabled(true);
}

void FileStreamer::start(std::shared_ptr<const FileSnapshot> snapshot, Extent extent) {
    if (running() || !snapshot)
        return;
    snapshot_ = std::move(snapshot);
    lines_.emplace(snapshot_->lines());
    total_ = snapshot_->report.lines;
    lineLimit_ = extent == Extent::FirstLineAsIs ? std::min<qint64>(total_, 1) : total_;
    sent_ = 0;
    sendNextLine();
}

void FileStreamer::sendNextLine() {
    wait_ = Wait::None;
    if (sent_ >= lineLimit_)
        return stop();
    const std::optional<QByteArrayView> line = lines_->next();
    if (!line) // cannot happen: the report counted these lines in these bytes
        return fail(RunResult::FileError, QStringLiteral("%1: the file ended before line %2")
                                              .arg(snapshot_->path)
                                              .arg(sent_ + 1));
    // A port that failed to open or close under the transfer takes nothing more.
    if (link_.PortError())
        return stop();

    if (const SerialStatus written = link_.Output(withLineEnd(*line)); !written)
        return fail(RunResult::PortError, written.description());
    ++sent_;
    if (events_.lineSent)
        events_.lineSent(sent_, total_, line->size() + 1);
    if (!running())
        return; // the owner stopped the transfer from its callback

    // The pause counts from when the line has reached the operating system, so that lines never
    // pile up in our own buffer on a slow line.
    wait_ = Wait::Drain;
    if (link_.bytesToWrite() == 0)
        startPause();
}

QByteArray FileStreamer::withLineEnd(QByteArrayView line) {
    // The line and its line feed in one write, so that the device is woken once per line, not a
    // second time for its end. The snapshot outlives the write: where its own line feed follows
    // the line, the line is handed over as it lies there; a line ended otherwise (CR LF, or not at
    // all) is joined to its line feed in a buffer of its own.
    const QByteArray &file = snapshot_->bytes;
    const qsizetype end = line.data() - file.constData() + line.size();
    if (end < file.size() && file.at(end) == Protocol::LineEnd)
        return QByteArray::fromRawData(line.data(), line.size() + 1);
    joined_.resize(line.size() + 1);
    std::copy(line.begin(), line.end(), joined_.begin());
    joined_[line.size()] = Protocol::LineEnd;
    return joined_;
}

void FileStreamer::outputDrained() {
    if (wait_ == Wait::Drain)
        startPause();
}

void FileStreamer::startPause() {
    switch (pacing_.mode) {
    case Pacing::Mode::AwaitAck:
        if (acked_) {
            acked_ = false;
            return stepToNextLine();
        }
        wait_ = Wait::Ack;
        ackWait_.setLimit(pacing_.milliseconds);
        return ackWait_.start();
    case Pacing::Mode::FixedPause:
        return arm(*pauseTimer_, pacing_.milliseconds, Wait::Pause);
    case Pacing::Mode::NoPause:
        return stepToNextLine();
    }
}

void FileStreamer::stepToNextLine() {
    // Called from sendNextLine(): the next line goes out from the event loop, one step later.
    if (finishLine())
        arm(*stepTimer_, 0, Wait::NextLine);
}

void FileStreamer::lineAcknowledged() {
    acked_ = true;
    // Continue once the receive handler has drained the port, not from inside the drain.
    if (wait_ == Wait::Ack)
        ackedInDrain_ = true;
}

void FileStreamer::receiveHandled() {
    if (!ackedInDrain_)
        return;
    ackedInDrain_ = false;
    if (wait_ == Wait::Ack) {
        ackWait_.met();
        continueAfterLine();
    }
}

bool FileStreamer::finishLine() {
    if (wait_ == Wait::Ack && acked_)
        acked_ = false;
    wait_ = Wait::None;
    const double percent =
        std::floor(static_cast<double>(sent_) * 1000.0 / static_cast<double>(total_)) / 10.0;
    if (events_.progress)
        events_.progress(percent);
    return running();
}

void FileStreamer::continueAfterLine() {
    // Called straight from the event loop (a tick, the end of a receive), never from
    // sendNextLine(): the next line goes out in this pass, not one more step later.
    if (finishLine())
        sendNextLine();
}

void FileStreamer::stop() {
    wait_ = Wait::None;
    ackedInDrain_ = false;
    pauseTimer_->setEnabled(false);
    stepTimer_->setEnabled(false);
    ackWait_.stop();
    lines_.reset();
    snapshot_.reset();
}

void FileStreamer::fail(RunResult result, const QString &note) {
    stop();
    if (events_.failed)
        events_.failed({result, note});
}
