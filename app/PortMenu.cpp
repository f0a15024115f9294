#include "app/PortMenu.h"

#include "app/PortNumber.h"
#include "serial/PortResolver.h"
#include "settings/ModuleReg.h"

#include <QLineEdit>
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

PortBox::PortBox(QLineEdit &box, std::function<void(const QString &)> note, QObject *parent)
    : QObject(parent), box_(box), note_(std::move(note)) {
    // Right-click and the menu key both arrive here.
    box_.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&box_, &QWidget::customContextMenuRequested, this, &PortBox::showMenu);
}

QMenu *PortBox::createMenu(QWidget *parent) {
    auto *menu = new QMenu(parent);
    const auto number = portNumberFromText(box_.text());
    const bool valid = number && *number >= MinPortNumber;
    addPortMenuEntries(*menu, listDevices_(), valid ? std::optional<int>(*number) : std::nullopt,
                       valid ? resolvePortDevice(*number).device : QString(),
                       [this](int n, const QString &path) { mapPort(n, path); });
    return menu;
}

void PortBox::showMenu(const QPoint &pos) {
    QMenu *menu = createMenu(box_.window());
    // The box's own editing entries stay, below the devices.
    QMenu *editing = box_.createStandardContextMenu();
    menu->addSeparator();
    menu->addActions(editing->actions());
    connect(menu, &QObject::destroyed, editing, &QObject::deleteLater);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    // No nested event loop: the session's timers and the port go on while the menu is open.
    menu->popup(box_.mapToGlobal(pos));
}

void PortBox::mapPort(int number, const QString &device) {
    if (ModuleReg::mapPortDevice(number, device))
        note_(QStringLiteral("COM%1 opens %2 from the next Connect.").arg(number).arg(device));
    else
        note_(QStringLiteral("COM%1 is unchanged: %2 cannot be written.")
                  .arg(number)
                  .arg(ModuleReg::settingsFileFor(ModuleReg::HKEY_LOCAL_MACHINE,
                                                  QString::fromLatin1(ModuleReg::SettingsPath))));
}
