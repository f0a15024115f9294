#include "firmware/TextLines.h"

#include <QString>

namespace firmware {

std::optional<QByteArrayView> TextLines::next() {
    if (pos_ >= text_.size())
        return std::nullopt;
    const qsizetype begin = pos_;
    qsizetype end = begin;
    while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n')
        ++end;
    pos_ = end;
    if (pos_ < text_.size() && text_[pos_++] == '\r' && pos_ < text_.size() && text_[pos_] == '\n')
        ++pos_;
    return text_.sliced(begin, end - begin);
}

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
