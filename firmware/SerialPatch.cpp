#include "firmware/SerialPatch.h"

#include "firmware/Hex.h"
#include "firmware/SRecordCheck.h"
#include "firmware/SRecordEncoder.h"

#include <QRegularExpression>
#include <algorithm>
#include <vector>

namespace firmware {

namespace {

struct FormName {
    SerialLayout::Form form;
    const char *name;
};
constexpr FormName FormNames[] = {
    {SerialLayout::Form::LittleEndian, "le"}, {SerialLayout::Form::BigEndian, "be"},
    {SerialLayout::Form::Ascii, "ascii"},     {SerialLayout::Form::Hex, "hex"},
    {SerialLayout::Form::Bcd, "bcd"},         {SerialLayout::Form::Bytes, "bytes"},
};

constexpr char Digits[] = "0123456789ABCDEF";

QByteArray hexByte(quint8 byte) {
    const char digits[] = {Digits[byte >> 4], Digits[byte & 0xF]};
    return QByteArray(digits, 2);
}

// One S-record line, made whole, without its line end.
QByteArray recordLine(char type, int addressBytes, quint64 address, QByteArrayView data) {
    QByteArray line;
    appendSRecord(line, type, addressBytes, address, data);
    return line;
}

quint8 byteAt(QByteArrayView line, qsizetype index) { // index 0: the count byte
    return static_cast<quint8>(hexValue(line[2 + 2 * index]) * 16 + hexValue(line[3 + 2 * index]));
}

// A well-formed record's fields.
struct Record {
    char type = 0;
    int addressBytes = 0;
    quint64 address = 0;
    qsizetype dataBytes = 0;

