#include "cli/Report.h"

#include "cli/ExitCodes.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>

QString resultWord(const BoardResult &r) {
    return r.result.isEmpty() ? resultName(r.exitCode) : r.result;
}

QString adapterText(const std::optional<AdapterIdentity> &adapter) {
    if (!adapter || adapter->vendorId.isEmpty())
        return {};
    QString text = adapter->vendorId + QLatin1Char(':') + adapter->productId;
    if (!adapter->serial.isEmpty())
        text += QLatin1Char(':') + adapter->serial;
    return text;
}

QString resultName(int exitCode) {
    // The run history's words: one exit status for each way a run ends.
    for (const RunResult result :
         {RunResult::Programmed, RunResult::AckTimeout, RunResult::NoBootPrompt,
          RunResult::Cancelled, RunResult::PortError, RunResult::FileError})
        if (ExitCode::forResult(result) == exitCode)
            return toString(result);
    return QStringLiteral("exit-%1").arg(exitCode);
}

namespace {

const QString Separator = QStringLiteral("  ");
const QString Unknown = QStringLiteral("-");

// Columns aligned: the first `textColumns` to the left, the numbers after them to the right, and
// from `freeColumn` on to the left again, unpadded at the end of a row.
QString alignedTable(const QList<QStringList> &rows, qsizetype textColumns,
                     qsizetype freeColumn = -1) {
    QList<qsizetype> widths(rows.constFirst().size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c) {
            const bool left = c < textColumns || (freeColumn >= 0 && c >= freeColumn);
            cells << (left ? row[c].leftJustified(widths[c]) : row[c].rightJustified(widths[c]));
        }
        text += cells.join(Separator).trimmed() + QLatin1Char('\n');
    }
    return text;
}

