#pragma once

#include "serial/SerialDevices.h"

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

class QLineEdit;
class QMenu;
class QPoint;
class QWidget;

// The port box's context menu: the serial devices present, one entry each (its path as stored, and
// for a stable name the node it points to), checked where it is what the box's number opens today.
// Picking one calls `pick` with the number and the path to map. Without a valid number the entries
// are shown but disabled.
void addPortMenuEntries(QMenu &menu, const QList<SerialDevice> &devices, std::optional<int> number,
                        const QString &opens,
                        const std::function<void(int number, const QString &path)> &pick);

// The port box and its device menu. A right-click (or the menu key) on the box shows the entries
// above, then the box's own editing entries; picking a device maps the box's number to it in
// [Ports], with a note.
class PortBox : public QObject {
    Q_OBJECT
public:
    using DeviceLister = std::function<QList<SerialDevice>()>;
    PortBox(QLineEdit &box, std::function<void(const QString &)> note, QObject *parent = nullptr);

    // The serial devices the menu offers; replaceable for tests.
    void setDeviceLister(DeviceLister lister) { listDevices_ = std::move(lister); }
    QList<SerialDevice> devices() const { return listDevices_(); }
    // The device entries alone, without the box's editing entries; the caller owns the menu.
    QMenu *createMenu(QWidget *parent);
    // Maps port `number` to `device` in [Ports], with a note.
    void mapPort(int number, const QString &device);

private:
    void showMenu(const QPoint &pos);

    QLineEdit &box_;
    std::function<void(const QString &)> note_;
    DeviceLister listDevices_ = [] { return listSerialDevices(); };
};
