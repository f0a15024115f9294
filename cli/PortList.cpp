#include "cli/PortList.h"

#include "serial/PortResolver.h"
#include "settings/ModuleReg.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <algorithm>

namespace {

QString devicesPresent(const QList<SerialDevice> &devices) {
    // The window's port box offers the same list, in the same order.
    QString text = QStringLiteral("Serial devices:\n");
    if (devices.isEmpty())
        text += QStringLiteral("  (none)\n");
    for (const SerialDevice &device : devices)
        text += QStringLiteral("  ") + device.describe() + QLatin1Char('\n');
    return text;
}

QString portMap() {
    const QString file = ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                                    QString::fromLatin1(ModuleReg::SettingsPath));
    QString text = QStringLiteral("Port numbers ([Ports] in %1):\n").arg(file);
    QList<int> numbers;
    if (QFileInfo(file).isFile()) {
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
    }
    std::sort(numbers.begin(), numbers.end());
    for (int number : numbers) {
        // The window's own resolution, so that what is shown is what --port opens.
        const QString device = resolvePortDevice(number);
        const QFileInfo info(device);
        QString state;
        if (!info.exists())
            state = QStringLiteral("missing");
        else if (info.isSymLink())
            state = info.canonicalFilePath();
        text += QStringLiteral("  COM%1 -> %2%3\n")
                    .arg(number)
                    .arg(device, state.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(state));
    }
    if (numbers.isEmpty())
        text += QStringLiteral("  (none)\n");
    text += QStringLiteral("Any other number N opens /dev/ttyS<N-1>.\n");
    return text;
}

} // namespace

QString portListing(const QList<SerialDevice> &devices) {
    return devicesPresent(devices) + portMap();
}
