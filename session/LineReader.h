#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QIODevice>

// Reads a byte stream one line at a time without holding more than one line and a small buffer.
// A line ends at CR, LF or CR LF; the terminator is consumed and not returned.
class LineReader {
public:
    // With a hash, every byte read from the device is added to it as it is read, so that a pass
    // over the file's lines also digests the file without a second read.
    explicit LineReader(QIODevice &device, QCryptographicHash *hash = nullptr)
        : device_(device), hash_(hash) {}

    // False when the device refuses a read. At the end of the data the line is what was left.
    bool readLine(QByteArray &line);
    // Bytes consumed by the lines read so far.
    qint64 position() const { return consumed_; }

private:
    bool fill();

    static constexpr qint64 ChunkSize = 64 * 1024;
    QIODevice &device_;
    QCryptographicHash *hash_;
    QByteArray buffer_;
    qsizetype next_ = 0;
    qint64 consumed_ = 0;
    bool failed_ = false;
};
