#pragma once

#include <QByteArray>
#include <QIODevice>

// Reads a byte stream one line at a time without holding more than one line and a small buffer.
// A line ends at CR, LF or CR LF; the terminator is consumed and not returned.
class LineReader {
public:
    explicit LineReader(QIODevice &device) : device_(device) {}

    // False when the device refuses a read. At the end of the data the line is what was left.
    bool readLine(QByteArray &line);
    // Bytes consumed by the lines read so far.
    qint64 position() const { return consumed_; }

private:
    bool fill();

    static constexpr qint64 ChunkSize = 64 * 1024;
    QIODevice &device_;
    QByteArray buffer_;
    qsizetype next_ = 0;
    qint64 consumed_ = 0;
    bool failed_ = false;
};
