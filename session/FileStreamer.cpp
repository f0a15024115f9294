#include "session/FileStreamer.h"

#include "session/ProgrammingSession.h"
#include "session/Protocol.h"
#include "session/SRecordCheck.h"

#include <QFile>
#include <QFileInfo>
#include <cmath>

std::unique_ptr<QIODevice> openFileForReading(const QString &path) {
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        return nullptr;
    return file;
}

FileStreamer::FileStreamer(ProgrammingSession &session, TimerFactory &timers, FileOpener opener)
    : session_(session), opener_(std::move(opener)), pauseTimer_(timers.createTimer(PauseStepMs)),
      stepTimer_(timers.createTimer(0)) {
    // Both are one-shots; the tick says what the transfer was waiting for.
    pauseTimer_->onTick = [this] {
        pauseTimer_->setEnabled(false);
        if (wait_ == Wait::Pause || wait_ == Wait::Ack)
            continueAfterLine();
    };
    stepTimer_->onTick = [this] {
        stepTimer_->setEnabled(false);
        if (wait_ == Wait::NextLine)
            sendNextLine();
    };
}

FileStreamer::~FileStreamer() = default;

namespace {
// The data left once `position` bytes are consumed holds another line only when at least two bytes
// are unread: a last line of a single byte is neither counted nor sent.
bool moreLines(qint64 position, qint64 size) { return position + 1 < size; }
} // namespace

void FileStreamer::arm(Timer &timer, int milliseconds, Wait wait) {
    wait_ = wait;
    timer.setEnabled(false);
    timer.setInterval(milliseconds);
    timer.setEnabled(true);
}

void FileStreamer::TimerSendFile_Timer() {
    session_.timer(SessionTimer::SendFile).setEnabled(false);
    // A second arming while a transfer runs would interleave two files on the line.
    if (running())
        return;
    startedInIdle_ = session_.state() == SessionState::Idle;
    checking_ = checkRecords_ && !(byHand_ && startedInIdle_);
    byHand_ = false;

    // Counting pass.
    auto counting = opener_(session_.SelectedFile);
    if (!counting)
        return failed();
    total_ = 0;
    {
        // One look at the size: asking the system for it on every line made counting a large file
        // slow enough for the watchdog to fail the run before the first line.
        const qint64 size = counting->size();
        LineReader reader(*counting);
        QByteArray line;
        while (moreLines(reader.position(), size)) {
            const qint64 before = reader.position();
            if (!reader.readLine(line))
                return failed();
            if (reader.position() == before)
                break; // the file shrank under us
            ++total_;
            if (refused(line, total_))
                return failed();
        }
    }
    counting.reset();

    // Sending pass.
    file_ = opener_(session_.SelectedFile);
    if (!file_)
        return failed();
    reader_ = std::make_unique<LineReader>(*file_);
    sent_ = 0;
    sendNextLine();
}

void FileStreamer::sendNextLine() {
    wait_ = Wait::None;
    if (!moreLines(reader_->position(), file_->size()))
        return stop();
    const qint64 before = reader_->position();
    ++sent_;
    if (!reader_->readLine(line_))
        return failed();
    if (reader_->position() == before)
        return stop();
    if (refused(line_, sent_)) {
        --sent_;
        return failed();
    }

    SerialLink &link = session_.link();
    if (link.PortError)
        return stop();
    static const QByteArray lineEnd(1, Protocol::LineEnd);
    if (!link.Output(line_) || !link.Output(lineEnd))
        return failed();
    session_.reportLineSent(sent_, total_, line_.size() + 1);
    line_.clear();

    // The pause counts from when the line has reached the operating system, so that lines never pile
    // up in our own buffer on a slow line.
    wait_ = Wait::Drain;
    if (link.control().bytesToWrite() == 0)
        startPause();
}

void FileStreamer::outputDrained() {
    if (wait_ == Wait::Drain)
        startPause();
}

void FileStreamer::startPause() {
    const int index = session_.view().speedIndex();
    if (index == AutoSpeedIndex) {
        if (session_.LineAcked) {
            session_.LineAcked = false;
            return finishLine();
        }
        return arm(*pauseTimer_, AutoWaitLimitMs, Wait::Ack);
    }
    if (index >= 0)
        return arm(*pauseTimer_, (index + 1) * PauseStepMs, Wait::Pause);
    finishLine();
}

void FileStreamer::lineAcknowledged() {
    // Continue once the receive handler has drained the port, not from inside the drain.
    if (wait_ == Wait::Ack)
        ackedInDrain_ = true;
}

void FileStreamer::receiveHandled() {
    if (!ackedInDrain_)
        return;
    ackedInDrain_ = false;
    if (wait_ == Wait::Ack) {
        pauseTimer_->setEnabled(false);
        continueAfterLine();
    }
}

void FileStreamer::finishLine() {
    if (wait_ == Wait::Ack && session_.LineAcked)
        session_.LineAcked = false;
    wait_ = Wait::None;
    // A file that grew after it was counted must not show more than 100%.
    const double total = static_cast<double>(std::max(total_, sent_));
    session_.Progress = std::floor(static_cast<double>(sent_) * 1000.0 / total) / 10.0;
    if (session_.state() == SessionState::Idle) {
        // A run ended while this line was out (programmed, watchdog, cancel): its end status stays in
        // the caption. A transfer started by hand while idle shows its one line's progress.
        if (startedInIdle_)
            session_.showProgress();
        return failed();
    }
    session_.showProgress();
    arm(*stepTimer_, 0, Wait::NextLine);
}

void FileStreamer::continueAfterLine() {
    finishLine();
    // Called straight from the event loop (a tick, the end of a receive), never from
    // sendNextLine(): the next line goes out in this pass, not one more step later.
    if (wait_ == Wait::NextLine) {
        stepTimer_->setEnabled(false);
        sendNextLine();
    }
}

void FileStreamer::stop() {
    wait_ = Wait::None;
    ackedInDrain_ = false;
    pauseTimer_->setEnabled(false);
    stepTimer_->setEnabled(false);
    reader_.reset();
    file_.reset();
    line_.clear();
}

void FileStreamer::failed() {
    stop();
    session_.streamerFailed();
}

void FileStreamer::abort() {
    byHand_ = false;
    stop();
}

bool FileStreamer::refused(const QByteArray &line, qint64 number) {
    // A blank line goes out as a bare line feed, which a device skips.
    if (!checking_ || line.isEmpty())
        return false;
    const QString problem = SRecordCheck::problem(line);
    if (problem.isEmpty())
        return false;
    session_.view().appendNote(
        QStringLiteral("\r\nFile refused: line %1 is not a valid S-record (%2)")
            .arg(number)
            .arg(problem));
    return true;
}
