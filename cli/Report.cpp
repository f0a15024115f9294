#include "cli/Report.h"

#include "cli/ExitCodes.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

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
    QList<QStringList> rows = {
        {QStringLiteral("Board"), QStringLiteral("Device"), QStringLiteral("Result"),
         QStringLiteral("Exit"), QStringLiteral("Lines"), QStringLiteral("Bytes"),
         QStringLiteral("Seconds"), QStringLiteral("Start"), QStringLiteral("End"),
         QStringLiteral("Format"), QStringLiteral("SHA-256"), QStringLiteral("Sent-SHA-256"),
         QStringLiteral("Version"), QStringLiteral("File"), QStringLiteral("Note")}};
    for (const BoardResult &r : results)
        rows.append({QString::number(r.number), r.device, resultName(r.exitCode),
                     QString::number(r.exitCode),
                     QStringLiteral("%1/%2").arg(r.lines).arg(r.linesTotal),
                     QString::number(r.bytes), QString::number(r.seconds, 'f', 1),
                     orUnknown(isoTime(r.started)), orUnknown(isoTime(r.ended)),
                     orUnknown(r.format), orUnknown(r.sha256), orUnknown(r.sentSha256),
                     QStringLiteral(PELLORA_VERSION), orUnknown(r.file), orUnknown(r.error)});
    return alignedTable(rows, 3, 7);
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
    {"Result", false, false, [](const BoardResult &r) { return resultName(r.exitCode); }},
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
        for (const QString &line : wrapped(results[r - 1].error, width - NoteIndent))
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
    o.insert(QStringLiteral("result"), resultName(r.exitCode));
    o.insert(QStringLiteral("exit_code"), r.exitCode);
    o.insert(QStringLiteral("error"), textOrNull(r.error));
    o.insert(QStringLiteral("version"), QStringLiteral(PELLORA_VERSION));
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
