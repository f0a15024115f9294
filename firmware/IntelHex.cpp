#include "firmware/IntelHex.h"

#include "firmware/Hex.h"
#include "firmware/TextLines.h"

#include <array>

namespace firmware {

namespace {

enum RecordType : int {
    Data = 0,
    EndOfFile = 1,
    ExtendedSegmentAddress = 2,
    StartSegmentAddress = 3,
    ExtendedLinearAddress = 4,
    StartLinearAddress = 5,
};

// One record's bytes (count, address, type, data, checksum), or what keeps the line from being one,
// continuing "line N …".
struct Record {
    static constexpr qsizetype MaxBytes = 1 + 2 + 1 + 255 + 1;

    std::array<quint8, MaxBytes> bytes{};
    qsizetype size = 0;
    QString problem;

    static Record refused(QString problem) {
        Record r;
        r.problem = std::move(problem);
        return r;
    }
    int count() const { return bytes[0]; }
    quint32 offset() const { return static_cast<quint32>(bytes[1]) << 8 | bytes[2]; }
    int type() const { return bytes[3]; }
    QByteArrayView data() const {
        return QByteArrayView(reinterpret_cast<const char *>(bytes.data()) + 4, count());
    }
    quint32 value() const { // of a 2- or 4-byte address record, big-endian
        quint32 v = 0;
        for (const char c : data())
            v = v << 8 | static_cast<quint8>(c);
        return v;
    }
};

QString twoDigits(int value) {
    return QString::number(value, 16).toUpper().rightJustified(2, QLatin1Char('0'));
}

// A character as a note names it: "\"G\"", "a blank", "byte 0x00".
QString shown(char c) {
    if (c == ' ' || c == '\t')
        return QStringLiteral("a blank");
    if (c > ' ' && c < 0x7F)
        return QStringLiteral("\"%1\"").arg(QLatin1Char(c));
    return QStringLiteral("byte ") + hex(static_cast<quint8>(c), 2);
}

const char *typeName(int type) {
    switch (type) {
    case ExtendedSegmentAddress:
        return "an extended segment address record (02)";
    case StartSegmentAddress:
        return "a start segment address record (03)";
    case ExtendedLinearAddress:
        return "an extended linear address record (04)";
    case StartLinearAddress:
        return "a start linear address record (05)";
    default:
        return "an end-of-file record (01)";
    }
}

Record parse(QByteArrayView line) {
    if (line[0] != ':')
        return Record::refused(QStringLiteral("does not start with the record mark \":\""));
    const QByteArrayView hex = line.sliced(1);
    for (const char c : hex)
        if (hexValue(c) < 0)
            return Record::refused(
                QStringLiteral("holds %1, which is not a hex digit").arg(shown(c)));
    if (hex.size() % 2 != 0)
        return Record::refused(QStringLiteral("has an odd number of hex digits: it is cut short "
                                              "or has one too many"));
    if (hex.size() < 10)
        return Record::refused(QStringLiteral("is cut short: a record has at least 10 hex digits "
                                              "(count, address, type, checksum), this one %1")
                                   .arg(hex.size()));
    const int count = hexValue(hex[0]) * 16 + hexValue(hex[1]);
    const qsizetype data = hex.size() / 2 - 5;
    if (data < count)
        return Record::refused(QStringLiteral("is cut short: it holds %1 of the %2 data bytes "
                                              "its count announces")
                                   .arg(data)
                                   .arg(count));
    if (data > count)
        return Record::refused(QStringLiteral("holds %1 data bytes where its count announces %2")
                                   .arg(data)
                                   .arg(count));
    Record r;
    r.size = hex.size() / 2;
    quint8 sum = 0;
    for (qsizetype i = 0; i < r.size; ++i) {
        r.bytes[static_cast<std::size_t>(i)] =
            static_cast<quint8>(hexValue(hex[2 * i]) * 16 + hexValue(hex[2 * i + 1]));
        sum = static_cast<quint8>(sum + r.bytes[static_cast<std::size_t>(i)]);
    }
    if (sum != 0) {
        const quint8 written = r.bytes[static_cast<std::size_t>(r.size - 1)];
        const auto right = static_cast<quint8>(written - sum);
        return Record::refused(
            QStringLiteral("has a bad checksum: it reads %1 where its bytes give %2")
                .arg(twoDigits(written), twoDigits(right)));
    }
    if (r.type() > StartLinearAddress)
        return Record::refused(
            QStringLiteral("has record type %1, which Intel HEX does not have (00 to 05)")
                .arg(twoDigits(r.type())));
    static constexpr std::array<int, 6> Sizes = {-1, 0, 2, 4, 2, 4};
    const int expected = Sizes[static_cast<std::size_t>(r.type())];
    if (expected >= 0 && r.count() != expected)
        return Record::refused(QStringLiteral("is %1 with %2 data bytes; it takes %3")
                                   .arg(QString::fromLatin1(typeName(r.type())))
                                   .arg(r.count())
                                   .arg(expected));
    return r;
}

class HexReader {
public:
    HexReader(const PieceSink &sink) : sink_(sink) {
        outcome_.placeName = [](qint64 line) { return QStringLiteral("line %1").arg(line); };
    }

