#include "cli/BoardRun.h"

#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/Report.h"
#include "serial/PortDiagnosis.h"
#include "session/RunEnd.h"

#include <QFileInfo>

namespace {

const FrontEndWords CommandLineWords{
    .chooseDevice = QStringLiteral("Name one with --device PATH; tarnix-pellora-cli --list-ports "
                                   "shows them and the port map."),
    .tryAgain = QStringLiteral("run the command again")};

// A note as one line of plain text, for a table row and a JSON field.
QString plainText(const QString &note) {
    return note.simplified();
}

// Ctrl-C ends a run without a word in the session's table of ends: the operator made it.
const QString Interrupted = QStringLiteral("interrupted: nothing more was sent");

// Why a run failed, in a line: the note its end shows (the run's own, or the end's fixed words),
// else the end's summary. For a programmed board, why it is not proven to boot, else nothing.
QString failureNote(const RunSummary &run, int exitCode) {
    if (run.result == RunResult::Programmed) {
        if (exitCode != ExitCode::NotProvenToBoot)
            return {};
        return plainText(run.boot && !run.boot->booted() ? run.boot->note()
                                                         : run.warnings.join(QLatin1Char(' ')));
    }
    const RunEnd &end = runEnd(run.cause);
    QString note = plainText(end.note(run.note));
    if (note.isEmpty() && end.summary)
        note = QString::fromUtf8(end.summary);
    return note.isEmpty() ? Interrupted : note;
}

} // namespace

BoardRun::BoardRun(int board, int number, const BoardTarget &target, const RunSettings &settings,
                   Console &console, TimerFactory &timers, SerialLink &link, QObject *parent)
    : QObject(parent), console_(console), target_(target), settings_(settings), link_(link),
      view_(console, board), session_(link_, timers, view_), quiet_(timers.createTimer(QuietMs)),
      lastWordsLimit_(timers.createTimer(LastWordsLimitMs)) {
    result_.board = board;
    result_.number = number;
    result_.started = QDateTime::currentDateTimeUtc();
    result_.file = QFileInfo(settings.file).absoluteFilePath();
    result_.portNumber = target.portNumber;
    result_.device = target.device;

    connect(&session_, &ProgrammingSession::runEnded, this, &BoardRun::onRunEnded);
    connect(&session_, &ProgrammingSession::lineSent, this, &BoardRun::onLineSent);

    quiet_->onTick = [this] { finish(); };
    lastWordsLimit_->onTick = [this] { finish(); };
    view_.onReceived = [this] {
        if (!ending_)
            return;
        quiet_->setEnabled(false);
        quiet_->setEnabled(true);
    };
    // A board whose port goes with its power: followed outside a transfer, as in the window.
    connect(&link_, &SerialLink::portAway, this, [this, board] {
        console_.message(board, portAwayNote(link_.devicePath(), CommandLineWords, !advised_,
                                             session_.awayBeforeFirstLine()));
        advised_ = true;
    });
    connect(&link_, &SerialLink::portBack, this, [this, board] {
        noteAdapter();
        console_.message(board, portBackNote(link_.devicePath()));
        noticeDue_ = true;
        noteNoticeWhenFree();
    });
    connect(&session_, &ProgrammingSession::stateChanged, this, &BoardRun::noteNoticeWhenFree);
    connect(&link_, &SerialLink::portLost, this, [this, board](const SerialStatus &failure) {
        if (!failure.ok())
            console_.message(board, ::openFailureNote(failure, target_.portNumber,
                                                      link_.devicePath(), CommandLineWords, {}));
    });
}

void BoardRun::noteNoticeWhenFree() {
    // As in the window: the look for other programs on the port waits until no board is probed.
    if (!noticeDue_ || session_.state() == SessionState::WaitBootPrompt)
        return;
    noticeDue_ = false;
    if (const QString notice = link_.takeNotice(); !notice.isEmpty())
        console_.message(result_.board, notice);
}

BoardRun::~BoardRun() {
    view_.setLog(nullptr);
    if (!settings_.keepPortFollowed)
        (void)link_.disconnectPort();
}

QString BoardRun::label() const {
    return target_.device;
}

