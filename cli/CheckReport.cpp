#include "cli/CheckReport.h"

#include "cli/ExitCodes.h"
#include "firmware/SRecordCheck.h"

#include <QFileInfo>
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

QString startAddress(const FileSnapshot &file) {
    const FileCheck::Report &report = file.report;
    if (!report.start)
        return QStringLiteral("none");
    const QString address = hex(report.start->address, hexDigits(report.start->type));
    if (file.converted())
        return QStringLiteral("%1 (%2; sent in an S%3 record)")
            .arg(address, file.source.conversion.startOrigin)
            .arg(QLatin1Char(report.start->type));
    return QStringLiteral("%1 (S%2, line %3)")
        .arg(address)
        .arg(QLatin1Char(report.start->type))
        .arg(report.start->line);
}

QString format(const FileSnapshot &file) {
    const QString name = firmware::formatName(file.source.format);
    if (file.source.format == firmware::Format::SRecords)
        return name + QStringLiteral(", sent as they are");
    return file.converted() ? name + QStringLiteral(", sent as S-records made from it") : name;
}

// The next board's number written into the file: its rows, and whether the file would still be
// sent; nothing is reserved.
struct SerialRows {
    QString text;
    bool sendable = false;
};

SerialRows serialRows(const FileSnapshot &file, const SerialCheck &serial) {
    SerialRows rows;
    const auto row = [&](const char *name, const QString &value) {
        rows.text += QStringLiteral("%1 %2\n").arg(QString::fromLatin1(name), -16).arg(value);
    };
    auto next = serial.store->peek();
    if (const QString *why = std::get_if<QString>(&next)) {
        row("Serial:", *why);
        return rows;
    }
    const NumberStore::Reservation &value = std::get<NumberStore::Reservation>(next);
    row("Serial:", QStringLiteral("%1, the next of %2 (nothing reserved)")
                       .arg(value.text, serial.store->name()));
    auto written = firmware::serialBytes(serial.layout, value.value);
    if (const QString *why = std::get_if<QString>(&written)) {
        row("Problem:", *why);
        return rows;
    }
    const QByteArray &bytes = std::get<QByteArray>(written);
    row("Written:", QStringLiteral("%1 at %2 (%3:%4)")
                        .arg(QString::fromLatin1(bytes.toHex(' ').toUpper()),
                             serial.layout.addressText(), serial.layout.formName())
                        .arg(serial.layout.width));
    auto patched = firmware::patchFile(file, serial.layout.address, bytes);
    if (const QString *why = std::get_if<QString>(&patched)) {
        row("Problem:", *why);
        return rows;
    }
    const firmware::Patched &p = std::get<firmware::Patched>(patched);
    const QList<QByteArray> lines = p.file.bytes.split('\n');
    const auto lineText = [&](qint64 number) {
        QString line = QString::fromLatin1(lines.value(number - 1));
        return QStringLiteral("line %1: %2").arg(number).arg(line.remove(QLatin1Char('\r')));
    };
    for (const qint64 number : p.lines.changed)
        row("Changed:", lineText(number));
    for (const qint64 number : p.lines.added)
        row("Added:", lineText(number));
    if (p.lines.countLine > 0)
        row("Count record:", lineText(p.lines.countLine));
    row("Sent SHA-256:", QString::fromLatin1(p.file.report.sha256.toHex()) +
                             QStringLiteral(" (with serial %1)").arg(value.text));
    const QString refusal = p.file.refusal(file.path);
    if (!refusal.isEmpty())
        row("Problem:", refusal);
    rows.sendable = refusal.isEmpty();
    return rows;
}

} // namespace

CheckReport checkReport(const FileSnapshot &file, const std::optional<SerialCheck> &serial) {
    const FileCheck::Report &report = file.report;
    const firmware::Conversion &conversion = file.source.conversion;
    QString text;
    const auto row = [&](const char *name, const QString &value) {
        text += QStringLiteral("%1 %2\n").arg(QString::fromLatin1(name), -16).arg(value);
    };
    bool sendable = file.refusal().isEmpty();
    const auto verdict = [&] {
        row("Result:", sendable ? QStringLiteral("would be sent")
                                : QStringLiteral("would be refused: nothing is sent"));
        return CheckReport{text, sendable ? ExitCode::Programmed : ExitCode::FileError};
    };
    row("File:", file.path);
    row("Format:", format(file));
    row("SHA-256:", QString::fromLatin1(file.source.sha256.toHex()));
    // A file refused before its lines are looked at as S-records: the reason, and no more.
    if (conversion.refused()) {
        row("Refused lines:", conversion.problemCount == 0
                                  ? QStringLiteral("none")
                                  : QString::number(conversion.problemCount));
        for (const firmware::Problem &problem : conversion.problems)
            text += QStringLiteral("  %1\n").arg(firmware::describe(problem));
        if (conversion.problemCount > conversion.problems.size())
            text += QStringLiteral("  and %1 more\n")
                        .arg(conversion.problemCount - conversion.problems.size());
        if (!conversion.refusal.isEmpty())
            row("Problem:",
                QFileInfo(file.path).fileName() + QLatin1Char(' ') + conversion.refusal);
        return verdict();
    }
    if (file.converted())
        row("Sent SHA-256:", QString::fromLatin1(report.sha256.toHex()));
    row("Lines:", report.blankLines > 0
                      ? QStringLiteral("%1 (%2 blank)").arg(report.lines).arg(report.blankLines)
                      : QString::number(report.lines));
    row("Records:", recordCounts(report));
    row("Data:", dataBytes(report));
    row("Address ranges:", addressRanges(report));
    row("Start address:", startAddress(file));
    row("Refused lines:",
        report.refusedCount == 0 ? QStringLiteral("none") : QString::number(report.refusedCount));
    for (const FileCheck::RefusedLine &line : report.refused)
        text += QStringLiteral("  %1\n").arg(FileCheck::describe(line));
    if (report.refusedCount > report.refused.size())
        text += QStringLiteral("  and %1 more\n").arg(report.refusedCount - report.refused.size());
    if (!report.fileProblem.isEmpty())
        row("Problem:", report.fileProblem);
    if (serial && sendable) {
        const SerialRows rows = serialRows(file, *serial);
        text += rows.text;
        sendable = rows.sendable;
    }
    return verdict();
}
