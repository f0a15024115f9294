#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

// Lines of text as an editor numbers them: each ends at CR, LF or CR LF, which is not part of it;
// text after the last terminator is a last line.
namespace firmware {

class TextLines {
public:
    explicit TextLines(QByteArrayView text) : text_(text) {}

    // The next line, or nothing at the end.
    std::optional<QByteArrayView> next();

private:
    QByteArrayView text_;
    qsizetype pos_ = 0;
};

// Blanks (spaces and tabs) at the end of `line`.
qsizetype trailingBlanks(QByteArrayView line);

// "has 2 blanks after its checksum": what a record line with blanks after it has, in the words the
// refusal of a line uses ("line 514 has 2 blanks after its checksum").
QString blanksAfterChecksum(qsizetype blanks);

} // namespace firmware
