#include "firmware/SRecordCheck.h"

#include "firmware/Hex.h"

namespace SRecordCheck {

namespace {

bool holdsNoData(char type) {
    return type >= '5' && type <= '9';
}

} // namespace

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
        return 0;
    }
}

QString problem(QByteArrayView line) {
    if (line.isEmpty() || line[0] != 'S')
        return QStringLiteral("no record mark");
    const int width = line.size() >= 2 ? addressBytes(line[1]) : 0;
    if (width == 0)
        return QStringLiteral("bad record type");
    const QByteArrayView hex = line.sliced(2);
    // The count byte covers at most 255 bytes: anything longer cannot be one record.
    if (hex.size() > 2 * 256)
        return QStringLiteral("too long");
    if (hex.size() % 2 != 0)
        return QStringLiteral("odd number of hex digits");
    const qsizetype bytes = hex.size() / 2;
    if (bytes < 1 + width + 1)
        return QStringLiteral("too short");
    unsigned sum = 0;
    int last = 0;
    quint64 address = 0;
    for (qsizetype i = 0; i < bytes; ++i) {
        const int high = firmware::hexValue(hex[2 * i]);
        const int low = firmware::hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return QStringLiteral("not a hex digit");
        last = high * 16 + low;
        if (i == 0 && last != bytes - 1)
            return QStringLiteral("byte count mismatch");
        if (i >= 1 && i <= width)
            address = address << 8 | static_cast<quint64>(last);
        if (i + 1 < bytes)
            sum += static_cast<unsigned>(last);
    }
    if (last != static_cast<int>(~sum & 0xFFu))
        return QStringLiteral("bad checksum");
    const qsizetype data = bytes - width - 2;
    // Count and termination records hold their address field only: a device takes any more as a
    // malformed record.
    if (holdsNoData(line[1]) && data != 0)
        return QStringLiteral("byte count wrong for an S%1 record").arg(QLatin1Char(line[1]));
    const bool holdsData = line[1] >= '1' && line[1] <= '3';
    if (holdsData && data > 0 && address + static_cast<quint64>(data) - 1 > 0xFFFFFFFFull)
        return QStringLiteral("data past the 32-bit address space");
    return {};
}

} // namespace SRecordCheck
