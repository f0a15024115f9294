#include "settings/ModuleReg.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryFile>

namespace ModuleReg {

namespace {

QString configFolder() {
    const QByteArray xdg = qgetenv("XDG_CONFIG_HOME");
    if (!xdg.isEmpty() && QDir::isAbsolutePath(QString::fromLocal8Bit(xdg)))
        return QString::fromLocal8Bit(xdg);
    return QDir::homePath() + QStringLiteral("/.config");
}

// Whether every group parses. Qt parses a group on its first use only, and its lookup can miss a
// group when a subgroup sorts between it and the key ("[Ports/A]" hides "Ports/COM1" until then).
bool parsesFully(const QSettings &settings) {
    (void)settings.allKeys();
    return settings.status() == QSettings::NoError;
}

// QSettings treats a file it cannot parse as empty and would overwrite it on the next write;
// a file that is not there, or that parses, is safe to use. The store's status alone does not tell:
// Qt keeps every file it has read in a process-wide cache and reads it again only when its size or
// time has changed, so a second QSettings on a file that did not parse reports no error and serves
// (and would write back) what it made of it. A copy under a name no cache knows is parsed anew.
bool usable(const QSettings &store) {
    if (!parsesFully(store))
        return false;
    QFile file(store.fileName());
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.readAll();
    QTemporaryFile copy;
    if (!copy.open() || copy.write(contents) != contents.size() || !copy.flush())
        return false;
    return parsesFully(QSettings(copy.fileName(), QSettings::IniFormat));
}

bool storeValue(const QString &file, const QString &key, const QString &text) {
    const QFileInfo info(file);
    // A file made read-only stays as it is, for root too (who could write it anyway).
    if (info.exists() && (!info.isFile() || !info.isReadable() || !info.isWritable() ||
                          !(info.permissions() & QFileDevice::WriteOwner)))
        return false;
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QSettings store(file, QSettings::IniFormat);
    if (!usable(store))
        return false;
    store.setValue(key, text);
    store.sync();
    return store.status() == QSettings::NoError;
}

QString settingsFile() {
    return settingsFileFor(HKEY_LOCAL_MACHINE, QString::fromLatin1(SettingsPath));
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

std::optional<QString> ReadRegString(RootKey root, const QString &path, const QString &name) {
    const QString file = settingsFileFor(root, path);
    if (file.isEmpty() || name.isEmpty())
        return std::nullopt;
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable())
        return std::nullopt;
    QSettings store(file, QSettings::IniFormat);
    if (!usable(store))
        return std::nullopt;
    const QVariant value = store.value(name);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    QString text = value.toString();
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0)
        text.truncate(nul);
    return text;
}

void WriteRegString(RootKey root, const QString &path, const QString &name, const QString &text) {
    const QString file = settingsFileFor(root, path);
    if (file.isEmpty() || name.isEmpty())
        return;
    (void)storeValue(file, name, text);
}

std::optional<QString> mappedPortDevice(int number) {
    const QString file = settingsFile();
    const QFileInfo info(file);
    if (!info.isFile() || !info.isReadable())
        return std::nullopt;
    QSettings store(file, QSettings::IniFormat);
    if (!usable(store))
        return std::nullopt;
    const QString device =
        store.value(QStringLiteral("Ports/COM%1").arg(number)).toString().trimmed();
    if (device.isEmpty())
        return std::nullopt;
    return device;
}

bool mapPortDevice(int number, const QString &device) {
    if (device.trimmed().isEmpty())
        return false;
    return storeValue(settingsFile(), QStringLiteral("Ports/COM%1").arg(number), device);
}

} // namespace ModuleReg
