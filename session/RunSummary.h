#pragma once

#include "firmware/Format.h"
#include "session/SessionTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <optional>

// The file a run sent, as it was when the run started.
struct FileFacts {
    QString path;
    firmware::Format format = firmware::Format::SRecords;
    qint64 size = 0;       // bytes: the whole file
    QByteArray sha256;     // of those bytes
    QByteArray sentSha256; // of what was sent: the file's bytes, or the S-records made from them
    qint64 lines = 0;      // lines a transfer sends, blank ones included
    qint64 records = 0;    // of them, well-formed S-records
};

// One run, as a front end records it once the run has ended.
struct RunSummary {
    QString file;                   // as chosen for the run
    std::optional<FileFacts> facts; // of the snapshot the run took at its start
    qint64 linesSent = 0;
    qint64 bytesSent = 0; // line feeds included
    QDateTime started;    // UTC
    QDateTime ended;      // UTC; invalid while the run is on
    RunResult result = RunResult::Cancelled;
    EndCause cause = EndCause::Aborted;
    QString note; // what the end told the operator besides its caption: the file and the reason…

    double seconds() const {
        return ended.isValid() ? static_cast<double>(started.msecsTo(ended)) / 1000.0 : 0.0;
    }
};

Q_DECLARE_METATYPE(RunSummary)
