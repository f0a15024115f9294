#include "SessionRig.h"

#include "SRecordWriter.h"

#include <QFile>

SessionRig::SessionRig() {
    control.setInputLen(1);
    control.setRThreshold(1);
    (void)control.setPortOpen(true);
    session = std::make_unique<ProgrammingSession>(link, clock, view);
    QObject::connect(session.get(), &ProgrammingSession::runEnded,
                     [this](const RunSummary &run) { ends << run; });
    QObject::connect(session.get(), &ProgrammingSession::startRefused,
                     [this](const QString &note) { refusals << note; });
    control.onWrite = [this](const QByteArray &bytes) { writes.push_back({clock.now(), bytes}); };
    useFile(TwoLineImage);
}

QString SessionRig::useFile(const QByteArray &content) {
    const QString path = writeFile(content);
    session->chooseFile(path);
    return path;
}

void SessionRig::press() {
    session->pressStart();
}

void SessionRig::toSendingFile() {
    press();
    clock.advance(50);
    control.feed(">");
    clock.advance(333);
    control.feed("_");
    writes.clear();
    control.written.clear();
    transferStart = clock.now() + 1000;
}

void SessionRig::runToTheEnd() {
    toSendingFile();
    clock.advance(1000);
    clock.settle();
}

std::int64_t SessionRig::playDevice(const Device &device, int speedIndex, std::int64_t limitMs) {
    QByteArray file;
    for (int n = 0; n < device.lines - 1; ++n)
        file += dataRecord(n) + "\n";
    session->abort();
    view = RecordingView{};
    ends.clear();
    useFile(file + "S9030000FC\n");
    speed(speedIndex);
    toSendingFile();
    Timeline due;
    for (const auto &[at, text] : device.fromTransferStart)
        due.emplace(transferStart + at, text);
    qsizetype lineStart = 0;
    std::int64_t lastLineAt = -1;
    linesTaken = 0;
    const std::int64_t end = clock.now() + limitMs;
    while (session->running() && clock.now() < end) {
        for (qsizetype lf; (lf = control.written.indexOf('\n', lineStart)) >= 0;
             lineStart = lf + 1) {
            const int n = ++linesTaken;
            due.emplace(clock.now() + device.answerDelayMs,
                        device.answer(n, control.written.sliced(lineStart, lf - lineStart)));
            if (n == device.lines) {
                lastLineAt = clock.now();
                for (const auto &[at, text] : device.afterLastLine)
                    due.emplace(lastLineAt + at, text);
            }
        }
        for (; !due.empty() && due.begin()->first <= clock.now(); due.erase(due.begin())) {
            const QByteArray &text = due.begin()->second;
            if (text == Unplug)
                control.loseDevice();
            else if (text == PlugIn)
                control.plugIn();
            else
                control.feed(text);
        }
        clock.advance(1);
    }
    return lastLineAt;
}

QByteArray dataRecord(int n) {
    return SRecordWriter::record('1', static_cast<quint32>(16 * n), QByteArray(16, 'x'));
}
