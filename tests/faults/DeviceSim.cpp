#include "DeviceSim.h"

#include "SimProcess.h"
#include "TestPty.h"

#include <QFile>

DeviceSim::~DeviceSim() {
    stop();
}

bool DeviceSim::start(const QString &link, const QStringList &arguments) {
    QStringList args = arguments;
    args << QStringLiteral("--verbose") << QStringLiteral("--link") << link
         << QStringLiteral("--image") << dir_.filePath(QStringLiteral("image.bin"))
         << QStringLiteral("--summary") << dir_.filePath(QStringLiteral("summary.json"));
    process_.start(SimProcess::executablePath(), args);
    if (!process_.waitForStarted(5000)) {
        error_ = process_.errorString();
        return false;
    }
    const bool up = waitUntil(
        [this] {
            collect();
            return out_.startsWith("PTY ") && out_.contains('\n');
        },
        5000);
    if (!up) {
        error_ = QStringLiteral("no PTY line: ") + log();
        return false;
    }
    slavePath_ = QString::fromLocal8Bit(out_.mid(4, out_.indexOf('\n') - 4));
    return true;
}

void DeviceSim::collect() {
    out_ += process_.readAllStandardOutput();
    err_ += process_.readAllStandardError();
}

int DeviceSim::badLines() {
    collect();
    return static_cast<int>(err_.count(": bad ("));
}

int DeviceSim::linesReceived() {
    collect();
    int lines = 0;
    for (const QByteArray &line : err_.split('\n'))
        if (line.startsWith("sim: line ") && !line.contains("not answered"))
            ++lines;
    return lines;
}

int DeviceSim::completedRuns() {
    collect();
    return static_cast<int>(out_.count("SUMMARY runs="));
}

bool DeviceSim::waitForRuns(int runs, int timeoutMs) {
    const QByteArray report = "SUMMARY runs=" + QByteArray::number(runs) + ' ';
    return waitUntil(
        [&] {
            collect();
            return out_.contains(report);
        },
        timeoutMs);
}

std::optional<QByteArray> DeviceSim::image() const {
    QFile file(dir_.filePath(QStringLiteral("image.bin")));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return file.readAll();
}

bool DeviceSim::waitForExit(int timeoutMs) {
    const bool exited = waitUntil([this] { return !running(); }, timeoutMs);
    collect();
    return exited;
}

int DeviceSim::exitCode() const {
    if (running() || process_.exitStatus() != QProcess::NormalExit)
        return -1;
    return process_.exitCode();
}

void DeviceSim::stop() {
    if (running()) {
        process_.terminate();
        if (!process_.waitForFinished(3000)) {
            process_.kill();
            process_.waitForFinished(3000);
        }
    }
    collect();
}

QString DeviceSim::log() {
    collect();
    return QString::fromLocal8Bit(err_.right(4000));
}