    void take(QByteArrayView line, qint64 number) {
        if (line.isEmpty())
            return;
        if (endLine_ > 0)
            return outcome_.addProblem(
                number, QStringLiteral("follows the end-of-file record on line %1").arg(endLine_));
        // A record with blanks after it is named as such, not as a broken record.
        if (const qsizetype blanks = trailingBlanks(line); blanks > 0 && blanks < line.size()) {
            if (parse(line.chopped(blanks)).problem.isEmpty())
                return outcome_.addProblem(number, blanksAfterChecksum(blanks));
        }
        const Record record = parse(line);
        if (!record.problem.isEmpty())
            return outcome_.addProblem(number, record.problem);
        switch (record.type()) {
        case Data:
            return takeData(record, number);
        case EndOfFile:
            endLine_ = number;
            return;
        case ExtendedSegmentAddress:
            base_ = quint64{record.value()} << 4;
            segmented_ = true;
            return;
        case ExtendedLinearAddress:
            base_ = quint64{record.value()} << 16;
            segmented_ = false;
            return;
        case StartSegmentAddress: {
            const quint32 cs = record.value() >> 16;
            const quint32 ip = record.value() & 0xFFFF;
            return takeStart(quint64{cs} * 16 + ip, number,
                             QStringLiteral("the start segment address record, line %1, "
                                            "%2:%3")
                                 .arg(number)
                                 .arg(hex(cs, 4), hex(ip, 4)));
        }
        case StartLinearAddress:
            return takeStart(
                record.value(), number,
                QStringLiteral("the start linear address record, line %1").arg(number));
        }
    }

    ReadOutcome finish() {
        if (outcome_.problemCount > 0)
            return std::move(outcome_);
        if (!anyData_)
            outcome_.fileProblem = QStringLiteral("has no data record (type 00)");
        else if (endLine_ == 0)
            outcome_.fileProblem =
                QStringLiteral("has no end-of-file record (:00000001FF): the file "
                               "may be cut short; make it again");
        if (!startLine_)
            outcome_.startOrigin = QStringLiteral("none in the file");
        return std::move(outcome_);
    }

private:
    void takeData(const Record &record, qint64 number) {
        anyData_ = true;
        const QByteArrayView data = record.data();
        if (data.isEmpty())
            return;
        if (segmented_) {
            // The offset wraps within the segment: what runs past its end continues at its start.
            const qsizetype first =
                std::min<qsizetype>(data.size(), 0x10000 - static_cast<qsizetype>(record.offset()));
            sink_({base_ + record.offset(), data.first(first), number});
            if (first < data.size())
                sink_({base_, data.sliced(first), number});
            return;
        }
        const quint64 address = base_ + record.offset();
        if (address + static_cast<quint64>(data.size()) - 1 > MaxAddress)
            return outcome_.addProblem(number,
                                       QStringLiteral("holds data past the 32-bit address space"));
        sink_({address, data, number});
    }

    void takeStart(quint64 address, qint64 number, QString origin) {
        if (startLine_ && outcome_.start != address)
            return outcome_.addProblem(
                number, QStringLiteral("gives another start address than line %1 (%2, not %3)")
                            .arg(*startLine_)
                            .arg(hex(address), hex(outcome_.start)));
        if (startLine_)
            return;
        startLine_ = number;
        outcome_.start = address;
        outcome_.startOrigin = std::move(origin);
    }

    const PieceSink &sink_;
    ReadOutcome outcome_;
    quint64 base_ = 0;
    bool segmented_ = false;
    bool anyData_ = false;
    qint64 endLine_ = 0;
    std::optional<qint64> startLine_;
};

} // namespace

ReadOutcome readIntelHex(QByteArrayView text, const PieceSink &sink) {
    HexReader reader(sink);
    TextLines lines(text);
    qint64 number = 0;
    while (const std::optional<QByteArrayView> line = lines.next())
        reader.take(*line, ++number);
    return reader.finish();
}

} // namespace firmware