    explicit Record(QByteArrayView line) : type(line[1]) {
        addressBytes = SRecordCheck::addressBytes(type);
        const qsizetype bytes = byteAt(line, 0) + 1;
        for (int i = 1; i <= addressBytes; ++i)
            address = address << 8 | byteAt(line, i);
        dataBytes = bytes - addressBytes - 2;
    }
    quint64 end() const { return address + static_cast<quint64>(dataBytes); } // past the last
};

// The record with the data bytes from `offset` on replaced by `bytes`, and its checksum made
// right; every other digit as it was.
QByteArray rewritten(QByteArrayView line, const Record &record, qsizetype offset,
                     QByteArrayView bytes) {
    QByteArray out(line.data(), line.size());
    const qsizetype firstData = 1 + record.addressBytes;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const QByteArray digits = hexByte(static_cast<quint8>(bytes[i]));
        const qsizetype at = 2 + 2 * (firstData + offset + i);
        out[at] = digits[0];
        out[at + 1] = digits[1];
    }
    const qsizetype last = byteAt(out, 0); // the checksum's index
    quint8 sum = 0;
    for (qsizetype i = 0; i < last; ++i)
        sum = static_cast<quint8>(sum + byteAt(out, i));
    const QByteArray checksum = hexByte(static_cast<quint8>(~sum));
    out[2 + 2 * last] = checksum[0];
    out[3 + 2 * last] = checksum[1];
    return out;
}

int narrowestAddressBytes(quint64 last) {
    return last <= 0xFFFF ? 2 : last <= 0xFFFFFF ? 3 : 4;
}

// The records the patched text holds bytes of the patch in, by line number, as changed (the file
// had data there) or added.
PatchedLines linesOf(QByteArrayView text, quint64 address, quint64 end, const Image &before) {
    const auto held = [&before](quint64 first, quint64 past) {
        return std::any_of(before.runs.begin(), before.runs.end(), [&](const Image::Run &run) {
            return run.address < past && run.last() >= first;
        });
    };
    PatchedLines lines;
    TextLines cursor(text, TextLines::LoneLastByte::Dropped);
    qint64 number = 0;
    while (const auto line = cursor.next()) {
        ++number;
        if (line->size() < 2 || !SRecordCheck::isDataRecord((*line)[1]))
            continue;
        const Record record(*line);
        if (record.address < end && record.end() > address)
            (held(record.address, record.end()) ? lines.changed : lines.added).append(number);
    }
    return lines;
}

std::variant<Patched, QString> patchConverted(const CheckedFile &checked, quint64 address,
                                              QByteArrayView bytes) {
    const Conversion &conversion = checked.source.conversion;
    Image image = *conversion.image;
    if (!writeInto(image, address, bytes))
        return QStringLiteral("the number at %1 would run past the 32-bit address space")
            .arg(hex(address));
    const Encoding encoding = encodeSRecords(image, conversion.header, conversion.recordBytes);
    Patched patched;
    patched.file.source = checked.source;
    patched.file.source.conversion.image.reset();
    patched.file.report = FileCheck::reportOf(encoding, image);
    patched.file.bytes = encoding.text;
    patched.lines = linesOf(patched.file.bytes, address,
                            address + static_cast<quint64>(bytes.size()), *conversion.image);
    return patched;
}

std::variant<Patched, QString> patchRecords(const CheckedFile &checked, quint64 address,
                                            QByteArrayView bytes) {
    const QByteArray &text = checked.bytes;
    const quint64 end = address + static_cast<quint64>(bytes.size());
    std::vector<bool> covered(static_cast<std::size_t>(bytes.size()), false);
    // Replacements of whole lines, and the insertion of new records, by their place in the text.
    struct Edit {
        qsizetype from = 0;
        qsizetype size = 0; // of the text replaced; 0 for an insertion
        QByteArray with;
    };
    std::vector<Edit> edits;
    PatchedLines lines;
    std::optional<Edit> insertion;
    qint64 insertLine = 0;
    QByteArray lineEnd;
    std::optional<std::pair<qint64, Record>> count; // the first count record
    qsizetype countFrom = 0;
    qsizetype countSize = 0;

    TextLines cursor(checked.lines());
    qint64 number = 0;
    qsizetype sentEnd = 0;
    for (qsizetype from = 0; const auto line = cursor.next(); from = cursor.position()) {
        ++number;
        sentEnd = cursor.position();
        const qsizetype terminatorSize = cursor.position() - from - line->size();
        const QByteArrayView terminator =
            QByteArrayView(text).sliced(from + line->size(), terminatorSize);
        if (lineEnd.isEmpty() && !terminator.isEmpty())
            lineEnd = terminator.toByteArray();
        if (line->isEmpty())
            continue;
        const char type = (*line)[1];
        // New records go after the last data record, before the count or termination record that
        // follows it: a count record counts the data records before it.
        if (SRecordCheck::isDataRecord(type)) {
            insertion.reset();
            count.reset();
        } else if ((SRecordCheck::isTerminationRecord(type) || type == '5' || type == '6') &&
                   !insertion) {
            insertion = Edit{from, 0, {}};
            insertLine = number;
        }
        if (SRecordCheck::isTerminationRecord(type) && !terminator.isEmpty())
            lineEnd = terminator.toByteArray();
        if ((type == '5' || type == '6') && !count) {
            count.emplace(number, Record(*line));
            countFrom = from;
            countSize = line->size();
        }
        if (!SRecordCheck::isDataRecord(type))
            continue;
        const Record record(*line);
        if (record.address >= end || record.end() <= address)
            continue;
        const quint64 first = std::max(record.address, address);
        const quint64 past = std::min(record.end(), end);
        for (quint64 a = first; a < past; ++a)
            covered[static_cast<std::size_t>(a - address)] = true;
        edits.push_back({from, line->size(),
                         rewritten(*line, record, static_cast<qsizetype>(first - record.address),
                                   bytes.sliced(static_cast<qsizetype>(first - address),
                                                static_cast<qsizetype>(past - first)))});
        lines.changed.append(number);
    }
    if (lineEnd.isEmpty())
        lineEnd = "\n";

    // The bytes no record holds: a record of their own for each stretch, with the narrowest
    // address that holds it.
    QByteArray added;
    qint64 addedCount = 0;
    for (qsizetype i = 0; i < bytes.size();) {
        if (covered[static_cast<std::size_t>(i)]) {
            ++i;
            continue;
        }
        qsizetype j = i;
        while (j < bytes.size() && !covered[static_cast<std::size_t>(j)])
            ++j;
        const quint64 first = address + static_cast<quint64>(i);
        const int width = narrowestAddressBytes(first + static_cast<quint64>(j - i) - 1);
        added +=
            recordLine(static_cast<char>('1' + width - 2), width, first, bytes.sliced(i, j - i)) +
            lineEnd;
        ++addedCount;
        i = j;
    }
    if (addedCount > 0) {
        // Before the termination record; without one, after the last line sent, which gets a line
        // end first if it has none.
        if (!insertion) {
            insertion = Edit{sentEnd, 0, {}};
            insertLine = number + 1;
            if (sentEnd > 0 && text[sentEnd - 1] != '\n' && text[sentEnd - 1] != '\r')
                added.prepend(lineEnd);
        }
        insertion->with = added;
        edits.push_back(*insertion);
        for (qint64 k = 0; k < addedCount; ++k)
            lines.added.append(insertLine + k);
        // The count record counts the data records the device is sent, the new ones too.
        if (count) {
            const quint64 value = count->second.address + static_cast<quint64>(addedCount);
            const bool wider = value > 0xFFFF;
            edits.push_back({countFrom, countSize,
                             recordLine(wider ? '6' : count->second.type,
                                        wider ? 3 : count->second.addressBytes, value, {})});
            lines.countLine = count->first + (countFrom >= insertion->from ? addedCount : 0);
        }
    }

    std::sort(edits.begin(), edits.end(),
              [](const Edit &a, const Edit &b) { return a.from < b.from; });
    QByteArray out;
    out.reserve(text.size() + added.size());
    qsizetype copied = 0;
    for (const Edit &edit : edits) {
        out += QByteArrayView(text).sliced(copied, edit.from - copied);
        out += edit.with;
        copied = edit.from + edit.size;
    }
    out += QByteArrayView(text).sliced(copied);

    Patched patched;
    patched.file = checkFile(out, QString());
    patched.file.source = checked.source;
    patched.lines = lines;
    return patched;
}

} // namespace

