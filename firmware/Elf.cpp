#include "firmware/Elf.h"

#include <vector>

namespace firmware {

namespace {

constexpr quint32 LoadableSegment = 1; // PT_LOAD
constexpr int Elf32 = 1, Elf64 = 2;
constexpr int LittleEndian = 1, BigEndian = 2;

// Reads fields of the file in its byte order; every read is bounds-checked by its caller.
class Fields {
public:
    Fields(QByteArrayView file, bool bigEndian) : file_(file), big_(bigEndian) {}

    quint64 get(quint64 offset, int size) const {
        quint64 value = 0;
        for (int i = 0; i < size; ++i) {
            const int at = big_ ? i : size - 1 - i;
            value = value << 8 | static_cast<quint8>(file_[static_cast<qsizetype>(offset) + at]);
        }
        return value;
    }

private:
    QByteArrayView file_;
    bool big_;
};

struct Segment {
    qint64 index;
    quint64 offset;
    quint64 address;
    quint64 size;
};

QString typeProblem(quint64 type) {
    switch (type) {
    case 1:
        return QStringLiteral("is a relocatable object file (.o), not a linked program: link it "
                              "into a program first");
    case 4:
        return QStringLiteral("is a core dump, not a program");
    default:
        return QStringLiteral("is an ELF file of type %1, neither a program nor a shared object")
            .arg(type);
    }
}

} // namespace

bool isElf(QByteArrayView bytes) {
    return bytes.startsWith("\x7F"
                            "ELF");
}

ReadOutcome readElf(QByteArrayView file, const PieceSink &sink) {
    ReadOutcome outcome;
    const auto size = static_cast<quint64>(file.size());
    const int elfClass = file.size() > 5 ? file[4] : 0;
    const int byteOrder = file.size() > 5 ? file[5] : 0;
    if (elfClass != Elf32 && elfClass != Elf64) {
        outcome.fileProblem =
            QStringLiteral("is an ELF file of an unknown class (%1; 1 is 32-bit, 2 is 64-bit)")
                .arg(elfClass);
        return outcome;
    }
    if (byteOrder != LittleEndian && byteOrder != BigEndian) {
        outcome.fileProblem =
            QStringLiteral("is an ELF file of an unknown byte order (%1; 1 is little-endian, 2 "
                           "big-endian)")
                .arg(byteOrder);
        return outcome;
    }
    const bool wide = elfClass == Elf64;
    const Fields f(file, byteOrder == BigEndian);
    const int word = wide ? 8 : 4;
    const quint64 headerSize = wide ? 64 : 52;
    if (size < headerSize) {
        outcome.fileProblem = QStringLiteral("is cut short: %1 bytes, less than an ELF file's "
                                             "%2-byte header")
                                  .arg(size)
                                  .arg(headerSize);
        return outcome;
    }
    if (const quint64 type = f.get(16, 2); type != 2 && type != 3) {
        outcome.fileProblem = typeProblem(type);
        return outcome;
    }
    const quint64 entry = f.get(24, word);
    const quint64 tableOffset = f.get(wide ? 32 : 28, word);
    const quint64 entrySize = f.get(wide ? 54 : 42, 2);
    const quint64 count = f.get(wide ? 56 : 44, 2);
    const quint64 neededEntrySize = wide ? 56 : 32;
    if (count == 0xFFFF) {
        outcome.fileProblem = QStringLiteral("is an ELF file with 65535 program headers or more, "
                                             "which firmware never has");
        return outcome;
    }
    if (count > 0 && entrySize < neededEntrySize) {
        outcome.fileProblem = QStringLiteral("is an ELF file whose program headers are %1 bytes "
                                             "long, less than the %2 they take")
                                  .arg(entrySize)
                                  .arg(neededEntrySize);
        return outcome;
    }
    if (tableOffset > size || count * entrySize > size - tableOffset) {
        outcome.fileProblem = QStringLiteral("is cut short: its program header table "
                                             "runs past the end of the file (%1 bytes)")
                                  .arg(size);
        return outcome;
    }

    std::vector<Segment> segments;
    for (quint64 i = 0; i < count; ++i) {
        const quint64 at = tableOffset + i * entrySize;
        if (f.get(at, 4) != LoadableSegment)
            continue;
        const Segment segment{static_cast<qint64>(i), f.get(at + (wide ? 8 : 4), word),
                              f.get(at + (wide ? 24 : 12), word),
                              f.get(at + (wide ? 32 : 16), word)};
        const quint64 memorySize = f.get(at + (wide ? 40 : 20), word);
        const QString name = QStringLiteral("segment %1").arg(i);
        if (segment.size == 0)
            continue; // memory the program clears itself
        if (segment.offset > size || segment.size > size - segment.offset) {
            outcome.fileProblem = QStringLiteral("is cut short: %1 holds %2 bytes from "
                                                 "file offset %3, past the end of the file (%4 "
                                                 "bytes)")
                                      .arg(name)
                                      .arg(segment.size)
                                      .arg(hex(segment.offset, 1))
                                      .arg(size);
            return outcome;
        }
        if (segment.size > memorySize) {
            outcome.fileProblem =
                QStringLiteral("is damaged: %1 holds %2 bytes in the file but only %3 in "
                               "memory")
                    .arg(name)
                    .arg(segment.size)
                    .arg(memorySize);
            return outcome;
        }
        if (segment.address > MaxAddress || segment.size - 1 > MaxAddress - segment.address) {
            outcome.fileProblem = QStringLiteral("has %1 loaded at %2, past the 32-bit address "
                                                 "space S-records can address")
                                      .arg(name, hex(segment.address));
            return outcome;
        }
        segments.push_back(segment);
    }
    if (segments.empty()) {
        outcome.fileProblem =
            QStringLiteral("has no loadable segment with contents in it (readelf -l "
                           "lists its segments): nothing to program");
        return outcome;
    }
    if (entry > MaxAddress) {
        outcome.fileProblem = QStringLiteral("has its entry point at %1, past the 32-bit address "
                                             "space S-records can address")
                                  .arg(hex(entry));
        return outcome;
    }
    outcome.start = entry;
    outcome.startOrigin = QStringLiteral("the ELF entry point");
    outcome.placeName = [segments](qint64 place) {
        for (const Segment &s : segments)
            if (s.index == place)
                return QStringLiteral("segment %1 (file offset %2)")
                    .arg(place)
                    .arg(hex(s.offset, 1));
        return QStringLiteral("segment %1").arg(place);
    };
    for (const Segment &s : segments)
        sink({s.address,
              file.sliced(static_cast<qsizetype>(s.offset), static_cast<qsizetype>(s.size)),
              s.index});
    return outcome;
}

} // namespace firmware
