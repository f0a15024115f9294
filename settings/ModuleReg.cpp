#include "settings/ModuleReg.h"

#include "settings/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <algorithm>

namespace ModuleReg {

namespace {

const QString General = QStringLiteral("General");
const QString Ports = QStringLiteral("Ports");

QString configFolder() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(xdg)))
        return QString::fromLocal8Bit(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

// The file as it is on disk: a missing file is an empty one; one that cannot be read has no
// contents at all, only the reason.
struct Loaded {
    std::optional<IniFile> ini;
    QString error;
};

Loaded load(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists())
        return {IniFile::parse({}), {}};
    if (!info.isFile())
        return {std::nullopt, QStringLiteral("not a file")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {std::nullopt, file.errorString()};
    return {IniFile::parse(file.readAll()), {}};
}

bool storeValue(const QString &path, const QString &group, const QString &key,
                const QString &text) {
    const QFileInfo info(path);
    // A file made read-only stays as it is, for root too (who could write it anyway).
    if (info.exists() && (!info.isFile() || !info.isReadable() || !info.isWritable() ||
                          !(info.permissions() & QFileDevice::WriteOwner)))
        return false;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    Loaded loaded = load(path);
    if (!loaded.ini)
        return false;
    const QByteArray before = loaded.ini->contents();
    loaded.ini->setValue(group, key, text);
    const QByteArray after = loaded.ini->contents();
    if (after == before && info.exists())
        return true;
    // Written whole under another name and then renamed: a crash or a full disk never leaves half a
    // file.
    QSaveFile file(info.isSymLink() ? info.symLinkTarget() : path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (file.write(after) != after.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace

QString settingsFileFor(RootKey root, const QString &path) {
    if (root != HKEY_LOCAL_MACHINE && root != HKEY_CURRENT_USER)
        return {};
    QStringList parts = path.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    if (!parts.isEmpty() &&
        parts.first().compare(QStringLiteral("Software"), Qt::CaseInsensitive) == 0)
        parts.removeFirst();
    if (parts.isEmpty())
        return {};
    for (const QString &part : parts)
        if (part == QStringLiteral(".") || part == QStringLiteral("..") ||
            part.contains(QLatin1Char('/')))
            return {};
    return configFolder() + QLatin1Char('/') + parts.join(QLatin1Char('/')) +
           QStringLiteral(".ini");
}

QString settingsFile() {
    return settingsFileFor(HKEY_LOCAL_MACHINE, QString::fromLatin1(SettingsPath));
}

std::optional<QString> ReadRegString(RootKey root, const QString &path, const QString &name) {
    const QString file = settingsFileFor(root, path);
    if (file.isEmpty() || name.isEmpty())
        return std::nullopt;
    const Loaded loaded = load(file);
    if (!loaded.ini)
        return std::nullopt;
    std::optional<QString> text = loaded.ini->value(General, name);
    if (text) {
        const qsizetype nul = text->indexOf(QChar(0));
        if (nul >= 0)
            text->truncate(nul);
    }
    return text;
}

void WriteRegString(RootKey root, const QString &path, const QString &name, const QString &text) {
    const QString file = settingsFileFor(root, path);
    if (file.isEmpty() || name.isEmpty())
        return;
    (void)storeValue(file, General, name, text);
}

PortMapping portMapping(int number) {
    const QString file = settingsFile();
    const Loaded loaded = load(file);
    if (!loaded.ini)
        return {PortMapping::State::Unreadable,
                {},
                QStringLiteral("the port map %1 cannot be read (%2)").arg(file, loaded.error)};
    const QString key = QStringLiteral("COM%1").arg(number);
    if (const auto device = loaded.ini->value(Ports, key)) {
        if (!device->trimmed().isEmpty())
            return {PortMapping::State::Mapped, device->trimmed(), {}};
        return {PortMapping::State::Unreadable,
                {},
                QStringLiteral("line %1 of %2 maps it to no device")
                    .arg(loaded.ini->lineOf(Ports, key))
                    .arg(file)};
    }
    // An entry the reader could not make out may be this very number's: no guess is made.
    if (const auto damage = loaded.ini->damageIn(Ports))
        return {PortMapping::State::Unreadable,
                {},
                QStringLiteral("line %1 of %2 cannot be read, so its device is unknown")
                    .arg(damage->line)
                    .arg(file)};
    return {};
}

QList<int> mappedPortNumbers() {
    const Loaded loaded = load(settingsFile());
    QList<int> numbers;
    if (!loaded.ini)
        return numbers;
    static const QRegularExpression Key(QStringLiteral("^COM([0-9]{1,9})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    for (const QString &key : loaded.ini->keys(Ports))
        if (const auto match = Key.match(key); match.hasMatch())
            numbers << match.captured(1).toInt();
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

bool mapPortDevice(int number, const QString &device) {
    if (device.trimmed().isEmpty())
        return false;
    return storeValue(settingsFile(), Ports, QStringLiteral("COM%1").arg(number), device);
}

QString UnreadableLine::describe() const {
    return QStringLiteral("%1, line %2: \"%3\" %4").arg(file).arg(line).arg(text, reason);
}

QList<UnreadableLine> unreadableLines() {
    const QString file = settingsFile();
    const Loaded loaded = load(file);
    QList<UnreadableLine> lines;
    if (loaded.ini)
        for (const IniFile::Problem &problem : loaded.ini->problems())
            lines.append({file, problem.line, problem.text, problem.reason});
    return lines;
}

bool ReadSettingSwitch(const QString &group, const QString &name, bool fallback, QString *problem) {
    const Loaded loaded = load(settingsFile());
    if (!loaded.ini)
        return fallback;
    const std::optional<QString> text = loaded.ini->value(group, name);
    if (!text)
        return fallback;
    const QString word = text->trimmed().toLower();
    if (word == QLatin1String("true") || word == QLatin1String("yes") ||
        word == QLatin1String("on") || word == QLatin1String("1"))
        return true;
    if (word == QLatin1String("false") || word == QLatin1String("no") ||
        word == QLatin1String("off") || word == QLatin1String("0"))
        return false;
    if (problem)
        *problem = QStringLiteral("%1=%2 in the [%3] group of %4 is neither true nor false")
                       .arg(name, *text, group, settingsFile());
    return fallback;
}

std::optional<int> ReadGeneralNumber(const QString &name, int low, int high, QString *problem) {
    const auto text = ReadRegString(HKEY_LOCAL_MACHINE, QString::fromLatin1(SettingsPath), name);
    if (!text)
        return std::nullopt;
    bool ok = false;
    const int value = text->trimmed().toInt(&ok);
    if (ok && value >= low && value <= high)
        return value;
    if (problem)
        *problem = QStringLiteral("%1=%2 in %3 is not a number from %4 to %5")
                       .arg(name, *text, settingsFile())
                       .arg(low)
                       .arg(high);
    return std::nullopt;
}

} // namespace ModuleReg
