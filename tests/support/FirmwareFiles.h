#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// Firmware files made byte by byte for tests: Intel HEX records and small ELF programs, written
// here from the formats' definitions so that they share nothing with the readers under test.
namespace FirmwareFiles {

// ":LLAAAATT…CC" with the count and checksum computed, e.g. hexRecord(0, 0x1000, "ab").
QByteArray hexRecord(int type, quint16 offset, QByteArrayView data);
QByteArray hexEnd(); // ":00000001FF"

struct ElfSegment {
    quint32 type = 1; // PT_LOAD
    quint64 physicalAddress = 0;
    QByteArray contents;
    quint64 memorySize = 0; // at least the contents' size
    // Where the contents go in the file; 0 puts them after the one before.
    quint64 fileOffset = 0;
};

struct ElfProgram {
    bool wide = false; // 64-bit
    bool bigEndian = false;
    quint16 type = 2; // ET_EXEC
    quint64 entry = 0;
    QList<ElfSegment> segments;
};

QByteArray elf(const ElfProgram &program);

} // namespace FirmwareFiles
