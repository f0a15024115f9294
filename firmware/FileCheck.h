#pragma once

#include "firmware/Image.h"
#include "firmware/SRecordEncoder.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <array>
#include <optional>
#include <vector>

// S-record text looked at line by line, exactly as a run reads it before anything is sent, and
// what its records hold. `--check` prints it; a run refuses to start with a file it refuses.
namespace FileCheck {

struct AddressRange {
    quint64 first = 0;
    quint64 last = 0; // inclusive
    bool operator==(const AddressRange &) const = default;
};

struct RefusedLine {
    enum class Kind {
        Malformed,        // not a well-formed S-record
        AfterTermination, // a record after the termination record: the device has restarted
        TrailingBlanks,   // a well-formed record with blanks after it
    };
    qint64 number = 0; // from 1, counted as a transfer counts (blank lines included)
    // What is wrong with the record; the termination record's line; "has 2 blanks after its
    // checksum".
    QString problem;
    Kind kind = Kind::Malformed;
};

// A termination record (S7, S8 or S9) and the start address it holds.
struct StartRecord {
    char type = '9';
    quint32 address = 0;
    qint64 line = 0;
};

struct Report {
    QString error;   // the file cannot be read; nothing else is filled in then
    qint64 size = 0; // bytes, the whole file
    QByteArray sha256;
    // Lines a transfer sends: every line up to the last one that is not blank, blank ones included.
    // Blank lines after it are not sent (nothing is left for the device to take).
    qint64 lines = 0;
    qint64 blankLines = 0;            // of those sent
    std::array<qint64, 10> records{}; // well-formed records, by type digit
    std::vector<AddressRange> ranges; // the data records' bytes, merged, in ascending order
    quint64 dataBytes = 0;            // in data records, counted as often as they are written
    std::optional<StartRecord> start; // the first termination record
    QList<RefusedLine> refused;       // the first MaxRefusedKept lines a run would refuse
    qint64 refusedCount = 0;          // all of them
    // What makes the file as a whole unfit to program a device, even with every line well-formed:
    // "the file is empty", "no data record (S1, S2 or S3)". Empty when there is nothing.
    QString fileProblem;

    static constexpr qsizetype MaxRefusedKept = 1000;

    bool wouldSend() const { return error.isEmpty() && refusedCount == 0 && fileProblem.isEmpty(); }
    qint64 recordCount() const;
    // Bytes of address space the data covers: less than dataBytes when records overlap.
    quint64 coveredBytes() const;
    // One note on why a run will not send `path`: the file, the line and the reason. Empty when it
    // would be sent.
    QString refusal(const QString &path) const;
};

// "line 8: bad checksum", "line 514 has 2 blanks after its checksum": a refused line in a list.
QString describe(const RefusedLine &line);

// The lines of a file's bytes, checked as a run checks them.
Report scan(QByteArrayView bytes);

// What scan() would find in the S-records made of `image`, known from how they were made: the
// encoder's records are well-formed by construction and are not read again.
Report reportOf(const firmware::Encoding &encoding, const firmware::Image &image);

} // namespace FileCheck