bool BoardRun::openLog(const QString &path) {
    if (path.isEmpty())
        return true;
    log_.setFileName(path);
    // Unbuffered: what the device said is on disk even if this process is killed.
    if (!log_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        fail(ExitCode::FileError,
             QStringLiteral("%1: cannot write the log: %2").arg(path, log_.errorString()));
        return false;
    }
    view_.setLog(&log_);
    return true;
}

void BoardRun::noteAdapter() {
    if (auto adapter = adapterIdentity(link_.devicePath()))
        result_.adapter = std::move(adapter);
}

bool BoardRun::openPort() {
    // Left open and followed by the last round: the board is there, or waited for.
    if (link_.PortOpen() && !link_.PortError()) {
        result_.device = link_.devicePath();
        noteAdapter();
        return true;
    }
    // As the window's Connect.
    const SerialStatus opened = settings_.waitForDevice
                                    ? link_.connectPortOrWait(target_.portNumber)
                                    : link_.connectPort(target_.portNumber);
    if (!opened) {
        const QList<SerialDevice> present =
            opened.kind() == PortFailure::NotFound ? listSerialDevices() : QList<SerialDevice>();
        openFailureNote_ = ::openFailureNote(opened, target_.portNumber, link_.devicePath(),
                                             CommandLineWords, present);
        fail(ExitCode::PortError, opened.description());
        return false;
    }
    result_.device = link_.devicePath();
    noteAdapter();
    notice_ = link_.takeNotice();
    return true;
}

void BoardRun::takeFile(const FileSnapshot &file) {
    if (!file.report.error.isEmpty())
        return;
    result_.format = firmware::formatWord(file.source.format);
    result_.sha256 = QString::fromLatin1(file.source.sha256.toHex());
    if (file.refusal().isEmpty()) {
        result_.sentSha256 = QString::fromLatin1(file.report.sha256.toHex());
        result_.linesTotal = file.report.lines;
    }
}

SerialStatus BoardRun::start(const std::shared_ptr<const FileSnapshot> &file) {
    started_ = true;
    session_.setBootTimeout(settings_.bootTimeoutSeconds);
    session_.setPacing(Pacing::fromSpeedIndex(settings_.speedIndex));
    session_.setFinalWait(settings_.finalWaitSeconds);
    session_.setBootExpectation(settings_.boot);
    if (!session_.start(file)) {
        // The round refuses a file before any board starts: a refusal here is the port's.
        const QString &refusal = file->refusal();
        fail(refusal.isEmpty() ? ExitCode::PortError : ExitCode::FileError,
             refusal.isEmpty() ? QStringLiteral("%1: the port is not open").arg(link_.devicePath())
                               : refusal);
        return {};
    }
    if (settings_.reset == ResetLine::None)
        return {};
    // The probes are already going out when the board comes out of reset.
    return link_.pulseModemLine(settings_.reset == ResetLine::Dtr ? SerialControl::ModemLine::Dtr
                                                                  : SerialControl::ModemLine::Rts,
                                ResetPulseMs);
}

void BoardRun::takeSerial(NumberStore &store, const NumberStore::Reservation &reservation,
                          const firmware::SerialLayout &layout) {
    serialStore_ = &store;
    serial_ = reservation;
    result_.serial = reservation.text;
    result_.serialAddress = layout.addressText();
}

void BoardRun::settleSerial(bool programmed) {
    if (!serial_)
        return;
    const NumberStore::Reservation reservation = *std::exchange(serial_, std::nullopt);
    const QString error =
        programmed ? serialStore_->commit(reservation) : serialStore_->release(reservation);
    result_.serialCommitted = programmed;
    if (!error.isEmpty())
        console_.message(result_.board,
                         programmed ? QStringLiteral("warning: serial %1 is in the board but "
                                                     "could not be recorded (%2): it stays held, "
                                                     "and no other board gets it")
                                          .arg(reservation.text, error)
                                    : QStringLiteral("warning: serial %1 could not be given back "
                                                     "(%2): it stays held; correct the file by "
                                                     "hand to give it to another board")
                                          .arg(reservation.text, error));
}

void BoardRun::fail(int exitCode, const QString &error) {
    if (done_)
        return;
    result_.exitCode = exitCode;
    result_.result = resultName(exitCode);
    result_.error = plainText(error);
    finish();
}

void BoardRun::onLineSent(qint64 line, qint64 total, qint64) {
    console_.lineSent(result_.board, line, total);
}