std::variant<SerialLayout, QString> SerialLayout::parse(const QString &text) {
    static const QRegularExpression Pattern(
        QStringLiteral("^(0[xX][0-9A-Fa-f]{1,8}|[0-9]{1,10}):([a-z]+):([0-9]{1,3})$"));
    const QRegularExpressionMatch match = Pattern.match(text);
    if (!match.hasMatch())
        return QStringLiteral("--serial expects ADDRESS:FORMAT:WIDTH, e.g. 0x0800FFF0:le:4, not "
                              "\"%1\"")
            .arg(text);
    SerialLayout layout;
    const QString address = match.captured(1);
    bool ok = false;
    layout.address = address.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                         ? address.mid(2).toULongLong(&ok, 16)
                         : address.toULongLong(&ok, 10);
    if (!ok || layout.address > MaxAddress)
        return QStringLiteral("--serial: the address %1 is past 0xFFFFFFFF").arg(address);
    const QString form = match.captured(2);
    const auto named =
        std::find_if(std::begin(FormNames), std::end(FormNames),
                     [&](const FormName &f) { return form == QLatin1String(f.name); });
    if (named == std::end(FormNames))
        return QStringLiteral("--serial: the format is le, be, ascii, hex, bcd or bytes, not "
                              "\"%1\"")
            .arg(form);
    layout.form = named->form;
    layout.width = match.captured(3).toInt();
    const bool integer = layout.form == Form::LittleEndian || layout.form == Form::BigEndian;
    const int widest = integer ? MaxIntegerBytes : MaxWidth;
    if (layout.width < 1 || layout.width > widest)
        return QStringLiteral("--serial: the width of %1 is 1 to %2, not %3")
            .arg(form)
            .arg(widest)
            .arg(layout.width);
    if (layout.address + static_cast<quint64>(layout.width) - 1 > MaxAddress)
        return QStringLiteral("--serial: %1 bytes at %2 run past 0xFFFFFFFF")
            .arg(layout.width)
            .arg(hex(layout.address));
    return layout;
}

QString SerialLayout::formName() const {
    for (const FormName &f : FormNames)
        if (f.form == form)
            return QString::fromLatin1(f.name);
    return {};
}

QString serialText(const SerialValue &value) {
    if (const quint64 *number = std::get_if<quint64>(&value))
        return QString::number(*number);
    return QString::fromLatin1(std::get<QByteArray>(value).toHex(':').toUpper());
}

