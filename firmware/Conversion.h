#pragma once

#include "firmware/FileCheck.h"
#include "firmware/Format.h"
#include "firmware/Image.h"
#include "firmware/SRecordEncoder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <optional>

// A firmware file made into what the device takes. S-records are sent as they are and only
// recognised here; Intel HEX, ELF and raw binaries (given the address of their first byte) become
// S-records, once, when a run starts or a file is checked.
namespace firmware {

struct ConversionOptions {
    std::optional<quint64> binaryBase; // where a raw binary's first byte goes
    int recordBytes = Encoding::DefaultRecordBytes;
    // The image is kept beside its S-records, to be written into and made again (a board's own
    // number); otherwise it goes once the S-records are made.
    bool keepImage = false;
};

struct Conversion {
    Format format = Format::SRecords;

    // Why the file cannot be sent: a predicate of the file ("starts with a UTF-8 byte-order mark
    // …", "has no end-of-file record …"). Empty when nothing is wrong with it as a whole.
    QString refusal;
    // Lines that cannot be read, each a predicate of its line ("has a bad checksum …").
    QList<Problem> problems; // the first ReadOutcome::MaxProblemsKept
    qint64 problemCount = 0;

    // Of a converted file that may be sent:
    QByteArray records;              // the S-record text
    FileCheck::Report recordsReport; // of `records`, known from how they were made
    char dataType = 0;               // '1', '2' or '3'
    qint64 dataRecords = 0;
    qsizetype ranges = 0;
    quint64 dataBytes = 0;
    quint64 start = 0;
    QString startOrigin; // "the ELF entry point", "the start linear address record, line 771", …
    // With ConversionOptions::keepImage: the image, and how its S-records were made.
    std::optional<Image> image;
    QByteArray header;
    int recordBytes = Encoding::DefaultRecordBytes;

    bool converted() const { return format != Format::SRecords; }
    bool refused() const { return !refusal.isEmpty() || problemCount > 0; }
};

// What `bytes` hold and, unless they are S-records or refused, the S-records made of them. The S0
// header names `fileName` (a base name).
Conversion convert(QByteArrayView bytes, const QString &fileName,
                   const ConversionOptions &options = {});

// "app.hex: Intel HEX, 12,288 bytes in 3 ranges, sent as 768 S2 records": what a converted file
// became, for the log before the run starts. Empty for S-records and refused files.
QString summary(const QString &fileName, const Conversion &conversion);

// "12,288": a count as the notes write it, whatever the locale.
QString groupedNumber(quint64 value);

} // namespace firmware
