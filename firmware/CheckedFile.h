#pragma once

#include "firmware/Conversion.h"
#include "firmware/FileCheck.h"
#include "firmware/TextLines.h"

#include <QByteArray>
#include <QString>

// A firmware file's bytes as the device takes them, checked: the one thing a front end asks of this
// room before a run. S-records are taken as they are, byte for byte, and scanned line by line.
// Intel HEX, ELF and raw binaries are made into S-records, once: `bytes` is then that text, known
// well-formed from how it was made, and `source` keeps the file's own facts.
namespace firmware {

struct CheckedFile {
    // The file as it is on disk.
    struct Source {
        Format format = Format::SRecords;
        qint64 size = 0;
        QByteArray sha256;
        // What it was taken for, and for a converted file what it became; `records` is moved out
        // into `bytes`.
        Conversion conversion;
    };

    QByteArray bytes;         // what a run sends
    FileCheck::Report report; // of `bytes`
    Source source;

    // The lines of `bytes` as a transfer sends them, in the order and number the report counts.
    TextLines lines() const { return TextLines(bytes, TextLines::LoneLastByte::Dropped); }
    // The file became S-records: `bytes` are those.
    bool converted() const {
        return source.conversion.converted() && !source.conversion.refused() &&
               report.error.isEmpty();
    }
    // Why a run must not send these bytes: a note naming the file (`path`), the line and the
    // reason. Empty when it may.
    QString refusal(const QString &path) const;
    // "app.hex: Intel HEX, 12,288 bytes in 3 ranges, sent as 768 S2 records": for the log before
    // a run of a converted file starts. Empty for S-records.
    QString conversionNote(const QString &fileName) const;
};

// The file's bytes, `file`, named `fileName` (a base name, for the S0 header of a converted file).
CheckedFile checkFile(QByteArray file, const QString &fileName,
                      const ConversionOptions &options = {});

} // namespace firmware
