#pragma once

#include "session/FileCheck.h"
#include "session/RunSummary.h"

#include <QByteArray>
#include <QString>
#include <memory>

// A firmware file as one run sends it: its bytes, read whole when the run starts, and what they
// hold. Whatever happens to the file on disk afterwards (a build rewriting it, a copy growing or
// cut short), the run sends these bytes, and its summary and history name these bytes.
struct FileSnapshot {
    // Firmware for a serial bootloader is far smaller; a larger file is refused rather than held.
    static constexpr qint64 MaxBytes = qint64{256} << 20;
    // A file that changes while it is read is read again, this many times at most.
    static constexpr int ReadAttempts = 3;

    QString path;
    QByteArray bytes;
    FileCheck::Report report; // report.error says why the file could not be read

    // Reads `path` whole. Never null.
    static std::shared_ptr<const FileSnapshot> take(const QString &path);
    // Bytes already read, under the name of the file they came from.
    static std::shared_ptr<const FileSnapshot> of(const QString &path, QByteArray bytes);

    // Why a run must not start with this file: a note naming the file, the line and the reason.
    // Empty when it may. Without `checkRecords` only a file that could not be read is refused.
    QString refusal(bool checkRecords) const;
    FileFacts facts() const;
};