void BoardRun::onRunEnded(const RunSummary &run) {
    // The image went in: the number is the board's, whatever else the run finds.
    settleSerial(run.result == RunResult::Programmed);
    // The table, the JSON and the history tell the same numbers: the run's own.
    result_.exitCode = ExitCode::forResult(run.result);
    // The image went in; the proof that it runs is apart.
    if (run.result == RunResult::Programmed &&
        ((run.boot && !run.boot->booted()) || (settings_.strict && !run.warnings.isEmpty())))
        result_.exitCode = ExitCode::NotProvenToBoot;
    result_.result = toString(run.result);
    result_.boot = run.boot;
    result_.warnings = run.warnings;
    result_.error = failureNote(run, result_.exitCode);
    result_.lines = run.linesSent;
    result_.bytes = run.bytesSent;
    if (run.facts) {
        result_.linesTotal = run.facts->lines;
        result_.sha256 = QString::fromLatin1(run.facts->sha256.toHex());
        result_.sentSha256 = QString::fromLatin1(run.facts->sentSha256.toHex());
    }
    result_.started = run.started;
    result_.ended = run.ended;
    result_.seconds = run.seconds();
    recordRun(run);
    console_.boardEnded(result_.board);
    if (interrupted_)
        return; // interrupt() closes at once
    // What went wrong (a lost device, an unreadable or refused file) the session has noted already.
    // Out of the session's own call: it may still be inside its receive handler or a timer tick.
    QMetaObject::invokeMethod(
        this,
        [this] {
            session_.abort();
            waitForLastWords();
        },
        Qt::QueuedConnection);
}

void BoardRun::recordRun(const RunSummary &run) {
    if (!settings_.history && !settings_.journal)
        return;
    const RunOrigin origin{.program = QStringLiteral("tarnix-pellora-cli"),
                           .version = QStringLiteral(PELLORA_VERSION),
                           .device = result_.device,
                           .portNumber = result_.portNumber,
                           .exitCode = result_.exitCode,
                           .board = result_.number,
                           .serial = result_.serial,
                           .serialAddress = result_.serialAddress,
                           .adapter = result_.adapter};
    const QJsonObject line = historyLine(run, origin);
    // Once per history and journal, however many boards share them.
    if (settings_.history) {
        settings_.history->append(line);
        if (const QString warning = settings_.history->takeWarning(); !warning.isEmpty())
            console_.message(
                QStringLiteral("warning: the run history cannot be written: %1").arg(warning));
    }
    // The same run for a fleet's collector, where the host keeps a journal.
    if (settings_.journal) {
        settings_.journal->record(line);
        if (const QString warning = settings_.journal->takeWarning(); !warning.isEmpty())
            console_.message(
                QStringLiteral("warning: the system journal takes no entry: %1").arg(warning));
    }
}

void BoardRun::waitForLastWords() {
    if (done_)
        return;
    if (!link_.PortOpen())
        return finish();
    ending_ = true;
    quiet_->setEnabled(true);
    lastWordsLimit_->setEnabled(true);
}

void BoardRun::interrupt() {
    if (done_)
        return;
    interrupted_ = true;
    // A running run ends Cancelled here, which is exit status 130; one that already ended keeps its
    // result.
    session_.abort();
    if (!started_) {
        result_.exitCode = ExitCode::Interrupted;
        result_.error = Interrupted;
    }
    // Closed at once, also a port a station would have kept for the next board.
    (void)link_.disconnectPort();
    finish();
}

void BoardRun::finish() {
    if (done_)
        return;
    done_ = true;
    settleSerial(false); // a board that never ran gives its number back
    ending_ = false;
    // A board that never ran ends here; one that ran keeps its run's times.
    if (!result_.ended.isValid()) {
        result_.ended = QDateTime::currentDateTimeUtc();
        result_.seconds = static_cast<double>(result_.started.msecsTo(result_.ended)) / 1000.0;
    }
    quiet_->setEnabled(false);
    lastWordsLimit_->setEnabled(false);
    if (!settings_.keepPortFollowed)
        (void)link_.disconnectPort();
    view_.setLog(nullptr);
    log_.close();
    console_.boardEnded(result_.board);
    Q_EMIT finished();
}
