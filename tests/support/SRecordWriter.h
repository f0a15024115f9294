#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <optional>

// Makes S-record text for tests and benchmarks. Bad input (a payload that does not fit a record,
// data running past 4 GiB) throws std::invalid_argument: a test must not silently send something
// other than what it meant.
namespace SRecordWriter {

enum class AddressWidth {
    Auto,   // the narrowest that holds the last data address
    Bits16, // S1 data, S9 end
    Bits24, // S2 data, S8 end
    Bits32, // S3 data, S7 end
};

struct Options {
    AddressWidth width = AddressWidth::Auto;
    int bytesPerRecord = 16;
    QByteArray lineEnding = "\n";
    bool header = true; // S0 first
    QByteArray headerText = "pellora-test";
    bool countRecord = false;              // S5 (or S6 past 65535 records) after the data
    std::optional<quint32> entryAddress{}; // address in the end record, base address if unset
};

// One record without line ending, e.g. record('1', 0x1000, data) -> "S113100000...C4". The address
// width follows the type; the count and checksum are computed.
QByteArray record(char type, quint32 address, QByteArrayView payload);

// The records of a file, without line endings.
QList<QByteArray> lines(QByteArrayView data, quint32 baseAddress, const Options &options = {});

// The whole file text, each line followed by options.lineEnding.
QByteArray file(QByteArrayView data, quint32 baseAddress, const Options &options = {});

} // namespace SRecordWriter
