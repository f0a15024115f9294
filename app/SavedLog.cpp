#include "app/SavedLog.h"

#include <QSaveFile>
#include <QStringList>

namespace {

QString utc(const QDateTime &time) {
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

QString savedLogText(const SavedLogHeader &header, const QString &log) {
    QStringList lines;
    // With its offset, also where local time is UTC.
    const QDateTime saved = header.saved.toOffsetFromUtc(header.saved.offsetFromUtc());
    lines << QStringLiteral("Tarnix Pellora log, saved %1").arg(saved.toString(Qt::ISODate));
    lines << QStringLiteral("Version: %1").arg(header.version);
    lines << (header.portNumber == 0
                  ? QStringLiteral("Port: none")
                  : QStringLiteral("Port: %1, %2%3")
                        .arg(header.portNumber)
                        .arg(header.device,
                             header.connected ? QString() : QStringLiteral(" (closed)")));
    lines << QStringLiteral("File: %1")
                 .arg(header.file.isEmpty() ? QStringLiteral("none") : header.file);
    if (!header.file.isEmpty())
        lines << QStringLiteral("SHA-256: %1")
                     .arg(header.fileSha256.isEmpty() ? QStringLiteral("the file cannot be read")
                                                      : header.fileSha256);
    if (const auto &run = header.lastRun) {
        lines << QStringLiteral("Last run: %1, %2 of %3 lines sent, %4 to %5")
                     .arg(toString(run->result))
                     .arg(run->linesSent)
                     .arg(run->facts ? run->facts->lines : 0)
                     .arg(utc(run->started), utc(run->ended));
    } else {
        lines << QStringLiteral("Last run: none");
    }
    lines << QString() << log;
    QString text = lines.join(QLatin1Char('\n'));
    if (!text.endsWith(QLatin1Char('\n')))
        text += QLatin1Char('\n');
    return text;
}

QString writeTextFile(const QString &path, const QString &text) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return file.errorString();
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        const QString error = file.errorString();
        file.cancelWriting();
        return error;
    }
    if (!file.commit())
        return file.errorString();
    return {};
}
