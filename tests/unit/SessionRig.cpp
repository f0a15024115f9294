#include "SessionRig.h"

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
