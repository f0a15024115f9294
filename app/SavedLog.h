#pragma once

#include "session/RunSummary.h"

#include <QDateTime>
#include <QString>
#include <optional>

// The log kept as a file ("Save log…"): a header that tells where it came from, then the log's
// text as it reads. A saved log must answer the questions asked of it weeks later: which program,
// which port, which file (by its SHA-256, which outlives its name) and how the last run ended.
struct SavedLogHeader {
    QDateTime saved; // local time, with its offset
    QString version;
    int portNumber = 0; // the last one applied; 0: none yet
    QString device;
    bool connected = false;
    QString file;       // the last run's file, else the chosen one; empty: none
    QString fileSha256; // hex; empty when it could not be read
    std::optional<RunSummary> lastRun;
};

QString savedLogText(const SavedLogHeader &header, const QString &log);

// Writes `text` as UTF-8 to `path`, whole or not at all. The reason when it could not be written.
QString writeTextFile(const QString &path, const QString &text);
