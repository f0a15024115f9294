#pragma once

#include <QByteArrayView>
#include <QString>

// The kinds of firmware file the tool takes, told apart by their content, never by their name.
namespace firmware {

enum class Format {
    SRecords, // Motorola S-records: sent as they are, byte for byte
    IntelHex, // converted
    Elf,      // converted: the loadable segments at their physical addresses
    Binary,   // converted: needs the address of its first byte
};

// "Motorola S-records", "Intel HEX", "ELF", "raw binary": what the operator reads.
QString formatName(Format format);
// "s-record", "intel-hex", "elf", "binary": the word of the result table, the JSON and the history.
QString formatWord(Format format);

// What a file's bytes are, and why they cannot be sent when that is plain from the first bytes.
struct Recognition {
    Format format = Format::SRecords;
    // Empty when the file may be read as `format`; else why not, in words for the operator.
    QString refusal;
};

// By content: ELF by its magic number; S-records by a first line that starts with "S" and a digit;
// Intel HEX by ":" and a hex digit. A look-alike (a UTF-8 byte-order mark before the records) and
// files that are plainly something else (an archive, a PDF, UTF-16 text) are refused with what they
// are. Other text goes to the S-record check, which names its lines. What is left is a raw
// binary, taken only with `binaryBaseGiven`, which in turn is refused for a file that carries
// addresses of its own.
Recognition recognise(QByteArrayView bytes, bool binaryBaseGiven);

} // namespace firmware
