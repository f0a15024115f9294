#include "firmware/FileCheck.h"

#include "firmware/SRecordCheck.h"
#include "firmware/TextLines.h"

#include <QCryptographicHash>
#include <map>

namespace FileCheck {

using firmware::Encoding;
using firmware::Image;

namespace {

// Ranges keyed by their first address; a new range swallows every one it overlaps or touches.
// Files mostly run upwards, so the map stays small however many records there are.
void addRange(std::map<quint64, quint64> &ranges, quint64 first, quint64 last) {
    auto next = ranges.upper_bound(first);
    if (next != ranges.begin()) {
        const auto before = std::prev(next);
        if (before->second + 1 >= first) {
            first = before->first;
            last = std::max(last, before->second);
            next = ranges.erase(before);
        }
    }
    while (next != ranges.end() && next->first <= last + 1) {
        last = std::max(last, next->second);
        next = ranges.erase(next);
    }
    ranges.emplace(first, last);
}

class Scanner {
public:
    explicit Scanner(Report &report) : report_(report) {}

    void take(QByteArrayView line, qint64 number) {
        if (line.isEmpty()) {
            ++blankRun_;
            return;
        }
        // Blank lines count once something follows them.
        report_.blankLines += blankRun_;
        blankRun_ = 0;
        report_.lines = number;
        // A record with blanks after it is named as such, not as a broken record: an editor
        // shows the line as a good one.
        if (const qsizetype blanks = firmware::trailingBlanks(line);
            blanks > 0 && blanks < line.size() &&
            SRecordCheck::problem(line.chopped(blanks)).isEmpty())
            return refuse(
                {number, firmware::blanksAfterChecksum(blanks), RefusedLine::Kind::TrailingBlanks});
        if (const QString problem = SRecordCheck::problem(line); !problem.isEmpty())
            return refuse({number, problem, RefusedLine::Kind::Malformed});
        if (report_.start)
            return refuse({number, QString::number(report_.start->line),
                           RefusedLine::Kind::AfterTermination});
        takeRecord(line, number);
    }

    void finish() {
        for (const auto &[first, last] : ranges_)
            report_.ranges.push_back({first, last});
        if (report_.lines == 0)
            report_.fileProblem = report_.size == 0 ? QStringLiteral("the file is empty")
                                                    : QStringLiteral("no S-record in it");
        else if (report_.refusedCount == 0 &&
                 report_.records[1] + report_.records[2] + report_.records[3] == 0)
            report_.fileProblem = QStringLiteral("no data record (S1, S2 or S3)");
    }

private:
    void refuse(RefusedLine line) {
        if (report_.refused.size() < Report::MaxRefusedKept)
            report_.refused.append(std::move(line));
        ++report_.refusedCount;
    }

    // A record SRecordCheck found well-formed: its address and data size.
    void takeRecord(QByteArrayView line, qint64 number) {
        const char type = line[1];
        ++report_.records[static_cast<std::size_t>(type - '0')];
        const int width = SRecordCheck::addressBytes(type);
        const quint64 address = line.sliced(4, 2 * width).toULongLong(nullptr, 16);
        const qint64 data = (line.size() - 2) / 2 - width - 2;
        if (SRecordCheck::isDataRecord(type) && data > 0) {
            report_.dataBytes += static_cast<quint64>(data);
            addRange(ranges_, address, address + static_cast<quint64>(data) - 1);
        }
        if (SRecordCheck::isTerminationRecord(type))
            report_.start = StartRecord{type, static_cast<quint32>(address), number};
    }

    Report &report_;
    std::map<quint64, quint64> ranges_;
    qint64 blankRun_ = 0;
};

} // namespace

qint64 Report::recordCount() const {
    qint64 count = 0;
    for (const qint64 n : records)
        count += n;
    return count;
}

quint64 Report::coveredBytes() const {
    quint64 bytes = 0;
    for (const AddressRange &range : ranges)
        bytes += range.last - range.first + 1;
    return bytes;
}

QString Report::refusal(const QString &path) const {
    if (!error.isEmpty())
        return error;
    if (!refused.isEmpty()) {
        const RefusedLine &first = refused.constFirst();
        if (first.kind == RefusedLine::Kind::TrailingBlanks)
            return QStringLiteral("File refused: line %1 of %2 %3, which the device would take as "
                                  "part of the record: remove them")
                .arg(first.number)
                .arg(path, first.problem);
        if (first.kind == RefusedLine::Kind::AfterTermination)
            return QStringLiteral("File refused: line %1 follows the termination record on line "
                                  "%2 in %3")
                .arg(first.number)
                .arg(first.problem, path);
        return QStringLiteral("File refused: line %1 is not a valid S-record (%2) in %3")
            .arg(first.number)
            .arg(first.problem, path);
    }
    if (!fileProblem.isEmpty())
        return QStringLiteral("File refused: %1 in %2").arg(fileProblem, path);
    return {};
}

QString describe(const RefusedLine &line) {
    switch (line.kind) {
    case RefusedLine::Kind::Malformed:
        break;
    case RefusedLine::Kind::AfterTermination:
        return QStringLiteral("line %1: follows the termination record on line %2")
            .arg(line.number)
            .arg(line.problem);
    case RefusedLine::Kind::TrailingBlanks:
        return QStringLiteral("line %1 %2").arg(line.number).arg(line.problem);
    }
    return QStringLiteral("line %1: %2").arg(line.number).arg(line.problem);
}

Report scan(QByteArrayView bytes) {
    Report report;
    report.size = bytes.size();
    report.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    Scanner scanner(report);
    // As a transfer sends them (see CheckedFile::lines).
    firmware::TextLines lines(bytes, firmware::TextLines::LoneLastByte::Dropped);
    qint64 number = 0;
    while (const std::optional<QByteArrayView> line = lines.next())
        scanner.take(*line, ++number);
    scanner.finish();
    return report;
}

Report reportOf(const Encoding &encoding, const Image &image) {
    Report report;
    report.size = encoding.text.size();
    report.sha256 = QCryptographicHash::hash(encoding.text, QCryptographicHash::Sha256);
    // The header, the data records, the termination record: one a line.
    report.lines = 1 + encoding.dataRecords + 1;
    report.records[0] = 1;
    report.records[static_cast<std::size_t>(encoding.dataType - '0')] = encoding.dataRecords;
    const char endType = encoding.terminationType();
    report.records[static_cast<std::size_t>(endType - '0')] = 1;
    // The image's runs neither overlap nor touch: each is a range of its own.
    for (const Image::Run &run : image.runs)
        report.ranges.push_back({run.address, run.last()});
    report.dataBytes = image.dataBytes();
    report.start = StartRecord{endType, static_cast<quint32>(image.start), report.lines};
    if (encoding.dataRecords == 0)
        report.fileProblem = QStringLiteral("no data record (S1, S2 or S3)");
    return report;
}

} // namespace FileCheck
