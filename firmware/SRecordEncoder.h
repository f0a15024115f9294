#pragma once

#include "firmware/Image.h"

#include <QByteArray>
#include <QByteArrayView>

// An image written as Motorola S-records: an S0 header, the data records, and the termination
// record with the start address, one record a line, each ended by a line feed. The address width
// is the narrowest that holds the highest address, of the data and the start address alike: S1/S9
// up to 64 KiB, S2/S8 up to 16 MiB, S3/S7 above. Each run of the image is cut into records of
// `recordBytes` data bytes from its first address; the holes between runs get no record.
namespace firmware {

struct Encoding {
    static constexpr int MinRecordBytes = 1;
    static constexpr int MaxRecordBytes = 64;
    static constexpr int DefaultRecordBytes = 16;
    // The header names the file it was made from, in at most this many bytes.
    static constexpr qsizetype MaxHeaderBytes = 64;

    QByteArray text;
    char dataType = '1'; // '1', '2' or '3'
    qint64 dataRecords = 0;

    // The termination record's type of data records of `dataType`: S9 for S1, S8 for S2, S7 for S3.
    char terminationType() const { return static_cast<char>('9' - (dataType - '1')); }
};

// Appends one S-record without its line end: "S", `type`, the count, `address` in `addressBytes`
// bytes, `data` and the checksum, in upper-case hex.
void appendSRecord(QByteArray &text, char type, int addressBytes, quint64 address,
                   QByteArrayView data);

// `header`: the S0 record's text (cut to MaxHeaderBytes at a UTF-8 character's start).
// `recordBytes` within MinRecordBytes..MaxRecordBytes.
Encoding encodeSRecords(const Image &image, QByteArrayView header, int recordBytes);

} // namespace firmware
