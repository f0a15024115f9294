#pragma once

#include "firmware/Image.h"

#include <QByteArrayView>

// Intel HEX: records ":LLAAAATT…CC", one a line. Types 00 (data), 01 (end of file), 02 (extended
// segment address: the base is the value times 16, and a record's offset wraps within its 64 KiB
// segment), 03 (start segment address, CS:IP), 04 (extended linear address: the upper 16 bits) and
// 05 (start linear address). Every record's count and checksum are checked; blank lines are
// skipped; anything after the end-of-file record, and a file without one, is refused.
namespace firmware {

ReadOutcome readIntelHex(QByteArrayView text, const PieceSink &sink);

} // namespace firmware
