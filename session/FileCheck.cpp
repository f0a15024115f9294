#include "session/FileCheck.h"

#include "session/FileStreamer.h"
#include "session/LineReader.h"
#include "session/SRecordCheck.h"

#include <QCryptographicHash>
#include <map>

namespace FileCheck {

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

// A record SRecordCheck found well-formed: its address and data size.
void takeRecord(Report &report, std::map<quint64, quint64> &ranges, const QByteArray &line,
                qint64 number) {
    const char type = line[1];
    ++report.records[static_cast<std::size_t>(type - '0')];
    const int width = SRecordCheck::addressBytes(type);
    const quint64 address = line.mid(4, 2 * width).toULongLong(nullptr, 16);
    const qint64 data = (line.size() - 2) / 2 - width - 2;
    if (type >= '1' && type <= '3' && data > 0) {
        report.dataBytes += static_cast<quint64>(data);
        addRange(ranges, address, address + static_cast<quint64>(data) - 1);
    }
    if (type >= '7' && !report.start)
        report.start = StartRecord{type, static_cast<quint32>(address), number};
}

} // namespace

quint64 Report::coveredBytes() const {
    quint64 bytes = 0;
    for (const AddressRange &range : ranges)
        bytes += range.last - range.first + 1;
    return bytes;
}

Report check(const QString &path) {
    Report report;
    const auto unreadable = [&] {
        report = Report{};
        report.error = QStringLiteral("%1: cannot be read").arg(path);
        return report;
    };

    auto hashed = openFileForReading(path);
    if (!hashed)
        return unreadable();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(hashed.get()))
        return unreadable();
    report.sha256 = hash.result();
    hashed.reset();

    // The streamer's counting pass: the same opener, reader and end rule (a last line of a single
    // byte is neither counted nor sent), and the same check on every line that is not blank.
    auto file = openFileForReading(path);
    if (!file)
        return unreadable();
    const qint64 size = file->size();
    LineReader reader(*file);
    QByteArray line;
    std::map<quint64, quint64> ranges;
    while (reader.position() + 1 < size) {
        const qint64 before = reader.position();
        if (!reader.readLine(line))
            return unreadable();
        if (reader.position() == before)
            break;
        const qint64 number = ++report.lines;
        if (line.isEmpty()) {
            ++report.blankLines;
            continue;
        }
        if (const QString problem = SRecordCheck::problem(line); !problem.isEmpty())
            report.refused.append({number, problem});
        else
            takeRecord(report, ranges, line, number);
    }
    for (const auto &[first, last] : ranges)
        report.ranges.push_back({first, last});
    return report;
}

} // namespace FileCheck
