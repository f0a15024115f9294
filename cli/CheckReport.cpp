#include "cli/CheckReport.h"

#include "cli/ExitCodes.h"
#include "session/SRecordCheck.h"

#include <QStringList>

namespace {

// Hex digits of an address as its record type writes it.
int hexDigits(char type) {
    return 2 * SRecordCheck::addressBytes(type);
}

QString hex(quint64 value, int digits) {
    return QStringLiteral("0x") +
           QString::number(value, 16).toUpper().rightJustified(digits, QLatin1Char('0'));
}

QString recordCounts(const FileCheck::Report &report) {
    QStringList counts;
    for (std::size_t type = 0; type < report.records.size(); ++type)
        if (report.records[type] > 0)
            counts << QStringLiteral("S%1 %2").arg(type).arg(report.records[type]);
    return counts.isEmpty() ? QStringLiteral("none") : counts.join(QStringLiteral(", "));
}

QString addressRanges(const FileCheck::Report &report) {
    if (report.ranges.empty())
        return QStringLiteral("none");
    // As wide as the widest data record in the file.
    const int digits = hexDigits(report.records[3] > 0 ? '3' : report.records[2] > 0 ? '2' : '1');
    QStringList ranges;
    for (const FileCheck::AddressRange &range : report.ranges)
        ranges << hex(range.first, digits) + QLatin1Char('-') + hex(range.last, digits);
    return ranges.join(QStringLiteral(", "));
}

QString dataBytes(const FileCheck::Report &report) {
    QString text = QStringLiteral("%1 bytes").arg(report.dataBytes);
    const quint64 covered = report.coveredBytes();
    if (covered < report.dataBytes)
        text += QStringLiteral(" (%1 bytes of address space; overlapping records write %2 bytes "
                               "again)")
                    .arg(covered)
                    .arg(report.dataBytes - covered);
    return text;
}

QString startAddress(const FileCheck::Report &report) {
    if (!report.start)
        return QStringLiteral("none");
    return QStringLiteral("%1 (S%2, line %3)")
        .arg(hex(report.start->address, hexDigits(report.start->type)))
        .arg(QLatin1Char(report.start->type))
        .arg(report.start->line);
}

} // namespace

QString checkReportText(const QString &path, const FileCheck::Report &report) {
    QString text;
    const auto row = [&](const char *name, const QString &value) {
        text += QStringLiteral("%1 %2\n").arg(QString::fromLatin1(name), -16).arg(value);
    };
    row("File:", path);
    row("SHA-256:", QString::fromLatin1(report.sha256.toHex()));
    row("Lines:", report.blankLines > 0
                      ? QStringLiteral("%1 (%2 blank)").arg(report.lines).arg(report.blankLines)
                      : QString::number(report.lines));
    row("Records:", recordCounts(report));
    row("Data:", dataBytes(report));
    row("Address ranges:", addressRanges(report));
    row("Start address:", startAddress(report));
    row("Refused lines:",
        report.refusedCount == 0 ? QStringLiteral("none") : QString::number(report.refusedCount));
    for (const FileCheck::RefusedLine &line : report.refused)
        text += line.kind == FileCheck::RefusedLine::Kind::AfterTermination
                    ? QStringLiteral("  line %1: follows the termination record on line %2\n")
                          .arg(line.number)
                          .arg(line.problem)
                    : QStringLiteral("  line %1: %2\n").arg(line.number).arg(line.problem);
    if (report.refusedCount > report.refused.size())
        text += QStringLiteral("  and %1 more\n").arg(report.refusedCount - report.refused.size());
    if (!report.fileProblem.isEmpty())
        row("Problem:", report.fileProblem);
    row("Result:", report.wouldSend() ? QStringLiteral("would be sent")
                                      : QStringLiteral("would be refused: nothing is sent"));
    return text;
}

int checkExitCode(const FileCheck::Report &report) {
    return report.wouldSend() ? ExitCode::Programmed : ExitCode::FileError;
}
