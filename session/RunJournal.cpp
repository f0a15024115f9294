#include "session/RunJournal.h"

#include "session/RunEnd.h"

#include <QFileInfo>
#include <QJsonArray>

namespace {

// "exit_code" -> "PELLORA_EXIT", "sent_sha256" -> "PELLORA_SENT_SHA256", a group "fw-version" ->
// "PELLORA_BOOT_FW_VERSION": the journal takes upper-case letters, digits and underscores.
QByteArray fieldName(const QString &prefix, const QString &key) {
    static const QHash<QString, QString> Renamed = {
        {QStringLiteral("exit_code"), QStringLiteral("exit")}};
    QByteArray name = (prefix + Renamed.value(key, key)).toUpper().toLatin1();
    for (char &c : name)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            c = '_';
    return name.left(64);
}

QByteArray text(const QJsonValue &value) {
    if (value.isString())
        return value.toString().toUtf8();
    if (value.isBool())
        return value.toBool() ? "true" : "false";
    if (value.isDouble()) {
        const double d = value.toDouble();
        return d == static_cast<double>(static_cast<qint64>(d))
                   ? QByteArray::number(static_cast<qint64>(d))
                   : QByteArray::number(d, 'f', 3);
    }
    return {};
}

// Every field of `object`, nested objects as NAME_KEY, arrays as one field per element.
void addFields(QList<JournalField> &fields, const QString &prefix, const QJsonObject &object) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QJsonValue value = it.value();
        if (value.isNull() || value.isUndefined())
            continue;
        if (value.isObject()) {
            // The boot check's groups are fields of the boot check.
            const bool groups = it.key() == QLatin1String("groups");
            addFields(fields, groups ? prefix : prefix + it.key() + QLatin1Char('_'),
                      value.toObject());
        } else if (value.isArray()) {
            QString key = it.key();
            if (key.endsWith(QLatin1Char('s')))
                key.chop(1); // PELLORA_WARNING, once per warning
            for (const QJsonValue &element : value.toArray())
                fields.append({fieldName(prefix, key), text(element)});
        } else {
            fields.append({fieldName(prefix, it.key()), text(value)});
        }
    }
}

struct Kind {
    const char *messageId;
    int priority;
    const char *words;    // what the MESSAGE starts with
    bool withNote = true; // the MESSAGE ends with the run's note
};

QString result(const QJsonObject &line) {
    return line.value(QStringLiteral("result")).toString();
}

Kind kindOf(const QJsonObject &line) {
    const QString result = ::result(line);
    if (result == QLatin1String("programmed")) {
        const QString boot = line.value(QStringLiteral("boot"))
                                 .toObject()
                                 .value(QStringLiteral("result"))
                                 .toString();
        const bool proven = (boot.isEmpty() || boot == QLatin1String("booted")) &&
                            line.value(QStringLiteral("exit_code")).toInt() != 7;
        return proven ? Kind{JournalMessageId::Programmed, 5, RunEnd::ProgrammedText, false}
                      : Kind{JournalMessageId::NotProvenToBoot, 4, RunEnd::NotBootedText};
    }
    if (result == QLatin1String("cancelled"))
        return {JournalMessageId::Cancelled, 5, "Cancelled", false};
    if (result == QLatin1String("no-boot-prompt"))
        return {JournalMessageId::NoBootPrompt, 3, RunEnd::NoBootPromptText};
    if (result == QLatin1String("ack-timeout"))
        return {JournalMessageId::AckTimeout, 3, RunEnd::FailedText};
    if (result == QLatin1String("file-error"))
        return {JournalMessageId::FileError, 3, RunEnd::FailedText};
    return {JournalMessageId::PortError, 3, RunEnd::FailedText};
}

} // namespace

QByteArray JournalEntry::value(QByteArrayView name) const {
    for (const JournalField &field : fields)
        if (field.first == name)
            return field.second;
    return {};
}

JournalEntry journalEntry(const QJsonObject &line) {
    const Kind kind = kindOf(line);
    const QString device = line.value(QStringLiteral("device")).toString();
    const QString file = QFileInfo(line.value(QStringLiteral("file")).toString()).fileName();
    const QString serial = line.value(QStringLiteral("serial")).toString();
    QString note = line.value(QStringLiteral("note")).toString();
    // A note that starts with the end's own words says them once.
    if (note.startsWith(QString::fromUtf8(kind.words)))
        note = note.mid(static_cast<qsizetype>(qstrlen(kind.words))).trimmed();
    // "PROGRAMMED /dev/ttyUSB0 app.hex serial 1003 in 41.2 s"; a failure with its note.
    QString message = QStringLiteral("%1 %2 %3").arg(QString::fromUtf8(kind.words), device, file);
    if (!serial.isEmpty())
        message += QStringLiteral(" serial ") + serial;
    if (kind.withNote && !note.isEmpty())
        message += QStringLiteral(": ") + note;
    else if (!kind.withNote && result(line) == QLatin1String("programmed"))
        message += QStringLiteral(" in %1 s")
                       .arg(line.value(QStringLiteral("seconds")).toDouble(), 0, 'f', 1);

    JournalEntry entry;
    entry.fields = {
        {"MESSAGE", message.toUtf8()},
        {"MESSAGE_ID", kind.messageId},
        {"PRIORITY", QByteArray::number(kind.priority)},
        {"SYSLOG_IDENTIFIER", line.value(QStringLiteral("program")).toString().toUtf8()}};
    addFields(entry.fields, QStringLiteral("PELLORA_"), line);
    return entry;
}

void RunJournal::record(const QJsonObject &historyLine) {
    if (!sink_ || !sink_->available())
        return;
    const QString error = sink_->send(journalEntry(historyLine));
    if (!error.isEmpty() && !std::exchange(failedOnce_, true))
        warning_ = error;
}
