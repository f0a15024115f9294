#pragma once

#include "firmware/Conversion.h"
#include "session/FileCheck.h"
#include "session/RunSummary.h"

#include <QByteArray>
#include <QString>
#include <memory>

// A firmware file as one run sends it: its bytes, read whole when the run starts, and what they
// hold. Whatever happens to the file on disk afterwards (a build rewriting it, a copy growing or
// cut short), the run sends these bytes, and its summary and history name these bytes.
//
// S-records are sent as they are, byte for byte. Intel HEX, ELF and raw binaries are made into
// S-records here, once: `bytes` is then that text, the one thing a run sends and checks, and
// `source` keeps the file's own facts.
struct FileSnapshot {
    // Firmware for a serial bootloader is far smaller; a larger file is refused rather than held.
    static constexpr qint64 MaxBytes = qint64{256} << 20;
    // A file that changes while it is read is read again, this many times at most.
    static constexpr int ReadAttempts = 3;

    // The file as it is on disk.
    struct Source {
        firmware::Format format = firmware::Format::SRecords;
        qint64 size = 0;
        QByteArray sha256;
        // What it was taken for, and for a converted file what it became; `records` is moved out
        // into `bytes`.
        firmware::Conversion conversion;
    };

    QString path;
    QByteArray bytes;         // what a run sends
    FileCheck::Report report; // of `bytes`; report.error says why the file could not be read
    Source source;

    // Reads `path` whole. Never null.
    static std::shared_ptr<const FileSnapshot>
    take(const QString &path, const firmware::ConversionOptions &options = {});
    // Bytes already read, under the name of the file they came from.
    static std::shared_ptr<const FileSnapshot> of(const QString &path, QByteArray bytes,
                                                  const firmware::ConversionOptions &options = {});

    // The file became S-records: `bytes` are those.
    bool converted() const {
        return source.conversion.converted() && !source.conversion.refused() &&
               report.error.isEmpty();
    }
    // Why a run must not start with this file: a note naming the file, the line and the reason.
    // Empty when it may. Without `checkRecords` only a file that could not be read is refused.
    QString refusal(bool checkRecords) const;
    // "app.hex: Intel HEX, 12,288 bytes in 3 ranges, sent as 768 S2 records": for the log before
    // a run of a converted file starts. Empty for S-records.
    QString conversionNote() const;
    FileFacts facts() const;
};
