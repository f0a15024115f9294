#include "cli/Report.h"

#include "cli/ExitCodes.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

QString resultName(int exitCode) {
    switch (exitCode) {
    case ExitCode::Programmed:
        return QStringLiteral("programmed");
    case ExitCode::NoBootPrompt:
        return QStringLiteral("no-boot-prompt");
    case ExitCode::AckTimeout:
        return QStringLiteral("ack-timeout");
    case ExitCode::PortError:
        return QStringLiteral("port-error");
    case ExitCode::FileError:
        return QStringLiteral("file-error");
    case ExitCode::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QStringLiteral("exit-%1").arg(exitCode);
}

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

    QList<qsizetype> widths(header.size(), 0);
    for (const QStringList &row : rows)
        for (qsizetype c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    // Text columns to the left, numbers to the right.
    const auto isText = [](qsizetype column) { return column <= 2; };
    QString text;
    for (const QStringList &row : rows) {
        QStringList cells;
        for (qsizetype c = 0; c < row.size(); ++c)
            cells << (isText(c) ? row[c].leftJustified(widths[c])
                                : row[c].rightJustified(widths[c]));
        text += cells.join(QStringLiteral("  ")).trimmed() + QLatin1Char('\n');
    }
    return text;
}

QByteArray resultJson(const QList<BoardResult> &results) {
    QJsonArray array;
    for (const BoardResult &r : results) {
        QJsonObject o;
        o.insert(QStringLiteral("board"), r.board + 1);
        o.insert(QStringLiteral("device"), r.device);
        o.insert(QStringLiteral("port"),
                 r.portNumber > 0 ? QJsonValue(r.portNumber) : QJsonValue());
        o.insert(QStringLiteral("result"), resultName(r.exitCode));
        o.insert(QStringLiteral("exit_code"), r.exitCode);
        o.insert(QStringLiteral("lines"), r.lines);
        o.insert(QStringLiteral("lines_total"), r.linesTotal);
        o.insert(QStringLiteral("bytes"), r.bytes);
        o.insert(QStringLiteral("seconds"), std::round(r.seconds * 1000.0) / 1000.0);
        if (!r.error.isEmpty())
            o.insert(QStringLiteral("error"), r.error);
        array.append(o);
    }
    return QJsonDocument(array).toJson(QJsonDocument::Indented);
}
