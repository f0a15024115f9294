#include "SRecordWriter.h"

#include <stdexcept>

namespace SRecordWriter {

namespace {

int addressBytes(char type) {
    switch (type) {
    case '0':
    case '1':
    case '5':
    case '9':
        return 2;
    case '2':
    case '6':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        throw std::invalid_argument("S-record type must be 0-3 or 5-9");
    }
}

AddressWidth resolve(AddressWidth width, quint64 lastAddress) {
    if (width != AddressWidth::Auto)
        return width;
    if (lastAddress <= 0xFFFF)
        return AddressWidth::Bits16;
    return lastAddress <= 0xFFFFFF ? AddressWidth::Bits24 : AddressWidth::Bits32;
}

} // namespace

QByteArray record(char type, quint32 address, QByteArrayView payload) {
    const int width = addressBytes(type);
    const qsizetype count = width + payload.size() + 1;
    if (count > 0xFF)
        throw std::invalid_argument("S-record payload too long");
    if (width < 4 && address >> (8 * width) != 0)
        throw std::invalid_argument("address does not fit the record type");

    QByteArray bytes;
    bytes.append(static_cast<char>(count));
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8)
        bytes.append(static_cast<char>((address >> shift) & 0xFF));
    bytes.append(payload.data(), payload.size());
    unsigned sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(static_cast<char>(~sum & 0xFF));
    return "S" + QByteArray(1, type) + bytes.toHex().toUpper();
}

QList<QByteArray> lines(QByteArrayView data, quint32 baseAddress, const Options &options) {
    const quint64 last = quint64{baseAddress} + quint64(qMax<qsizetype>(data.size(), 1)) - 1;
    if (last > 0xFFFFFFFFull)
        throw std::invalid_argument("data runs past the 32-bit address space");
    const AddressWidth width = resolve(options.width, last);
    const char dataType = width == AddressWidth::Bits16   ? '1'
                          : width == AddressWidth::Bits24 ? '2'
                                                          : '3';
    const char endType = width == AddressWidth::Bits16   ? '9'
                         : width == AddressWidth::Bits24 ? '8'
                                                         : '7';
    const int maxPayload = 0xFF - addressBytes(dataType) - 1;
    if (options.bytesPerRecord < 1 || options.bytesPerRecord > maxPayload)
        throw std::invalid_argument("bytesPerRecord does not fit a record");

    QList<QByteArray> out;
    if (options.header)
        out.append(record('0', 0, options.headerText));
    qsizetype dataRecords = 0;
    for (qsizetype offset = 0; offset < data.size(); offset += options.bytesPerRecord) {
        out.append(record(
            dataType, baseAddress + static_cast<quint32>(offset),
            data.sliced(offset, qMin<qsizetype>(options.bytesPerRecord, data.size() - offset))));
        ++dataRecords;
    }
    if (options.countRecord) {
        out.append(dataRecords <= 0xFFFF ? record('5', static_cast<quint32>(dataRecords), {})
                                         : record('6', static_cast<quint32>(dataRecords), {}));
    }
    out.append(record(endType, options.entryAddress.value_or(baseAddress), {}));
    return out;
}

QByteArray file(QByteArrayView data, quint32 baseAddress, const Options &options) {
    QByteArray text;
    for (const QByteArray &line : lines(data, baseAddress, options))
        text += line + options.lineEnding;
    return text;
}

} // namespace SRecordWriter
