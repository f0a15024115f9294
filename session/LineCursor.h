#pragma once

#include <QByteArrayView>
#include <optional>

// The lines of a file held in memory, in the order a transfer sends them. A line ends at CR, LF or
// CR LF; the terminator is not part of it. Another line begins only where at least two bytes are
// left: a last line of a single byte is neither counted nor sent.
class LineCursor {
public:
    explicit LineCursor(QByteArrayView bytes) : bytes_(bytes) {}

    // The next line, or nothing at the end.
    std::optional<QByteArrayView> next() {
        if (pos_ + 1 >= bytes_.size())
            return std::nullopt;
        const qsizetype begin = pos_;
        qsizetype end = begin;
        while (end < bytes_.size() && bytes_[end] != '\r' && bytes_[end] != '\n')
            ++end;
        pos_ = end;
        if (pos_ < bytes_.size() && bytes_[pos_++] == '\r' && pos_ < bytes_.size() &&
            bytes_[pos_] == '\n')
            ++pos_;
        return bytes_.sliced(begin, end - begin);
    }
    // Bytes consumed by the lines so far, terminators included.
    qsizetype position() const { return pos_; }

private:
    QByteArrayView bytes_;
    qsizetype pos_ = 0;
};
