// The firmware formats on arbitrary file contents. The first byte chooses the options (a binary's
// base address or none, the data bytes a record); the rest is the file.
// - Nothing crashes or hangs; a refused file yields no S-records.
// - The S-records made from an accepted file are well-formed (count, checksum, one address width,
//   the header first and the termination record last) and no record holds more than it may.
// - They hold exactly the bytes a plain reading of the file gives: an Intel HEX file read here from
//   the format's definition, a raw binary at its base; and the counts the conversion reports.
// - The report the conversion gives of them, without reading them, is what a scan of them finds.
#include "FuzzSupport.h"
#include "firmware/Conversion.h"

#include <map>
#include <optional>

namespace {

using Memory = std::map<quint64, char>;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Intel HEX as the format defines it: data at the offset plus the base of the last address
// record, an offset wrapping within its segment after an extended segment address record.
Memory referenceHex(const QByteArray &file) {
    Memory memory;
    quint64 base = 0;
    bool segmented = false;
    for (QByteArray line : file.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        for (const QByteArray &part : line.split('\r')) {
            if (part.isEmpty())
                continue;
            const QByteArray bytes = QByteArray::fromHex(part.mid(1));
            const auto u = [&](int i) {
                return static_cast<quint64>(static_cast<quint8>(bytes[i]));
            };
            const int type = static_cast<int>(u(3));
            const quint64 offset = u(1) << 8 | u(2);
            if (type == 0)
                for (qsizetype i = 0; i < static_cast<qsizetype>(u(0)); ++i)
                    memory[segmented ? base + ((offset + static_cast<quint64>(i)) & 0xFFFF)
                                     : base + offset + static_cast<quint64>(i)] = bytes[4 + i];
            if (type == 2 || type == 4) {
                segmented = type == 2;
                base = (u(4) << 8 | u(5)) << (type == 2 ? 4 : 16);
            }
        }
    }
    return memory;
}

struct Decoded {
    Memory memory;
    quint64 dataBytes = 0;
    qint64 dataRecords = 0;
};

// The S-records, each checked as a device would, and what their data records write.
Decoded decodeRecords(const QByteArray &text, int recordBytes) {
    Decoded d;
    const QList<QByteArray> lines = text.split('\n');
    FUZZ_CHECK(text.endsWith('\n') && lines.size() >= 3);
    char dataType = 0;
    for (qsizetype n = 0; n + 1 < lines.size(); ++n) {
        const QByteArray &line = lines[n];
        FUZZ_CHECK(line.size() >= 10 && line[0] == 'S' && line.size() % 2 == 0);
        for (qsizetype i = 2; i < line.size(); ++i)
            FUZZ_CHECK(hexValue(line[i]) >= 0 && !(line[i] >= 'a' && line[i] <= 'f'));
        const QByteArray bytes = QByteArray::fromHex(line.mid(2));
        FUZZ_CHECK(static_cast<quint8>(bytes[0]) == bytes.size() - 1);
        quint8 sum = 0;
        for (const char c : bytes)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        FUZZ_CHECK(sum == 0xFF);
        const char type = line[1];
        if (n == 0) {
            FUZZ_CHECK(type == '0');
            continue;
        }
        if (n + 2 == lines.size()) { // the termination record: the data's width, no data
            FUZZ_CHECK(type >= '7' && type <= '9' && dataType && type == '9' - (dataType - '1'));
            FUZZ_CHECK(bytes.size() == 1 + ('9' - type + 2) + 1);
            continue;
        }
        FUZZ_CHECK(type >= '1' && type <= '3' && (!dataType || type == dataType));
        dataType = type;
        const int width = type - '1' + 2;
        const qsizetype data = bytes.size() - 2 - width;
        FUZZ_CHECK(data >= 1 && data <= recordBytes);
        quint64 address = 0;
        for (int i = 1; i <= width; ++i)
            address = address << 8 | static_cast<quint8>(bytes[i]);
        for (qsizetype i = 0; i < data; ++i)
            FUZZ_CHECK(
                d.memory.emplace(address + static_cast<quint64>(i), bytes[1 + width + i]).second);
        d.dataBytes += static_cast<quint64>(data);
        ++d.dataRecords;
    }
    return d;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ensureApplication();
    FuzzInput in(data, size);
    const std::uint8_t choice = in.byte();
    firmware::ConversionOptions options;
    if (choice & 1)
        options.binaryBase = (choice & 2) ? 0xFFFFFF00u : 0x1000u;
    options.recordBytes = 1 + (choice >> 2) % firmware::Encoding::MaxRecordBytes;
    const QByteArray file = in.rest();

    const firmware::Conversion conversion =
        firmware::convert(file, QStringLiteral("fuzz.bin"), options);
    if (!conversion.converted() || conversion.refused()) {
        FUZZ_CHECK(conversion.records.isEmpty());
        return 0;
    }
    const Decoded decoded = decodeRecords(conversion.records, options.recordBytes);
    const FileCheck::Report &made = conversion.recordsReport;
    const FileCheck::Report scanned = FileCheck::scan(conversion.records);
    FUZZ_CHECK(made.wouldSend() == scanned.wouldSend() && made.fileProblem == scanned.fileProblem);
    FUZZ_CHECK(made.size == scanned.size && made.sha256 == scanned.sha256);
    FUZZ_CHECK(made.lines == scanned.lines && made.blankLines == scanned.blankLines);
    FUZZ_CHECK(made.records == scanned.records && made.ranges == scanned.ranges);
    FUZZ_CHECK(made.dataBytes == scanned.dataBytes);
    FUZZ_CHECK(made.start && scanned.start && made.start->type == scanned.start->type &&
               made.start->address == scanned.start->address &&
               made.start->line == scanned.start->line);
    FUZZ_CHECK(decoded.dataBytes == conversion.dataBytes);
    FUZZ_CHECK(decoded.dataRecords == conversion.dataRecords);
    if (conversion.format == firmware::Format::IntelHex)
        FUZZ_CHECK(decoded.memory == referenceHex(file));
    if (conversion.format == firmware::Format::Binary) {
        Memory placed;
        for (qsizetype i = 0; i < file.size(); ++i)
            placed[*options.binaryBase + static_cast<quint64>(i)] = file[i];
        FUZZ_CHECK(decoded.memory == placed);
    }
    return 0;
}