std::variant<QByteArray, QString> serialBytes(const SerialLayout &layout,
                                              const SerialValue &value) {
    const QString spec = QStringLiteral("%1:%2").arg(layout.formName()).arg(layout.width);
    const auto tooWide = [&](const QString &limit) {
        return QStringLiteral("serial %1 does not fit in %2 (%3)")
            .arg(serialText(value), spec, limit);
    };
    if (layout.form == SerialLayout::Form::Bytes) {
        const QByteArray *bytes = std::get_if<QByteArray>(&value);
        if (!bytes)
            return QStringLiteral("serial %1 is a number; the bytes format takes hex bytes from "
                                  "--serial-list")
                .arg(serialText(value));
        if (bytes->size() != layout.width)
            return QStringLiteral("serial %1 has %2 bytes; %3 takes exactly %4")
                .arg(serialText(value))
                .arg(bytes->size())
                .arg(spec)
                .arg(layout.width);
        return *bytes;
    }
    const quint64 *number = std::get_if<quint64>(&value);
    if (!number)
        return QStringLiteral("serial %1 is bytes; %2 writes a number (use the bytes format)")
            .arg(serialText(value), spec);
    const int width = layout.width;
    switch (layout.form) {
    case SerialLayout::Form::LittleEndian:
    case SerialLayout::Form::BigEndian: {
        if (width < 8 && *number >> (8 * width) != 0)
            return tooWide(QStringLiteral("at most %1").arg((quint64{1} << (8 * width)) - 1));
        QByteArray out(width, '\0');
        for (int i = 0; i < width; ++i) {
            const char byte = static_cast<char>(*number >> (8 * i));
            out[layout.form == SerialLayout::Form::LittleEndian ? i : width - 1 - i] = byte;
        }
        return out;
    }
    case SerialLayout::Form::Ascii:
    case SerialLayout::Form::Hex: {
        const bool decimal = layout.form == SerialLayout::Form::Ascii;
        const QByteArray digits = QByteArray::number(*number, decimal ? 10 : 16).toUpper();
        if (digits.size() > width)
            return tooWide(QStringLiteral("at most %1 digits").arg(width));
        return QByteArray(width - digits.size(), '0') + digits;
    }
    case SerialLayout::Form::Bcd: {
        const QByteArray digits = QByteArray::number(*number);
        if (digits.size() > 2 * width)
            return tooWide(QStringLiteral("at most %1 digits").arg(2 * width));
        const QByteArray padded = QByteArray(2 * width - digits.size(), '0') + digits;
        QByteArray out(width, '\0');
        for (int i = 0; i < width; ++i)
            out[i] = static_cast<char>((padded[2 * i] - '0') << 4 | (padded[2 * i + 1] - '0'));
        return out;
    }
    case SerialLayout::Form::Bytes:
        break;
    }
    return QString();
}

bool writeInto(Image &image, quint64 address, QByteArrayView bytes) {
    if (bytes.isEmpty())
        return true;
    const quint64 last = address + static_cast<quint64>(bytes.size()) - 1;
    if (address > MaxAddress || last > MaxAddress)
        return false;
    // Every run the bytes overlap or touch becomes one with them; the bytes win.
    Image::Run joined{address, bytes.toByteArray()};
    std::vector<Image::Run> runs;
    for (Image::Run &run : image.runs) {
        if (run.last() + 1 < joined.address || run.address > joined.last() + 1) {
            runs.push_back(std::move(run));
            continue;
        }
        const quint64 first = std::min(run.address, joined.address);
        QByteArray merged(static_cast<qsizetype>(std::max(run.last(), joined.last()) - first + 1),
                          '\0');
        merged.replace(static_cast<qsizetype>(run.address - first), run.bytes.size(), run.bytes);
        merged.replace(static_cast<qsizetype>(joined.address - first), joined.bytes.size(),
                       joined.bytes);
        joined = Image::Run{first, std::move(merged)};
    }
    runs.push_back(std::move(joined));
    std::sort(runs.begin(), runs.end(),
              [](const Image::Run &a, const Image::Run &b) { return a.address < b.address; });
    image.runs = std::move(runs);
    return true;
}

std::variant<Patched, QString> patchFile(const CheckedFile &checked, quint64 address,
                                         QByteArrayView bytes) {
    if (address + static_cast<quint64>(bytes.size()) - 1 > MaxAddress)
        return QStringLiteral("the number at %1 would run past the 32-bit address space")
            .arg(hex(address));
    if (checked.converted())
        return patchConverted(checked, address, bytes);
    return patchRecords(checked, address, bytes);
}

} // namespace firmware
