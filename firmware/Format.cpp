#include "firmware/Format.h"

#include "firmware/Elf.h"

#include <array>

namespace firmware {

QString formatName(Format format) {
    switch (format) {
    case Format::SRecords:
        return QStringLiteral("Motorola S-records");
    case Format::IntelHex:
        return QStringLiteral("Intel HEX");
    case Format::Elf:
        return QStringLiteral("ELF");
    case Format::Binary:
        return QStringLiteral("raw binary");
    }
    return {};
}

QString formatWord(Format format) {
    switch (format) {
    case Format::SRecords:
        return QStringLiteral("s-record");
    case Format::IntelHex:
        return QStringLiteral("intel-hex");
    case Format::Elf:
        return QStringLiteral("elf");
    case Format::Binary:
        return QStringLiteral("binary");
    }
    return {};
}

namespace {

const QByteArrayView Utf8ByteOrderMark = "\xEF\xBB\xBF";

// Files an operator picks by mistake, by their first bytes, and what to do instead.
struct Kind {
    QByteArrayView magic;
    const char *refusal;
};
const std::array<Kind, 7> KnownKinds = {{
    {"\x1F\x8B", "is gzip-compressed: unpack it first"},
    {"PK\x03\x04", "is a ZIP archive: unpack the firmware file from it first"},
    {QByteArrayView("\xFD"
                    "7zXZ\0",
                    6),
     "is xz-compressed: unpack it first"},
    {"7z\xBC\xAF\x27\x1C", "is a 7-Zip archive: unpack the firmware file from it first"},
    {"%PDF-", "is a PDF document, not firmware"},
    {"\xFF\xFE", "is UTF-16 text: save it as plain ASCII text"},
    {"\xFE\xFF", "is UTF-16 text: save it as plain ASCII text"},
}};

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Text an editor shows as such: no control characters but tab, CR, LF and form feed, and UTF-8.
bool isText(QByteArrayView bytes) {
    for (const char c : bytes) {
        const auto u = static_cast<quint8>(c);
        if ((u < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != '\f') || u == 0x7F)
            return false;
    }
    return bytes.isValidUtf8();
}

// The format the first line that is not blank announces; S-records for anything else.
std::optional<Format> announcedFormat(QByteArrayView bytes) {
    qsizetype at = 0;
    while (at < bytes.size() && (bytes[at] == '\r' || bytes[at] == '\n'))
        ++at;
    if (at + 1 >= bytes.size())
        return std::nullopt;
    if (bytes[at] == ':' && isHexDigit(bytes[at + 1]))
        return Format::IntelHex;
    if (bytes[at] == 'S' && bytes[at + 1] >= '0' && bytes[at + 1] <= '9')
        return Format::SRecords;
    return std::nullopt;
}

Recognition withAddresses(Format format, bool binaryBaseGiven) {
    if (!binaryBaseGiven)
        return {format, {}};
    return {format,
            QStringLiteral("is %1, which carries its own addresses: leave --binary-base out")
                .arg(formatName(format))};
}

} // namespace

Recognition recognise(QByteArrayView bytes, bool binaryBaseGiven) {
    if (isElf(bytes))
        return withAddresses(Format::Elf, binaryBaseGiven);
    if (bytes.startsWith(Utf8ByteOrderMark) && isText(bytes.sliced(3)))
        return {announcedFormat(bytes.sliced(3)).value_or(Format::SRecords),
                QStringLiteral("starts with a UTF-8 byte-order mark (EF BB BF), which the device "
                               "would take as part of the first record: save the file without it")};
    for (const Kind &kind : KnownKinds)
        if (bytes.startsWith(kind.magic))
            return {Format::Binary, QString::fromLatin1(kind.refusal)};
    if (const std::optional<Format> format = announcedFormat(bytes))
        return withAddresses(*format, binaryBaseGiven);
    if (binaryBaseGiven)
        return {Format::Binary, {}};
    // Text is meant as records: the S-record check names the lines it cannot take.
    if (isText(bytes))
        return {Format::SRecords, {}};
    return {Format::Binary,
            QStringLiteral("is a raw binary, which holds no addresses: tarnix-pellora-cli sends "
                           "one with the address of its first byte, --binary-base ADDRESS (e.g. "
                           "--binary-base 0x08000000)")};
}

} // namespace firmware
