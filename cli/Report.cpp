#include "cli/Report.h"

#include "cli/ExitCodes.h"

#include <QDateTime>
#include <QFileInfo>
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
// Columns aligned: the first `textColumns` to the left, the rest (numbers) to the right.
QString alignedTable(const QList<QStringList> &rows, qsizetype textColumns) {
    QList<qsizetype> widths(rows.constFirst().size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells << (c < textColumns ? row[c].leftJustified(widths[c])
                                      : row[c].rightJustified(widths[c]));
        text += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return text;
}
} // namespace

QString resultTable(const QList<BoardResult> &results) {
    const QStringList header = {QStringLiteral("Board"),  QStringLiteral("Device"),
                                QStringLiteral("Result"), QStringLiteral("Exit"),
                                QStringLiteral("Lines"),  QStringLiteral("Bytes"),
                                QStringLiteral("Seconds")};
    QList<QStringList> rows = {header};
    for (const BoardResult &r : results)
        rows.append({QString::number(r.board + 1), r.device, resultName(r.exitCode),
                     QString::number(r.exitCode),
                     QStringLiteral("%1/%2").arg(r.lines).arg(r.linesTotal),
                     QString::number(r.bytes), QString::number(r.seconds, 'f', 1)});
    return alignedTable(rows, 3);
}

QJsonObject resultObject(const BoardResult &r) {
    QJsonObject o;
    o.insert(QStringLiteral("board"), r.board + 1);
    o.insert(QStringLiteral("device"), r.device);
    o.insert(QStringLiteral("port"), r.portNumber > 0 ? QJsonValue(r.portNumber) : QJsonValue());
    o.insert(QStringLiteral("result"), resultName(r.exitCode));
    o.insert(QStringLiteral("exit_code"), r.exitCode);
    o.insert(QStringLiteral("lines"), r.lines);
    o.insert(QStringLiteral("lines_total"), r.linesTotal);
    o.insert(QStringLiteral("bytes"), r.bytes);
    o.insert(QStringLiteral("seconds"), std::round(r.seconds * 1000.0) / 1000.0);
    o.insert(QStringLiteral("sha256"), r.sha256.isEmpty() ? QJsonValue() : QJsonValue(r.sha256));
    if (!r.error.isEmpty())
        o.insert(QStringLiteral("error"), r.error);
    return o;
}

QByteArray resultJson(const QList<BoardResult> &results) {
    QJsonArray array;
    for (const BoardResult &r : results)
        array.append(resultObject(r));
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}

QString historyTable(const QList<QJsonObject> &lines) {
    QList<QStringList> rows = {{QStringLiteral("Start (UTC)"), QStringLiteral("Program"),
                                QStringLiteral("Device"), QStringLiteral("File"),
                                QStringLiteral("SHA-256"), QStringLiteral("Result"),
                                QStringLiteral("Exit"), QStringLiteral("Lines"),
                                QStringLiteral("Bytes"), QStringLiteral("Seconds")}};
    const auto text = [](const QJsonObject &o, const char *key) {
        const QJsonValue v = o.value(QLatin1String(key));
        if (v.isString())
            return v.toString();
        return v.isDouble() ? QString::number(v.toInteger()) : QStringLiteral("-");
    };
    for (const QJsonObject &o : lines) {
        const QDateTime start =
            QDateTime::fromString(o.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
        const QString program = o.value(QStringLiteral("program")).toString();
        const QString sha = o.value(QStringLiteral("sha256")).toString();
        const QJsonValue seconds = o.value(QStringLiteral("seconds"));
        rows.append({start.isValid() ? start.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                                     : QStringLiteral("-"),
                     program == QStringLiteral("tarnix-pellora")       ? QStringLiteral("window")
                     : program == QStringLiteral("tarnix-pellora-cli") ? QStringLiteral("cli")
                                                                       : program,
                     text(o, "device"), QFileInfo(text(o, "file")).fileName(),
                     sha.isEmpty() ? QStringLiteral("-") : sha.left(12), text(o, "result"),
                     text(o, "exit_code"), text(o, "lines_sent"), text(o, "bytes_sent"),
                     seconds.isDouble() ? QString::number(seconds.toDouble(), 'f', 1)
                                        : QStringLiteral("-")});
    }
    return alignedTable(rows, 6);
}
