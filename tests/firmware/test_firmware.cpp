// The firmware formats at the lowest level: what a file's content is taken for, what each reader
// makes of it, the S-records written from an image, and every refusal naming its place.
#include "FirmwareFiles.h"
#include "SRecordWriter.h"
#include "firmware/Conversion.h"
#include "firmware/FileCheck.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <tuple>

using namespace firmware;
using FirmwareFiles::ElfProgram;
using FirmwareFiles::ElfSegment;
using FirmwareFiles::hexEnd;
using FirmwareFiles::hexRecord;

namespace {

QByteArray lines(const QList<QByteArray> &records, const QByteArray &ending = "\n") {
    QByteArray text;
    for (const QByteArray &r : records)
        text += r + ending;
    return text;
}

QByteArray bytes(int count, int first = 0) {
    QByteArray b(count, '\0');
    for (int i = 0; i < count; ++i)
        b[i] = static_cast<char>(first + i);
    return b;
}

// Big-endian, as HEX address records hold their values.
QByteArray word16(quint32 v) {
    QByteArray b;
    b.append(static_cast<char>((v >> 8) & 0xFF));
    b.append(static_cast<char>(v & 0xFF));
    return b;
}
QByteArray word32(quint32 v) {
    return word16(v >> 16) + word16(v);
}

// Everything a refused conversion says, as the operator reads it.
QString refusalText(const Conversion &c) {
    QStringList parts;
    if (!c.refusal.isEmpty())
        parts << c.refusal;
    for (const Problem &p : c.problems)
        parts << describe(p);
    return parts.join(QStringLiteral(" | "));
}

// The image the S-records of a conversion describe: address -> byte, read back with the tests' own
// reading of S-records.
std::map<quint64, char> imageOf(const QByteArray &records, quint64 *start = nullptr) {
    std::map<quint64, char> image;
    for (const QByteArray &line : records.split('\n')) {
        if (line.size() < 4)
            continue;
        const int width = line[1] == '1' || line[1] == '9'   ? 2
                          : line[1] == '2' || line[1] == '8' ? 3
                                                             : 4;
        const QByteArray raw = QByteArray::fromHex(line.mid(2));
        quint64 address = 0;
        for (int i = 0; i < width; ++i)
            address = address << 8 | static_cast<quint8>(raw[1 + i]);
        if (line[1] >= '1' && line[1] <= '3')
            for (qsizetype i = 1 + width; i < raw.size() - 1; ++i)
                image[address + static_cast<quint64>(i - 1 - width)] = raw[i];
        if (line[1] >= '7' && start)
            *start = address;
    }
    return image;
}

std::map<quint64, char> imageAt(quint64 address, const QByteArray &data) {
    std::map<quint64, char> image;
    for (qsizetype i = 0; i < data.size(); ++i)
        image[address + static_cast<quint64>(i)] = data[i];
    return image;
}

std::map<quint64, char> operator+(std::map<quint64, char> a, const std::map<quint64, char> &b) {
    a.insert(b.begin(), b.end());
    return a;
}

} // namespace

