#include "session/FileStreamer.h"

#include "session/Protocol.h"
#include "session/SRecordCheck.h"

#include <QCryptographicHash>
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

namespace {
// The data left once `position` bytes are consumed holds another line only when at least two bytes
// are unread: a last line of a single byte is neither counted nor sent.
bool moreLines(qint64 position, qint64 size) {
    return position + 1 < size;
}

QString whyNotOpened(const QString &path) {
    const QFileInfo info(path);
    if (path.isEmpty())
        return QStringLiteral("no file chosen");
    if (!info.exists())
        return QStringLiteral("no such file");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    if (!info.isReadable())
        return QStringLiteral("permission denied");
    return QStringLiteral("cannot be opened");
}
} // namespace

FileStreamer::FileStreamer(SerialLink &link, TimerFactory &timers, FileOpener opener, Events events)
    : link_(link), opener_(std::move(opener)), events_(std::move(events)),
      pauseTimer_(timers.createTimer(Pacing::PauseStepMs)), stepTimer_(timers.createTimer(0)) {
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

void FileStreamer::arm(Timer &timer, int milliseconds, Wait wait) {
    wait_ = wait;
    timer.setEnabled(false);
    timer.setInterval(milliseconds);
    timer.setEnabled(true);
}

void FileStreamer::start(const QString &path, Extent extent) {
    if (running())
        return;
    path_ = path;
    lineLimit_ = extent == Extent::FirstLineAsIs ? 1 : 0;
    checking_ = checkRecords_ && extent == Extent::WholeFile;

    if (!count())
        return;

    // Sending pass.
    file_ = opener_(path_);
    if (!file_)
        return fail(
            RunResult::FileError,
            QStringLiteral("\r\n%1: cannot read the file (%2)").arg(path_, whyNotOpened(path_)));
    reader_ = std::make_unique<LineReader>(*file_);
    sent_ = 0;
    sendNextLine();
}

bool FileStreamer::count() {
    auto counting = opener_(path_);
    if (!counting) {
        fail(RunResult::FileError,
             QStringLiteral("\r\n%1: cannot read the file (%2)").arg(path_, whyNotOpened(path_)));
        return false;
    }
    total_ = 0;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    FileFacts facts;
    facts.path = path_;
    qint64 refusedLine = 0;
    QString problem;
    // One look at the size: asking the system for it on every line made counting a large file slow
    // enough for the watchdog to fail the run before the first line.
    const qint64 size = counting->size();
    LineReader reader(*counting, &hash);
    QByteArray line;
    while (moreLines(reader.position(), size)) {
        const qint64 before = reader.position();
        if (!reader.readLine(line)) {
            failReading(*counting);
            return false;
        }
        if (reader.position() == before)
            break; // the file shrank under us
        ++total_;
        if (checking_ && !line.isEmpty())
            problem = SRecordCheck::problem(line);
        if (!problem.isEmpty()) {
            refusedLine = total_;
            break;
        }
        if (line.startsWith('S'))
            ++facts.records;
    }
    // The rest the reader left unread (a last byte that is no line, or what follows a refused
    // line) belongs to the digest all the same.
    char chunk[16 * 1024];
    for (qint64 got; (got = counting->read(chunk, sizeof chunk)) != 0;) {
        if (got < 0) {
            failReading(*counting);
            return false;
        }
        hash.addData(QByteArrayView(chunk, got));
    }
    facts.size = counting->pos();
    facts.sha256 = hash.result();
    facts.lines = refusedLine > 0 ? refusedLine - 1 : total_;
    facts.complete = refusedLine == 0;
    if (events_.counted)
        events_.counted(facts);
    if (refusedLine > 0) {
        refuse(refusedLine, problem);
        return false;
    }
    return true;
}

void FileStreamer::sendNextLine() {
    wait_ = Wait::None;
    if ((lineLimit_ > 0 && sent_ >= lineLimit_) || !moreLines(reader_->position(), file_->size()))
        return stop();
    const qint64 before = reader_->position();
    if (!reader_->readLine(line_))
        return failReading(*file_);
    if (reader_->position() == before)
        return stop();
    if (refused(line_, sent_ + 1))
        return;
    // A port that failed to open or close under the transfer takes nothing more.
    if (link_.PortError)
        return stop();

    static const QByteArray lineEnd(1, Protocol::LineEnd);
    for (const QByteArray *part : {static_cast<const QByteArray *>(&line_), &lineEnd})
        if (const SerialStatus written = link_.Output(*part); !written)
            return fail(RunResult::PortError, QStringLiteral("\r\n") + written.description());
    ++sent_;
    const qint64 bytes = line_.size() + 1;
    line_.clear();
    if (events_.lineSent)
        events_.lineSent(sent_, total_, bytes);
    if (!running())
        return; // the owner stopped the transfer from its callback

    // The pause counts from when the line has reached the operating system, so that lines never
    // pile up in our own buffer on a slow line.
    wait_ = Wait::Drain;
    if (link_.control().bytesToWrite() == 0)
        startPause();
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
            return finishLine();
        }
        return arm(*pauseTimer_, pacing_.milliseconds, Wait::Ack);
    case Pacing::Mode::FixedPause:
        return arm(*pauseTimer_, pacing_.milliseconds, Wait::Pause);
    case Pacing::Mode::NoPause:
        return finishLine();
    }
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
        pauseTimer_->setEnabled(false);
        continueAfterLine();
    }
}

void FileStreamer::finishLine() {
    if (wait_ == Wait::Ack && acked_)
        acked_ = false;
    wait_ = Wait::None;
    // A file that grew after it was counted must not show more than 100%.
    const double total = static_cast<double>(std::max(total_, sent_));
    const double percent = std::floor(static_cast<double>(sent_) * 1000.0 / total) / 10.0;
    if (events_.progress)
        events_.progress(percent);
    if (!running())
        return;
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

void FileStreamer::fail(RunResult result, const QString &note) {
    stop();
    if (events_.failed)
        events_.failed({result, note});
}

void FileStreamer::failReading(const QIODevice &file) {
    fail(RunResult::FileError,
         QStringLiteral("\r\n%1: cannot read the file (%2)").arg(path_, file.errorString()));
}

bool FileStreamer::refused(const QByteArray &line, qint64 number) {
    // A blank line goes out as a bare line feed, which a device skips.
    if (!checking_ || line.isEmpty())
        return false;
    const QString problem = SRecordCheck::problem(line);
    if (problem.isEmpty())
        return false;
    refuse(number, problem);
    return true;
}

void FileStreamer::refuse(qint64 number, const QString &problem) {
    fail(RunResult::FileError,
         QStringLiteral("\r\nFile refused: line %1 is not a valid S-record (%2) in %3")
             .arg(number)
             .arg(problem, path_));
}
