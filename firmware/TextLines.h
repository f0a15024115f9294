#pragma once

#include <QByteArrayView>
#include <QString>
#include <optional>

// Lines of text as an editor numbers them: each ends at CR, LF or CR LF, which is not part of it;
// text after the last terminator is a last line.
namespace firmware {

class TextLines {
public:
    // What becomes of a single byte left after the last terminator.
    enum class LoneLastByte {
        Line,    // a last line of its own, as an editor shows it
        Dropped, // neither counted nor sent: a transfer takes a line only where two bytes are left
    };

    explicit TextLines(QByteArrayView text, LoneLastByte lone = LoneLastByte::Line)
        : text_(text), minimumLeft_(lone == LoneLastByte::Line ? 1 : 2) {}

    // The next line, or nothing at the end.
    std::optional<QByteArrayView> next() {
        if (text_.size() - pos_ < minimumLeft_)
            return std::nullopt;
        const qsizetype begin = pos_;
        qsizetype end = begin;
        while (end < text_.size() && text_[end] != '\r' && text_[end] != '\n')
            ++end;
        pos_ = end;
        if (pos_ < text_.size() && text_[pos_++] == '\r' && pos_ < text_.size() &&
            text_[pos_] == '\n')
            ++pos_;
        return text_.sliced(begin, end - begin);
    }
    // Bytes consumed by the lines so far, terminators included.
    qsizetype position() const { return pos_; }

private:
    QByteArrayView text_;
    qsizetype minimumLeft_;
    qsizetype pos_ = 0;
};

// Blanks (spaces and tabs) at the end of `line`.
qsizetype trailingBlanks(QByteArrayView line);

// "has 2 blanks after its checksum": what a record line with blanks after it has, in the words the
// refusal of a line uses ("line 514 has 2 blanks after its checksum").
QString blanksAfterChecksum(qsizetype blanks);

} // namespace firmware
