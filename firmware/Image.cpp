#include "firmware/Image.h"

#include <algorithm>

namespace firmware {

quint64 Image::dataBytes() const {
    quint64 total = 0;
    for (const Run &run : runs)
        total += static_cast<quint64>(run.bytes.size());
    return total;
}

quint64 Image::highestAddress() const {
    return runs.empty() ? 0 : runs.back().last();
}

QString hex(quint64 value, int digits) {
    return QStringLiteral("0x") +
           QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString describe(const Problem &problem) {
    if (problem.line <= 0)
        return problem.text;
    return QStringLiteral("line %1 %2").arg(problem.line).arg(problem.text);
}

void ReadOutcome::addProblem(qint64 line, QString text) {
    if (problems.size() < MaxProblemsKept)
        problems.append({line, std::move(text)});
    ++problemCount;
}

namespace {

// The pieces of one reading, in one buffer. A piece that continues the one before (files mostly
// run upwards) extends it, so a large image is a few pieces.
class Collector {
public:
    void add(const Piece &piece) {
        if (piece.bytes.isEmpty())
            return;
        if (!pieces_.empty()) {
            Stored &last = pieces_.back();
            if (last.address + static_cast<quint64>(last.length) == piece.address) {
                buffer_.append(piece.bytes);
                last.length += piece.bytes.size();
                return;
            }
        }
        pieces_.push_back({piece.address, buffer_.size(), piece.bytes.size()});
        buffer_.append(piece.bytes);
    }

    // The runs, or the first address two pieces give different bytes.
    std::optional<quint64> join(std::vector<Image::Run> &runs) {
        std::stable_sort(pieces_.begin(), pieces_.end(),
                         [](const Stored &a, const Stored &b) { return a.address < b.address; });
        for (const Stored &piece : pieces_) {
            const QByteArrayView bytes(buffer_.constData() + piece.offset, piece.length);
            if (runs.empty() || piece.address > runs.back().last() + 1) {
                runs.push_back({piece.address, bytes.toByteArray()});
                continue;
            }
            Image::Run &run = runs.back();
            const quint64 end = run.last() + 1; // piece.address <= end
            const qsizetype overlap = static_cast<qsizetype>(
                std::min<quint64>(end - piece.address, static_cast<quint64>(piece.length)));
            const qsizetype from = static_cast<qsizetype>(piece.address - run.address);
            for (qsizetype i = 0; i < overlap; ++i)
                if (run.bytes[from + i] != bytes[i])
                    return piece.address + static_cast<quint64>(i);
            run.bytes.append(bytes.sliced(overlap));
        }
        return std::nullopt;
    }

private:
    struct Stored {
        quint64 address;
        qsizetype offset;
        qsizetype length;
    };
    std::vector<Stored> pieces_;
    QByteArray buffer_;
};

// The first piece in file order to write `address`, and the first after it to write another byte
// there.
QString clashNote(const Reader &read, quint64 address) {
    struct Writer {
        qint64 place;
        quint8 byte;
    };
    std::optional<Writer> first;
    std::optional<Writer> second;
    const ReadOutcome again = read([&](const Piece &piece) {
        if (second || address < piece.address ||
            address - piece.address >= static_cast<quint64>(piece.bytes.size()))
            return;
        const auto byte =
            static_cast<quint8>(piece.bytes[static_cast<qsizetype>(address - piece.address)]);
        if (!first)
            first = Writer{piece.place, byte};
        else if (byte != first->byte)
            second = Writer{piece.place, byte};
    });
    if (!first || !second) // cannot happen: the first reading found them
        return QStringLiteral("gives %1 two values").arg(hex(address));
    const auto name = [&](qint64 place) {
        return again.placeName ? again.placeName(place) : QString::number(place);
    };
    return QStringLiteral("gives %1 two values: %2 from %3 and %4 from %5; a file must give each "
                          "address one")
        .arg(hex(address), hex(first->byte, 2), name(first->place), hex(second->byte, 2),
             name(second->place));
}

} // namespace

Assembly assemble(const Reader &read) {
    Assembly assembly;
    Collector collector;
    assembly.outcome = read([&collector](const Piece &piece) { collector.add(piece); });
    if (assembly.outcome.refused())
        return assembly;
    if (const std::optional<quint64> clash = collector.join(assembly.image.runs)) {
        assembly.image.runs.clear();
        assembly.outcome.fileProblem = clashNote(read, *clash);
        return assembly;
    }
    assembly.image.start = assembly.outcome.start;
    return assembly;
}

} // namespace firmware