QString isoTime(const QDateTime &time) {
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

QJsonValue textOrNull(const QString &text) {
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QString orUnknown(const QString &text) {
    return text.isEmpty() ? Unknown : text;
}

} // namespace

QString resultTable(const QList<BoardResult> &results) {
    QList<QStringList> rows = {{QStringLiteral("Board"),          QStringLiteral("Device"),
                                QStringLiteral("Result"),         QStringLiteral("Boot"),
                                QStringLiteral("Exit"),           QStringLiteral("Lines"),
                                QStringLiteral("Bytes"),          QStringLiteral("Seconds"),
                                QStringLiteral("Start"),          QStringLiteral("End"),
                                QStringLiteral("Format"),         QStringLiteral("SHA-256"),
                                QStringLiteral("Sent-SHA-256"),   QStringLiteral("Serial"),
                                QStringLiteral("Serial-Address"), QStringLiteral("Adapter"),
                                QStringLiteral("Socket"),         QStringLiteral("Version"),
                                QStringLiteral("File"),           QStringLiteral("Note")}};
    for (const BoardResult &r : results) {
        QStringList notes = r.warnings;
        if (!r.error.isEmpty())
            notes.prepend(r.error);
        rows.append({QString::number(r.number),
                     r.device,
                     resultWord(r),
                     r.boot ? r.boot->word() : Unknown,
                     QString::number(r.exitCode),
                     QStringLiteral("%1/%2").arg(r.lines).arg(r.linesTotal),
                     QString::number(r.bytes),
                     QString::number(r.seconds, 'f', 1),
                     orUnknown(isoTime(r.started)),
                     orUnknown(isoTime(r.ended)),
                     orUnknown(r.format),
                     orUnknown(r.sha256),
                     orUnknown(r.sentSha256),
                     orUnknown(r.serial),
                     orUnknown(r.serialAddress),
                     orUnknown(adapterText(r.adapter)),
                     orUnknown(r.adapter ? r.adapter->byPath : QString()),
                     QStringLiteral(PELLORA_VERSION),
                     orUnknown(r.file),
                     orUnknown(notes.join(QLatin1Char(' ')))});
    }
    return alignedTable(rows, 4, 8);
}

namespace {

// "...uild/app.hex": the end of a path in `width` characters.
QString shortenedFromTheLeft(const QString &path, qsizetype width) {
    static const QString Ellipsis = QStringLiteral("...");
    if (path.size() <= width)
        return path;
    if (width <= Ellipsis.size())
        return path.right(width);
    return Ellipsis + path.right(width - Ellipsis.size());
}

// `text` in lines of at most `width` characters, broken at blanks where it can be.
QStringList wrapped(const QString &text, qsizetype width) {
    QStringList lines;
    QString line;
    for (QString word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > width) {
            lines << line;
            line.clear();
        }
        for (; word.size() > width; word.remove(0, width))
            lines << word.left(width);
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        lines << line;
    return lines;
}

// A programmed board's word says whether its application was seen to start, where that was asked.
QString terminalResultWord(const BoardResult &r) {
    if (r.boot && r.exitCode == ExitCode::forResult(RunResult::Programmed))
        return QStringLiteral("booted");
    if (r.boot && r.exitCode == ExitCode::NotProvenToBoot)
        return QStringLiteral("not-booted");
    return resultWord(r);
}

// What a person reads below a board's row: why it failed or is not proven to boot, the warnings,
// the serial number it got and the application's greeting.
QStringList terminalNotes(const BoardResult &r) {
    QStringList notes = r.warnings;
    if (!r.error.isEmpty())
        notes.prepend(r.error);
    if (!r.serial.isEmpty())
        notes << QStringLiteral("Serial %1 at %2%3.")
                     .arg(r.serial, r.serialAddress,
                          r.serialCommitted ? QString() : QStringLiteral(", given back"));
    if (r.boot && r.boot->verdict == BootCheck::Verdict::Booted)
        notes << QStringLiteral("The application said \"%1\".").arg(r.boot->line);
    return notes;
}

// A column of the terminal's table. One that can give up room does so from the left of its text.
struct TerminalColumn {
    const char *header;
    bool alignRight;
    bool shrinks;
    QString (*cell)(const BoardResult &);
};

const TerminalColumn TerminalColumns[] = {
    {"Board", false, false, [](const BoardResult &r) { return QString::number(r.number); }},
    {"Device", false, true, [](const BoardResult &r) { return r.device; }},
    {"Result", false, false, [](const BoardResult &r) { return terminalResultWord(r); }},
    {"Lines", true, false,
     [](const BoardResult &r) { return QStringLiteral("%1/%2").arg(r.lines).arg(r.linesTotal); }},
    {"Seconds", true, false,
     [](const BoardResult &r) { return QString::number(r.seconds, 'f', 1); }},
    {"SHA-256", false, false, [](const BoardResult &r) { return orUnknown(r.sha256.left(12)); }},
};

// A device keeps at least this much of its end, however narrow the terminal.
constexpr qsizetype MinShrunkWidth = 12;
// How far a note is indented below its row.
constexpr qsizetype NoteIndent = 4;
constexpr int TerminalTableWidth = 80;

} // namespace

QString terminalResultTable(const QList<BoardResult> &results, int width) {
    QList<QStringList> rows = {{}};
    for (const TerminalColumn &column : TerminalColumns)
        rows.first() << QString::fromLatin1(column.header);
    for (const BoardResult &r : results) {
        QStringList row;
        for (const TerminalColumn &column : TerminalColumns)
            row << column.cell(r);
        rows << row;
    }
    QList<qsizetype> widths(std::size(TerminalColumns), 0);
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    qsizetype total = Separator.size() * (widths.size() - 1);
    for (const qsizetype w : widths)
        total += w;
    for (qsizetype c = 0; c < widths.size() && total > width; ++c) {
        if (!TerminalColumns[c].shrinks)
            continue;
        const qsizetype shrunk = std::max(MinShrunkWidth, widths[c] - (total - width));
        total -= widths[c] - shrunk;
        widths[c] = shrunk;
    }

    QString text;
    for (qsizetype r = 0; r < rows.size(); ++r) {
        QStringList cells;
        for (qsizetype c = 0; c < widths.size(); ++c) {
            const QString cell = shortenedFromTheLeft(rows[r][c], widths[c]);
            cells << (TerminalColumns[c].alignRight ? cell.rightJustified(widths[c])
                                                    : cell.leftJustified(widths[c]));
        }
        text += cells.join(Separator).trimmed() + QLatin1Char('\n');
        if (r == 0)
            continue;
        const QString indent(NoteIndent, QLatin1Char(' '));
        for (const QString &note : terminalNotes(results[r - 1]))
            for (const QString &line : wrapped(note, width - NoteIndent))
                text += indent + line + QLatin1Char('\n');
    }
    return text;
}

QString resultTableFor(const QList<BoardResult> &results, int terminalWidth) {
    if (terminalWidth <= 0)
        return resultTable(results);
    return terminalResultTable(results, std::min(terminalWidth, TerminalTableWidth));
}

QJsonObject resultObject(const BoardResult &r) {
    QJsonObject o;
    o.insert(QStringLiteral("board"), r.number);
    o.insert(QStringLiteral("device"), r.device);
    o.insert(QStringLiteral("port"), r.portNumber > 0 ? QJsonValue(r.portNumber) : QJsonValue());
    o.insert(QStringLiteral("file"), textOrNull(r.file));
    o.insert(QStringLiteral("format"), textOrNull(r.format));
    o.insert(QStringLiteral("sha256"), textOrNull(r.sha256));
    o.insert(QStringLiteral("sent_sha256"), textOrNull(r.sentSha256));
    o.insert(QStringLiteral("lines"), r.lines);
    o.insert(QStringLiteral("lines_total"), r.linesTotal);
    o.insert(QStringLiteral("bytes"), r.bytes);
    o.insert(QStringLiteral("start"), textOrNull(isoTime(r.started)));
    o.insert(QStringLiteral("end"), textOrNull(isoTime(r.ended)));
    o.insert(QStringLiteral("seconds"), std::round(r.seconds * 1000.0) / 1000.0);
    o.insert(QStringLiteral("result"), resultWord(r));
    o.insert(QStringLiteral("exit_code"), r.exitCode);
    o.insert(QStringLiteral("error"), textOrNull(r.error));
    o.insert(QStringLiteral("version"), QStringLiteral(PELLORA_VERSION));
    o.insert(QStringLiteral("serial"), textOrNull(r.serial));
    o.insert(QStringLiteral("serial_address"), textOrNull(r.serialAddress));
    o.insert(QStringLiteral("boot"), bootObject(r.boot));
    o.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(r.warnings));
    o.insert(QStringLiteral("adapter"), adapterObject(r.adapter));
    return o;
}