TEST(FirmwareRecognition, theContentDecidesNotTheName) {
    const struct {
        const char *name;
        QByteArray content;
        bool binaryBase;
        Format format;
        const char *refusal; // part of it; nullptr: none
    } cases[] = {
        {"S-records", "S00600004844521B\nS1130000", false, Format::SRecords, nullptr},
        {"S-records after blank lines", "\r\n\nS1130000", false, Format::SRecords, nullptr},
        {"Intel HEX", ":020000040800F2\n", false, Format::IntelHex, nullptr},
        {"ELF",
         "\x7F"
         "ELF\x01\x01",
         false, Format::Elf, nullptr},
        {"text that is neither goes to the S-record check", "hello\n", false, Format::SRecords,
         nullptr},
        {"an empty file too", "", false, Format::SRecords, nullptr},
        {"binary needs a base", QByteArray("\x00\x20\x00\x20\x01\x02", 6), false, Format::Binary,
         "--binary-base ADDRESS"},
        {"binary with a base", QByteArray("\x00\x20\x00\x20\x01\x02", 6), true, Format::Binary,
         nullptr},
        {"text with a base is a binary", "Serial=1234\n", true, Format::Binary, nullptr},
        {"HEX with a base", ":020000040800F2\n", true, Format::IntelHex,
         "is Intel HEX, which carries its own addresses: leave --binary-base out"},
        {"ELF with a base",
         "\x7F"
         "ELF\x02\x02",
         true, Format::Elf, "is ELF, which carries its own addresses"},
        {"S-records behind a byte-order mark", "\xEF\xBB\xBFS00600004844521B\n", false,
         Format::SRecords,
         "starts with a UTF-8 byte-order mark (EF BB BF), which the device would take as part of "
         "the first record: save the file without it"},
        {"HEX behind a byte-order mark", "\xEF\xBB\xBF:00000001FF\n", true, Format::IntelHex,
         "starts with a UTF-8 byte-order mark"},
        {"gzip", "\x1F\x8B\x08\x00", true, Format::Binary, "is gzip-compressed: unpack it first"},
        {"zip", "PK\x03\x04rest", false, Format::Binary, "is a ZIP archive"},
        {"UTF-16", "\xFF\xFES\x001\x00", false, Format::Binary, "is UTF-16 text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Recognition r = recognise(c.content, c.binaryBase);
        EXPECT_EQ(r.format, c.format);
        if (c.refusal)
            EXPECT_TRUE(r.refusal.contains(QString::fromUtf8(c.refusal)))
                << r.refusal.toStdString();
        else
            EXPECT_TRUE(r.refusal.isEmpty()) << r.refusal.toStdString();
    }
}

// Every file a run must not send, refused with the place that makes it so.
TEST(FirmwareRefusals, eachNamesThePlace) {
    const QByteArray data16 = bytes(16);
    QByteArray badChecksum = hexRecord(0, 0x100, data16);
    badChecksum.replace(badChecksum.size() - 2, 2, "00");
    const QByteArray cutShort = hexRecord(0, 0x110, data16).chopped(10);
    const ElfSegment noContents{.physicalAddress = 0x8000, .contents = {}, .memorySize = 0x100};
    const ElfSegment note{.type = 4, .physicalAddress = 0, .contents = "note"};
    const struct {
        const char *name;
        QByteArray content;
        std::optional<quint64> binaryBase;
        const char *says;
    } cases[] = {
        {"a HEX record cut short",
         lines({hexRecord(0, 0x100, data16), cutShort, hexEnd()}),
         {},
         "line 2 is cut short: it holds 11 of the 16 data bytes its count announces"},
        {"a bad HEX checksum",
         lines({badChecksum, hexEnd()}),
         {},
         "line 1 has a bad checksum: it reads 00 where its bytes give "},
        {"a HEX record without its first digits",
         lines({":0000", hexEnd()}),
         {},
         "line 1 is cut short: a record has at least 10 hex digits"},
        {"an odd number of digits",
         lines({hexRecord(0, 0, "a") + "0", hexEnd()}),
         {},
         "line 1 has an odd number of hex digits"},
        {"a character that is no hex digit",
         lines({":10G0", hexEnd()}),
         {},
         "line 1 holds \"G\", which is not a hex digit"},
        {"a HEX record type that does not exist",
         lines({hexRecord(6, 0, {}), hexEnd()}),
         {},
         "line 1 has record type 06, which Intel HEX does not have (00 to 05)"},
        {"an address record of the wrong size",
         lines({hexRecord(4, 0, "abc"), hexEnd()}),
         {},
         "line 1 is an extended linear address record (04) with 3 data bytes; it takes 2"},
        {"blanks after a HEX record's checksum",
         lines({hexRecord(0, 0, data16), hexRecord(0, 16, data16) + "  ", hexEnd()}),
         {},
         "line 2 has 2 blanks after its checksum"},
        {"a line that is no HEX record",
         lines({hexRecord(0, 0, data16), "S1130000", hexEnd()}),
         {},
         "line 2 does not start with the record mark \":\""},
        {"a record after the end of file",
         lines({hexRecord(0, 0, data16), hexEnd(), hexRecord(0, 0x20, data16)}),
         {},
         "line 3 follows the end-of-file record on line 2"},
        {"no end-of-file record",
         lines({hexRecord(0, 0, data16)}),
         {},
         "has no end-of-file record (:00000001FF): the file may be cut short"},
        {"no data record",
         lines({hexRecord(4, 0, word16(0x0800)), hexEnd()}),
         {},
         "has no data record (type 00)"},
        {"two start addresses",
         lines({hexRecord(0, 0, data16), hexRecord(5, 0, word32(0x100)),
                hexRecord(5, 0, word32(0x200)), hexEnd()}),
         {},
         "line 3 gives another start address than line 2 (0x00000200, not 0x00000100)"},
        {"HEX ranges that overlap with other bytes",
         lines({hexRecord(0, 0x100, data16), hexRecord(0, 0x108, bytes(16, 8)),
                hexRecord(0, 0x110, bytes(4, 99)), hexEnd()}),
         {},
         "gives 0x00000110 two values: 0x10 from line 2 and 0x63 from line 3; a file must give "
         "each address one"},
        {"an ELF without loadable segments",
         FirmwareFiles::elf({.segments = {note, noContents}}),
         {},
         "has no loadable segment with contents in it"},
        {"an ELF object file",
         FirmwareFiles::elf({.type = 1, .segments = {}}),
         {},
         "is a relocatable object file (.o), not a linked program: link it into a program first"},
        {"an ELF cut short",
         FirmwareFiles::elf({.segments = {{.physicalAddress = 0x8000, .contents = bytes(64)}}})
             .chopped(1),
         {},
         "is cut short: segment 0 holds 64 bytes from file offset 0x54, past the end of the file "
         "(147 bytes)"},
        {"ELF segments that overlap with other bytes",
         FirmwareFiles::elf({.wide = true,
                             .segments = {{.physicalAddress = 0x8000, .contents = bytes(32)},
                                          {.physicalAddress = 0x8010, .contents = bytes(32, 1)}}}),
         {},
         "gives 0x00008010 two values: 0x10 from segment 0 (file offset 0xB0) and 0x01 from "
         "segment 1 (file offset 0xD0)"},
        {"an ELF segment past 4 GiB",
         FirmwareFiles::elf(
             {.wide = true, .segments = {{.physicalAddress = 0xFFFFFFF8, .contents = bytes(16)}}}),
         {},
         "has segment 0 loaded at 0xFFFFFFF8, past the 32-bit address space"},
        {"a binary without a base address",
         bytes(256),
         {},
         "is a raw binary, which holds no addresses: tarnix-pellora-cli sends one with the address "
         "of its first byte, --binary-base ADDRESS"},
        {"a binary past 4 GiB", bytes(256), 0xFFFFFF80,
         "does not fit at 0xFFFFFF80: its 256 bytes run past the 32-bit address space"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Conversion conversion =
            convert(c.content, QStringLiteral("f"), {.binaryBase = c.binaryBase});
        EXPECT_TRUE(conversion.refused());
        EXPECT_TRUE(conversion.records.isEmpty());
        EXPECT_TRUE(refusalText(conversion).contains(QString::fromUtf8(c.says)))
            << refusalText(conversion).toStdString();
    }
}

// What the HEX reader places where, by the address records before the data: the S-records it
// becomes, read back, hold exactly these bytes and this start address.
TEST(IntelHexReading, addressRecordsPlaceTheData) {
    const QByteArray a = bytes(16, 0x10);
    const QByteArray b = bytes(8, 0x80);
    const struct {
        const char *name;
        QList<QByteArray> records;
        std::map<quint64, char> image;
        quint64 start;
    } cases[] = {
        {"plain 16-bit offsets",
         {hexRecord(0, 0x1000, a), hexRecord(0, 0x2000, b)},
         imageAt(0x1000, a) + imageAt(0x2000, b),
         0},
        {"extended linear address",
         {hexRecord(4, 0, word16(0x0800)), hexRecord(0, 0x0010, a), hexRecord(4, 0, word16(0x0801)),
          hexRecord(0, 0xFFF8, b)},
         imageAt(0x08000010, a) + imageAt(0x0801FFF8, b),
         0},
        {"a linear record runs on past its 64 KiB block",
         {hexRecord(4, 0, word16(0x0001)), hexRecord(0, 0xFFF8, a)},
         imageAt(0x1FFF8, a),
         0},
        {"extended segment address: base times 16",
         {hexRecord(2, 0, word16(0x1000)), hexRecord(0, 0x0004, a)},
         imageAt(0x10004, a),
         0},
        {"a segment record wraps within its segment",
         {hexRecord(2, 0, word16(0x1000)), hexRecord(0, 0xFFF8, a)},
         imageAt(0x1FFF8, a.first(8)) + imageAt(0x10000, a.sliced(8)),
         0},
        {"a linear record after a segment record starts afresh",
         {hexRecord(2, 0, word16(0x1000)), hexRecord(4, 0, word16(0x0002)), hexRecord(0, 0, b)},
         imageAt(0x20000, b),
         0},
        {"start linear address",
         {hexRecord(0, 0, b), hexRecord(5, 0, word32(0x08000123))},
         imageAt(0, b),
         0x08000123},
        {"start segment address: CS times 16 plus IP",
         {hexRecord(0, 0, b), hexRecord(3, 0, word32(0x00102345))},
         imageAt(0, b),
         0x2445},
        {"the same bytes twice are one",
         {hexRecord(0, 0x100, a), hexRecord(0, 0x108, a.sliced(8))},
         imageAt(0x100, a),
         0},
        {"records out of order",
         {hexRecord(0, 0x110, b), hexRecord(0, 0x100, a)},
         imageAt(0x100, a) + imageAt(0x110, b),
         0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QList<QByteArray> records = c.records;
        records.append(hexEnd());
        // CR LF and a blank line change nothing.
        const Conversion conversion =
            convert("\r\n" + lines(records, "\r\n"), QStringLiteral("a.hex"));
        ASSERT_FALSE(conversion.refused()) << refusalText(conversion).toStdString();
        quint64 start = ~0ull;
        EXPECT_EQ(imageOf(conversion.records, &start), c.image);
        EXPECT_EQ(start, c.start);
    }
}

// A linked program's loadable segments, in each class and byte order, from the program header
// table: the file contents at the physical address, memory beyond them left alone.
TEST(ElfReading, loadableSegmentsAtTheirPhysicalAddresses) {
    const QByteArray text = bytes(40, 1);
    const QByteArray data = bytes(12, 100);
    for (const bool wide : {false, true}) {
        for (const bool bigEndian : {false, true}) {
            SCOPED_TRACE(QStringLiteral("%1-bit, %2")
                             .arg(wide ? 64 : 32)
                             .arg(bigEndian ? "big-endian" : "little-endian")
                             .toStdString());
            const ElfProgram program{
                .wide = wide,
                .bigEndian = bigEndian,
                .type = 2,
                .entry = 0x00400101,
                .segments = {{.physicalAddress = 0x00400000, .contents = text},
                             {.type = 4, .physicalAddress = 0, .contents = "a note"},
                             {.physicalAddress = 0x00401000, .contents = data, .memorySize = 0x100},
                             {.physicalAddress = 0x00402000, .contents = {}, .memorySize = 0x400}}};
            const Conversion conversion =
                convert(FirmwareFiles::elf(program), QStringLiteral("app.elf"));
            ASSERT_FALSE(conversion.refused()) << refusalText(conversion).toStdString();
            EXPECT_EQ(conversion.format, Format::Elf);
            quint64 start = 0;
            EXPECT_EQ(imageOf(conversion.records, &start),
                      imageAt(0x00400000, text) + imageAt(0x00401000, data));
            EXPECT_EQ(start, 0x00400101u);
            EXPECT_EQ(conversion.dataType, '2');
            EXPECT_EQ(conversion.startOrigin, QStringLiteral("the ELF entry point"));
        }
    }
    // A shared object (a position-independent program) is taken as well.
    EXPECT_FALSE(
        convert(FirmwareFiles::elf({.type = 3, .segments = {{.contents = text}}}), {}).refused());
}

// The S-records written for an image: the widest address decides the record types, each run is
// cut into records from its first address, holes get none, the header names the file. What the
// encoder says of them without reading them is what a scan of them finds.
TEST(SRecordEncoding, recordsForAnImage) {
    using SRecordWriter::record;
    const QByteArray a = bytes(20, 0xA0);
    const QByteArray b = bytes(3, 0x30);
    const auto run = [](quint64 address, const QByteArray &data) {
        return Image::Run{address, data};
    };
    const struct {
        const char *name;
        Image image;
        int recordBytes;
        QByteArray header;
        QList<QByteArray> expected;
    } cases[] = {
        {"S1 up to 0xFFFF, with a hole",
         {{run(0x0000, a), run(0xFFFD, b)}, 0x0000},
         16,
         "a.hex",
         {record('0', 0, "a.hex"), record('1', 0, a.first(16)), record('1', 0x10, a.sliced(16)),
          record('1', 0xFFFD, b), record('9', 0, {})}},
        {"S2 from 0x10000",
         {{run(0xFFFF, b)}, 0},
         16,
         "x",
         {record('0', 0, "x"), record('2', 0xFFFF, b), record('8', 0, {})}},
        {"S3 from 0x1000000",
         {{run(0x00FFFFFF, b)}, 0},
         16,
         "x",
         {record('0', 0, "x"), record('3', 0x00FFFFFF, b), record('7', 0, {})}},
        {"a start address above the data widens the records",
         {{run(0x100, b)}, 0x08000000},
         16,
         "x",
         {record('0', 0, "x"), record('3', 0x100, b), record('7', 0x08000000, {})}},
        {"one byte a record",
         {{run(0xFFF0, b)}, 0xFFF1},
         1,
         "x",
         {record('0', 0, "x"), record('1', 0xFFF0, b.first(1)), record('1', 0xFFF1, b.sliced(1, 1)),
          record('1', 0xFFF2, b.sliced(2)), record('9', 0xFFF1, {})}},
        {"64 bytes a record",
         {{run(0x20000, bytes(130))}, 0},
         64,
         "x",
         {record('0', 0, "x"), record('2', 0x20000, bytes(64)), record('2', 0x20040, bytes(64, 64)),
          record('2', 0x20080, bytes(2, 128)), record('8', 0, {})}},
        {"a long name is cut whole characters",
         {{run(0, b)}, 0},
         16,
         QByteArray(63, 'n') + "\xC3\xA4.hex",
         {record('0', 0, QByteArray(63, 'n')), record('1', 0, b), record('9', 0, {})}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const Encoding encoding = encodeSRecords(c.image, c.header, c.recordBytes);
        EXPECT_EQ(encoding.text, lines(c.expected));
        EXPECT_EQ(encoding.dataRecords, c.expected.size() - 2);
        const FileCheck::Report made = FileCheck::reportOf(encoding, c.image);
        const FileCheck::Report scanned = FileCheck::scan(encoding.text);
        EXPECT_EQ(made.sha256, scanned.sha256);
        EXPECT_EQ(made.lines, scanned.lines);
        EXPECT_EQ(made.records, scanned.records);
        EXPECT_EQ(made.ranges, scanned.ranges);
        EXPECT_EQ(made.dataBytes, scanned.dataBytes);
        ASSERT_TRUE(made.start && scanned.start);
        EXPECT_EQ(std::tie(made.start->type, made.start->address, made.start->line),
                  std::tie(scanned.start->type, scanned.start->address, scanned.start->line));
    }
}

TEST(ConversionSummary, saysWhatTheFileBecame) {
    // Three ranges of 4,096 bytes above 64 KiB: 768 S2 records of 16 bytes.
    QList<QByteArray> records = {hexRecord(4, 0, word16(0x0001))};
    for (const quint16 base : {0x0000, 0x4000, 0x9000})
        for (int at = 0; at < 4096; at += 16)
            records.append(hexRecord(0, static_cast<quint16>(base + at), bytes(16, at)));
    records.append(hexEnd());
    const Conversion conversion = convert(lines(records), QStringLiteral("app.hex"));
    EXPECT_EQ(
        summary(QStringLiteral("app.hex"), conversion),
        QStringLiteral("app.hex: Intel HEX, 12,288 bytes in 3 ranges, sent as 768 S2 records"));
    EXPECT_EQ(summary(QStringLiteral("one.bin"),
                      convert(QByteArray(1, '\0'), QStringLiteral("one.bin"), {.binaryBase = 0})),
              QStringLiteral("one.bin: raw binary, 1 byte in 1 range, sent as 1 S1 record"));
    // S-records are sent as they are: nothing to say.
    EXPECT_TRUE(summary(QStringLiteral("a.srec"), convert("S1130000", {})).isEmpty());
}
