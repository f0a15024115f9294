#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <optional>

// What the streamer's counting pass learnt of a file, as it was stored when it was read.
struct FileFacts {
    QString path;
    qint64 size = 0;    // bytes read: the whole file
    QByteArray sha256;  // of those bytes
    qint64 lines = 0;   // lines a transfer sends, blank ones included
    qint64 records = 0; // of them, S-records (lines beginning with 'S')
    // False when a refused line stopped the count: lines and records are those before it. The size
    // and digest are of the whole file all the same.
    bool complete = true;
};

// One run as a front end records it once the run has ended.
struct RunSummary {
    QString file;                   // as chosen for the run
    std::optional<FileFacts> facts; // once the device asked for the file and it could be read
    qint64 linesSent = 0;
    qint64 bytesSent = 0; // line feeds included
    QDateTime started;    // UTC
    QDateTime ended;      // UTC; invalid while the run is on
    RunResult result = RunResult::Cancelled;

    double seconds() const {
        return ended.isValid() ? static_cast<double>(started.msecsTo(ended)) / 1000.0 : 0.0;
    }
};
