#pragma once

#include <QByteArrayView>
#include <QString>

// Whether one line of a file is a well-formed Motorola S-record: "S", a type digit (0-3, 5-9), an
// even number of hex digits holding the byte count, the address, the data and the checksum, with
// the count and checksum right, count (S5, S6) and termination (S7, S8, S9) records without data,
// and no data past the 32-bit address space. Nothing else is judged here (order, overlaps).
namespace SRecordCheck {

// Bytes of the address field of a record type ('0'..'9'); 0 for a type that does not exist.
int addressBytes(char type);

// Data records (S1, S2, S3) carry the image; termination records (S7, S8, S9) end it.
constexpr bool isDataRecord(char type) {
    return type >= '1' && type <= '3';
}
constexpr bool isTerminationRecord(char type) {
    return type >= '7' && type <= '9';
}

// Empty when `line` (without its terminator) is a well-formed record, else what is wrong with it.
QString problem(QByteArrayView line);

} // namespace SRecordCheck
