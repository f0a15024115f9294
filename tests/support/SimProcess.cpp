#include "SimProcess.h"

#include "Wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonDocument>

SimProcess::SimProcess() = default;

SimProcess::~SimProcess() {
    stop(1000);
}

QString SimProcess::executablePath() {
    return QStringLiteral(PELLORA_SIM_PATH);
}

QString SimProcess::tempPath(const QString &name) const {
    return dir_.filePath(name);
}

bool SimProcess::start(const QStringList &arguments, int timeoutMs) {
    if (process_) {
        error_ = QStringLiteral("already started");
        return false;
    }
    if (!dir_.isValid()) {
        error_ = QStringLiteral("no temporary folder: ") + dir_.errorString();
        return false;
    }
    QStringList args = arguments;
    auto pathOption = [&args](const QString &option, const QString &fallback) {
        const qsizetype at = args.lastIndexOf(option);
        if (at >= 0 && at + 1 < args.size())
            return args.at(at + 1);
        args << option << fallback;
        return fallback;
    };
    summaryPath_ =
        pathOption(QStringLiteral("--summary"), tempPath(QStringLiteral("summary.json")));
    imagePath_ = pathOption(QStringLiteral("--image"), tempPath(QStringLiteral("image.bin")));
    keepLog_ = args.contains(QStringLiteral("--verbose"));

    process_ = std::make_unique<QProcess>();
    if (!keepLog_)
        process_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_->start(executablePath(), args);
    if (!process_->waitForStarted(timeoutMs)) {
        error_ =
            QStringLiteral("cannot start %1: %2").arg(executablePath(), process_->errorString());
        return false;
    }
    // The first line names the line: "PTY <slave>", "SOCKET <path>" or "TTY <path>".
    const std::optional<QByteArray> line = waitForLine("", timeoutMs);
    if (!line ||
        !(line->startsWith("PTY ") || line->startsWith("SOCKET ") || line->startsWith("TTY "))) {
        error_ = QStringLiteral("no line named by the simulator: ") + log();
        return false;
    }
    if (line->startsWith("PTY "))
        slavePath_ = QString::fromLocal8Bit(line->mid(4));
    return true;
}

void SimProcess::collectOutput() {
    if (!process_)
        return;
    partial_ += process_->readAllStandardOutput();
    qsizetype end;
    while ((end = partial_.indexOf('\n')) >= 0) {
        lines_.append(partial_.left(end));
        partial_.remove(0, end + 1);
    }
    if (keepLog_)
        log_ += process_->readAllStandardError();
}

std::optional<QByteArray> SimProcess::waitForLine(QByteArrayView prefix, int timeoutMs) {
    return waitForNthLine(prefix, 1, timeoutMs);
}

std::optional<QByteArray> SimProcess::waitForNthLine(QByteArrayView prefix, int n, int timeoutMs) {
    qsizetype searched = 0;
    int matches = 0;
    std::optional<QByteArray> found;
    const auto seen = [&] {
        collectOutput();
        for (; searched < lines_.size(); ++searched) {
            if (lines_.at(searched).startsWith(prefix) && ++matches == n) {
                found = lines_.at(searched);
                return true;
            }
        }
        return false;
    };
    if (!process_)
        return std::nullopt;
    if (QCoreApplication::instance()) {
        waitUntil(
            [&] {
                if (seen())
                    return true;
                if (isRunning())
                    return false;
                seen(); // what the process wrote before it ended
                return true;
            },
            timeoutMs);
    } else {
        // Without an event loop only QProcess's own waits move data into its buffers.
        QDeadlineTimer deadline(timeoutMs);
        while (!seen() && isRunning() && !deadline.hasExpired())
            process_->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    }
    return found;
}

std::optional<QString> SimProcess::waitForPlug(int replug, int timeoutMs) {
    constexpr QByteArrayView Prefix = "PLUGGED ";
    const std::optional<QByteArray> line = waitForNthLine(Prefix, replug, timeoutMs);
    if (!line)
        return std::nullopt;
    return QString::fromLocal8Bit(line->mid(Prefix.size()));
}

std::optional<int> SimProcess::waitForFirstProbeAfterPlug(int n, int timeoutMs) {
    constexpr QByteArrayView Prefix = "FIRST_PROBE_AFTER_PLUG_MS ";
    const std::optional<QByteArray> line = waitForNthLine(Prefix, n, timeoutMs);
    bool ok = false;
    const int ms = line ? line->mid(Prefix.size()).toInt(&ok) : 0;
    return ok ? std::optional{ms} : std::nullopt;
}

bool SimProcess::waitForRuns(int runs, int timeoutMs) {
    return waitForLine(QByteArray("SUMMARY runs=") + QByteArray::number(runs) + ' ', timeoutMs)
        .has_value();
}

int SimProcess::completedRuns() {
    int runs = 0;
    for (const QByteArray &line : outputLines())
        if (line.startsWith("SUMMARY runs="))
            ++runs;
    return runs;
}

QByteArrayList SimProcess::outputLines() {
    collectOutput();
    return lines_;
}

std::optional<QJsonObject> SimProcess::summary() const {
    QFile file(summaryPath_);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    if (!document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<QByteArray> SimProcess::image() const {
    QFile file(imagePath_);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

int SimProcess::badLines() {
    collectOutput();
    return static_cast<int>(log_.count(": bad ("));
}

int SimProcess::linesReceived() {
    collectOutput();
    int lines = 0;
    for (const QByteArray &line : log_.split('\n'))
        if (line.startsWith("sim: line ") && !line.contains("not answered"))
            ++lines;
    return lines;
}

QString SimProcess::log() {
    collectOutput();
    return QString::fromLocal8Bit(log_.right(4000));
}

bool SimProcess::isRunning() const {
    return process_ && process_->state() != QProcess::NotRunning;
}

bool SimProcess::waitForExit(int timeoutMs) {
    if (!process_)
        return true;
    const bool exited = QCoreApplication::instance()
                            ? waitUntil([this] { return !isRunning(); }, timeoutMs)
                            : waitForEnd(*process_, timeoutMs);
    collectOutput();
    return exited;
}

int SimProcess::exitCode() const {
    if (isRunning() || !process_ || process_->exitStatus() != QProcess::NormalExit)
        return -1;
    return process_->exitCode();
}

bool SimProcess::stop(int timeoutMs) {
    if (!process_)
        return false;
    if (isRunning()) {
        process_->terminate();
        if (!waitForEnd(*process_, timeoutMs)) {
            process_->kill();
            waitForEnd(*process_, timeoutMs);
            collectOutput();
            return false;
        }
    }
    collectOutput();
    return exitCode() == 0;
}
