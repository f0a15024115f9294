#include "FirmwareFiles.h"

namespace FirmwareFiles {

QByteArray hexRecord(int type, quint16 offset, QByteArrayView data) {
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(offset >> 8));
    bytes.append(static_cast<char>(offset & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    unsigned sum = 0;
    for (const char c : bytes)
        sum += static_cast<unsigned char>(c);
    bytes.append(static_cast<char>((0x100 - (sum & 0xFF)) & 0xFF));
    return ':' + bytes.toHex().toUpper();
}

QByteArray hexEnd() {
    return hexRecord(1, 0, {});
}

namespace {

class Writer {
public:
    explicit Writer(bool bigEndian) : big_(bigEndian) {}
    void put(quint64 value, int size) {
        for (int i = 0; i < size; ++i) {
            const int shift = 8 * (big_ ? size - 1 - i : i);
            bytes.append(static_cast<char>((value >> shift) & 0xFF));
        }
    }
    QByteArray bytes;

private:
    bool big_;
};

} // namespace

QByteArray elf(const ElfProgram &p) {
    const int word = p.wide ? 8 : 4;
    const quint64 headerSize = p.wide ? 64 : 52;
    const quint64 entrySize = p.wide ? 56 : 32;
    const quint64 tableSize = entrySize * static_cast<quint64>(p.segments.size());

    // Contents go after the header and the table, in order, unless placed.
    QList<quint64> offsets;
    quint64 next = headerSize + tableSize;
    for (const ElfSegment &s : p.segments) {
        offsets.append(s.fileOffset ? s.fileOffset : next);
        next = std::max(next, offsets.back() + static_cast<quint64>(s.contents.size()));
    }

    Writer w(p.bigEndian);
    w.bytes.append("\x7F"
                   "ELF");
    w.put(p.wide ? 2 : 1, 1);
    w.put(p.bigEndian ? 2 : 1, 1);
    w.put(1, 1); // version
    w.bytes.append(QByteArray(9, '\0'));
    w.put(p.type, 2);
    w.put(8, 2); // a machine
    w.put(1, 4);
    w.put(p.entry, word);
    w.put(p.segments.isEmpty() ? 0 : headerSize, word); // program header table
    w.put(0, word);                                     // no section headers
    w.put(0, 4);                                        // flags
    w.put(headerSize, 2);
    w.put(entrySize, 2);
    w.put(static_cast<quint64>(p.segments.size()), 2);
    w.put(p.wide ? 64 : 40, 2); // section header size
    w.put(0, 2);
    w.put(0, 2);
    for (qsizetype i = 0; i < p.segments.size(); ++i) {
        const ElfSegment &s = p.segments[i];
        const auto size = static_cast<quint64>(s.contents.size());
        const quint64 memory = std::max(size, s.memorySize);
        w.put(s.type, 4);
        if (p.wide)
            w.put(5, 4); // flags: read, execute
        w.put(offsets[i], word);
        w.put(s.physicalAddress + 0x20000000, word); // a virtual address unlike the physical one
        w.put(s.physicalAddress, word);
        w.put(size, word);
        w.put(memory, word);
        if (!p.wide)
            w.put(5, 4);
        w.put(4, word); // alignment
    }
    QByteArray file = w.bytes;
    file.resize(static_cast<qsizetype>(next), '\0');
    for (qsizetype i = 0; i < p.segments.size(); ++i)
        file.replace(static_cast<qsizetype>(offsets[i]), p.segments[i].contents.size(),
                     p.segments[i].contents);
    return file;
}

} // namespace FirmwareFiles
