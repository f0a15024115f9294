#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <array>
#include <optional>
#include <vector>

// A file looked at before it is loaded: its lines read and checked exactly as the streamer reads
// and checks them when the device asks for the file, and what its records hold. Nothing is sent.
namespace FileCheck {

struct AddressRange {
    quint64 first = 0;
    quint64 last = 0; // inclusive
    bool operator==(const AddressRange &) const = default;
};

struct RefusedLine {
    qint64 number = 0; // from 1, counted as the streamer counts (blank lines included)
    QString problem;
};

// An end record (S7, S8 or S9) and the start address it holds.
struct StartRecord {
    char type = '9';
    quint32 address = 0;
    qint64 line = 0;
};

struct Report {
    QString error;    // the file cannot be opened or read; nothing else is filled in then
    qint64 lines = 0; // lines the streamer would send, blank ones included
    qint64 blankLines = 0;
    std::array<qint64, 10> records{}; // well-formed records, by type digit
    std::vector<AddressRange> ranges; // the data records' bytes, merged, in ascending order
    quint64 dataBytes = 0;            // in data records, counted as often as they are written
    std::optional<StartRecord> start; // the first end record
    QByteArray sha256;                // of the whole file as stored
    QList<RefusedLine> refused;       // every line the streamer would refuse

    bool wouldSend() const { return error.isEmpty() && refused.isEmpty(); }
    // Bytes of address space the data covers: less than dataBytes when records overlap.
    quint64 coveredBytes() const;
};

Report check(const QString &path);

} // namespace FileCheck
