#include "app/PortMenu.h"

#include "serial/PortResolver.h"

#include <QMenu>

void addPortMenuEntries(QMenu &menu, const QList<SerialDevice> &devices, std::optional<int> number,
                        const QString &opens,
                        const std::function<void(int number, const QString &path)> &pick) {
    const bool valid = number && *number >= MinPortNumber && *number <= MaxPortNumber;
    QAction *title =
        menu.addAction(valid ? QStringLiteral("COM%1 opens:").arg(*number)
                             : QStringLiteral("Type a port number (%1 to %2) to choose its device")
                                   .arg(MinPortNumber)
                                   .arg(MaxPortNumber));
    title->setEnabled(false);
    if (devices.isEmpty())
        menu.addAction(QStringLiteral("No serial devices found"))->setEnabled(false);
    for (const SerialDevice &device : devices) {
        // "&" would make a shortcut of the next letter.
        QString text = device.describe();
        text.replace(QLatin1Char('&'), QStringLiteral("&&"));
        QAction *entry = menu.addAction(text);
        entry->setData(device.path);
        entry->setCheckable(true);
        entry->setChecked(valid && (opens == device.path || opens == device.node));
        entry->setEnabled(valid);
        if (valid)
            QObject::connect(entry, &QAction::triggered, &menu,
                             [pick, n = *number, path = device.path] { pick(n, path); });
    }
}
