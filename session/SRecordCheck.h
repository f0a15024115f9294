#pragma once

#include <QByteArrayView>
#include <QString>

// Whether one line of a file is a well-formed Motorola S-record: "S", a type digit (0-3, 5-9), an
// even number of hex digits holding the byte count, the address, the data and the checksum, with
// the count and checksum right, and no data past the 32-bit address space. Nothing else is judged
// (order, overlaps, the end record).
namespace SRecordCheck {

// Bytes of the address field of a record type ('0'..'9'); 0 for a type that does not exist.
int addressBytes(char type);

// Empty when `line` (without its terminator) is a well-formed record, else what is wrong with it.
QString problem(QByteArrayView line);

} // namespace SRecordCheck
