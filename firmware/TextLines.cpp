#include "firmware/TextLines.h"

#include <QString>

namespace firmware {

qsizetype trailingBlanks(QByteArrayView line) {
    qsizetype blanks = 0;
    while (blanks < line.size() &&
           (line[line.size() - 1 - blanks] == ' ' || line[line.size() - 1 - blanks] == '\t'))
        ++blanks;
    return blanks;
}

QString blanksAfterChecksum(qsizetype blanks) {
    return blanks == 1 ? QStringLiteral("has a blank after its checksum")
                       : QStringLiteral("has %1 blanks after its checksum").arg(blanks);
}

} // namespace firmware