QByteArray resultJson(const QList<BoardResult> &results) {
    QJsonArray array;
    for (const BoardResult &r : results)
        array.append(resultObject(r));
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QString historyTable(const QList<QJsonObject> &lines, int width) {
    // A path keeps at least this much of its end, however narrow the terminal.
    constexpr qsizetype MinFileWidth = 16;
    QList<QStringList> rows = {{QStringLiteral("Start (UTC)"), QStringLiteral("Program"),
                                QStringLiteral("Device"), QStringLiteral("Result"),
                                QStringLiteral("Exit"), QStringLiteral("Lines"),
                                QStringLiteral("Bytes"), QStringLiteral("Seconds"),
                                QStringLiteral("SHA-256"), QStringLiteral("File")}};
    const auto text = [](const QJsonObject &o, const char *key) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isString())
            return v.toString();
        return v.isDouble() ? QString::number(v.toInteger()) : Unknown;
    };
    for (const QJsonObject &o : lines) {
        const QDateTime start =
            QDateTime::fromString(o.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
        const QString program = o.value(QStringLiteral("program")).toString();
        const QString sha = o.value(QStringLiteral("sha256")).toString();
        const QJsonValue seconds = o.value(QStringLiteral("seconds"));
        rows.append({start.isValid() ? start.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                     : Unknown,
                     program == QStringLiteral("tarnix-pellora")       ? QStringLiteral("window")
                     : program == QStringLiteral("tarnix-pellora-cli") ? QStringLiteral("cli")
                                                                       : program,
                     text(o, "device"), text(o, "result"), text(o, "exit_code"),
                     text(o, "lines_sent") + QLatin1Char('/') + text(o, "lines_total"),
                     text(o, "bytes_sent"),
                     seconds.isDouble() ? QString::number(seconds.toDouble(), 'f', 1) : Unknown,
                     sha.isEmpty() ? Unknown : sha.left(12), text(o, "file")});
    }
    // The columns only some runs have, where any has them, before the path.
    const auto optionalColumn = [&](const QString &name,
                                    const std::function<QString(const QJsonObject &)> &cell) {
        const bool any = std::any_of(lines.begin(), lines.end(),
                                     [&](const QJsonObject &o) { return !cell(o).isEmpty(); });
        if (!any)
            return;
        rows.first().insert(rows.first().size() - 1, name);
        for (qsizetype r = 1; r < rows.size(); ++r) {
            const QString text = cell(lines[r - 1]);
            rows[r].insert(rows[r].size() - 1, text.isEmpty() ? Unknown : text);
        }
    };
    optionalColumn(QStringLiteral("Boot"), [](const QJsonObject &o) {
        return o.value(QStringLiteral("boot"))
            .toObject()
            .value(QStringLiteral("result"))
            .toString();
    });
    optionalColumn(QStringLiteral("Adapter"), [](const QJsonObject &o) {
        const QJsonObject a = o.value(QStringLiteral("adapter")).toObject();
        if (a.value(QStringLiteral("vendor_id")).toString().isEmpty())
            return QString();
        QString text = a.value(QStringLiteral("vendor_id")).toString() + QLatin1Char(':') +
                       a.value(QStringLiteral("product_id")).toString();
        if (const QString serial = a.value(QStringLiteral("serial")).toString(); !serial.isEmpty())
            text += QLatin1Char(':') + serial;
        return text;
    });
    // The serial numbers boards were given, where any were, before the path.
    if (std::any_of(lines.begin(), lines.end(), [](const QJsonObject &o) {
            return o.value(QStringLiteral("serial")).isString();
        })) {
        rows.first().insert(rows.first().size() - 1, QStringLiteral("Serial"));
        for (qsizetype r = 1; r < rows.size(); ++r) {
            const QJsonObject &o = lines[r - 1];
            const QString serial = o.value(QStringLiteral("serial")).toString();
            const QString at = o.value(QStringLiteral("serial_address")).toString();
            rows[r].insert(rows[r].size() - 1, serial.isEmpty() ? Unknown
                                               : at.isEmpty()   ? serial
                                                                : serial + QLatin1Char('@') + at);
        }
    }
    if (width > 0) {
        // What the columns before the path take; the path gets the rest of the line.
        qsizetype before = 0;
        for (qsizetype c = 0; c + 1 < rows.constFirst().size(); ++c) {
            qsizetype widest = 0;
            for (const QStringList &row : rows)
                widest = std::max(widest, row[c].size());
            before += widest + Separator.size();
        }
        const qsizetype room = std::max(MinFileWidth, width - before);
        for (qsizetype r = 1; r < rows.size(); ++r)
            rows[r].last() = shortenedFromTheLeft(rows[r].last(), room);
    }
    return alignedTable(rows, 4, 8);
}
