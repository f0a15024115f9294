#pragma once

#include "firmware/CheckedFile.h"
#include "firmware/Image.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <variant>

// A board's own number (a serial number, a MAC address, a key) written at a fixed address of what
// the board is sent. S-record files keep every line but those that cover the address; a converted
// file has the bytes set in its image before it is made into S-records.
namespace firmware {

// Where the number goes and how it is written: "0x0800FFF0:le:4".
struct SerialLayout {
    enum class Form {
        LittleEndian, // le: a binary integer of `width` bytes, least significant first
        BigEndian,    // be: the same, most significant first
        Ascii,        // ascii: decimal digits, zero-padded to `width` characters
        Hex,          // hex: upper-case hex digits, zero-padded to `width` characters
        Bcd,          // bcd: `width` bytes of packed decimal, most significant first
        Bytes,        // bytes: a list's value as it is, exactly `width` bytes
    };
    static constexpr int MaxIntegerBytes = 8;
    static constexpr int MaxWidth = 64;

    quint64 address = 0;
    Form form = Form::LittleEndian;
    int width = 4;

    // The layout written as "ADDRESS:FORMAT:WIDTH", or why not.
    static std::variant<SerialLayout, QString> parse(const QString &text);
    // "0x0800FFF0"
    QString addressText() const { return hex(address); }
    // "le", "be", "ascii", "hex", "bcd", "bytes"
    QString formName() const;
};

// One board's value: a number (from a counter, or a list of numbers) or bytes (from a list).
using SerialValue = std::variant<quint64, QByteArray>;

// "1003"; "70:B3:D5:00:12:34"
QString serialText(const SerialValue &value);

// The bytes `value` is written as, or why it cannot be ("serial 256 does not fit in le:1 (at most
// 255)").
std::variant<QByteArray, QString> serialBytes(const SerialLayout &layout, const SerialValue &value);

// `bytes` at `address` in the image: runs overwritten where they hold it, joined with a new run
// where they do not. False when the bytes would run past the 32-bit address space.
bool writeInto(Image &image, quint64 address, QByteArrayView bytes);

// What patching S-record text did, by line numbers of the result (from 1).
struct PatchedLines {
    QList<qint64> changed; // records that held some of the bytes
    QList<qint64> added;   // records made for bytes no record held
    qint64 countLine = 0;  // a count record (S5, S6) set to the new number of data records
};

// The file of `checked` with `bytes` at `address`, checked again, and the lines that differ from
// the file's; or why not (the bytes do not fit the address space).
struct Patched {
    CheckedFile file;
    PatchedLines lines;
};
std::variant<Patched, QString> patchFile(const CheckedFile &checked, quint64 address,
                                         QByteArrayView bytes);

} // namespace firmware
