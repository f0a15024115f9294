#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

namespace firmware {

// The highest address an S-record can hold.
inline constexpr quint64 MaxAddress = 0xFFFFFFFFull;

// Memory as a firmware file fills it: runs of bytes at their addresses, and the start address.
// Nothing is invented for the holes between the runs.
struct Image {
    struct Run {
        quint64 address = 0;
        QByteArray bytes;
        quint64 last() const { return address + static_cast<quint64>(bytes.size()) - 1; }
    };
    std::vector<Run> runs; // ascending, neither overlapping nor touching
    quint64 start = 0;

    quint64 dataBytes() const;
    // The highest address holding data; 0 for an empty image.
    quint64 highestAddress() const;
};

// "0x0800FFF0": an address as the notes write it, in at least `digits` hex digits.
QString hex(quint64 value, int digits = 8);

// A line of a file that cannot be read, or (line 0) the file as a whole. `text` continues
// "line 12 …": "has a bad checksum", "is cut short: …".
struct Problem {
    qint64 line = 0;
    QString text;
};
// "line 12 has a bad checksum"
QString describe(const Problem &problem);

// One run of bytes a file places in memory, and where in the file it stands: a line number, a
// segment number. The bytes are looked at only during the call.
struct Piece {
    quint64 address = 0;
    QByteArrayView bytes;
    qint64 place = 0;
};
using PieceSink = std::function<void(const Piece &)>;

// What reading a file gave besides its pieces.
struct ReadOutcome {
    static constexpr qsizetype MaxProblemsKept = 1000;

    QList<Problem> problems; // the first MaxProblemsKept
    qint64 problemCount = 0;
    // What makes the file as a whole unfit, a predicate of the file ("has no end-of-file record
    // …"); empty when nothing does.
    QString fileProblem;
    quint64 start = 0; // the start address the file gives, else 0
    // Where it comes from: "the ELF entry point", "the start linear address record, line 40".
    QString startOrigin;
    // "line 12", "segment 2 (file offset 0x10000)": a piece's place, for the operator.
    std::function<QString(qint64 place)> placeName;

    void addProblem(qint64 line, QString text);
    bool refused() const { return problemCount > 0 || !fileProblem.isEmpty(); }
};

// Reads a file, handing each piece to the sink in file order. Called a second time only to name
// the places of clashing data, so it must hand over the same pieces again.
using Reader = std::function<ReadOutcome(const PieceSink &)>;

struct Assembly {
    Image image;
    ReadOutcome outcome; // its fileProblem also names two places that give an address two values
};

// The image of a file: its pieces, sorted and joined. Pieces that cover the same addresses with the
// same bytes are one; with different bytes the file is refused, naming both places.
Assembly assemble(const Reader &read);

} // namespace firmware
