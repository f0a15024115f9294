#include "firmware/SRecordEncoder.h"

#include <algorithm>

namespace firmware {

namespace {

// Cut at a character's first byte, so that the header is never half a UTF-8 character.
QByteArrayView headerText(QByteArrayView header) {
    if (header.size() <= Encoding::MaxHeaderBytes)
        return header;
    qsizetype cut = Encoding::MaxHeaderBytes;
    while (cut > 0 && (static_cast<quint8>(header[cut]) & 0xC0) == 0x80)
        --cut;
    return header.first(cut);
}

} // namespace

void appendSRecord(QByteArray &text, char type, int addressBytes, quint64 address,
                   QByteArrayView data) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    // "S", the type, then two digits for each of the count, the address bytes, the data and the
    // checksum: the line is sized once and written in place.
    const qsizetype from = text.size();
    text.resize(from + 2 + 2 * (1 + addressBytes + data.size() + 1));
    char *at = text.data() + from;
    quint8 sum = 0;
    const auto put = [&](quint8 byte) {
        *at++ = Digits[byte >> 4];
        *at++ = Digits[byte & 0xF];
        sum = static_cast<quint8>(sum + byte);
    };
    *at++ = 'S';
    *at++ = type;
    put(static_cast<quint8>(addressBytes + data.size() + 1));
    for (int shift = 8 * (addressBytes - 1); shift >= 0; shift -= 8)
        put(static_cast<quint8>(address >> shift));
    for (const char c : data)
        put(static_cast<quint8>(c));
    put(static_cast<quint8>(~sum));
}

Encoding encodeSRecords(const Image &image, QByteArrayView header, int recordBytes) {
    recordBytes = std::clamp(recordBytes, Encoding::MinRecordBytes, Encoding::MaxRecordBytes);
    Encoding encoding;
    const quint64 highest = std::max(image.highestAddress(), image.start);
    const int addressBytes = highest <= 0xFFFF ? 2 : highest <= 0xFFFFFF ? 3 : 4;
    encoding.dataType = static_cast<char>('1' + addressBytes - 2);
    const char endType = encoding.terminationType();

    qint64 records = 0;
    for (const Image::Run &run : image.runs)
        records += (run.bytes.size() + recordBytes - 1) / recordBytes;
    // Each record: "S", type, count, address, data, checksum, line feed.
    encoding.text.reserve(records * (2 + 2 * (1 + addressBytes + recordBytes + 1) + 1) + 256);

    const auto write = [&encoding](char type, int width, quint64 address, QByteArrayView data) {
        appendSRecord(encoding.text, type, width, address, data);
        encoding.text += '\n';
    };
    write('0', 2, 0, headerText(header));
    for (const Image::Run &run : image.runs) {
        for (qsizetype at = 0; at < run.bytes.size(); at += recordBytes)
            write(encoding.dataType, addressBytes, run.address + static_cast<quint64>(at),
                  QByteArrayView(run.bytes).sliced(
                      at, std::min<qsizetype>(recordBytes, run.bytes.size() - at)));
    }
    write(endType, addressBytes, image.start, {});
    encoding.dataRecords = records;
    return encoding;
}

} // namespace firmware
