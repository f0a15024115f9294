#include "serial/PortResolver.h"

#include "settings/ModuleReg.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>

QString resolvePortDevice(int number) {
    if (const auto mapped = ModuleReg::mappedPortDevice(number))
        return *mapped;
    return QStringLiteral("/dev/ttyS%1").arg(number - 1);
}

QString portMapFile() {
    return ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                      QString::fromLatin1(ModuleReg::SettingsPath));
}

QList<int> mappedPortNumbers() {
    QList<int> numbers;
    const QString file = portMapFile();
    if (!QFileInfo(file).isFile())
        return numbers;
    QSettings store(file, QSettings::IniFormat);
    store.beginGroup(QStringLiteral("Ports"));
    static const QRegularExpression Key(QStringLiteral("^COM([0-9]+)$"));
    for (const QString &key : store.childKeys()) {
        const auto match = Key.match(key);
        bool ok = false;
        const int number = match.hasMatch() ? match.captured(1).toInt(&ok) : 0;
        if (ok && number >= MinPortNumber && number <= MaxPortNumber)
            numbers << number;
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}
