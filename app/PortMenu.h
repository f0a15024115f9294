#pragma once

#include "serial/SerialDevices.h"

#include <QString>
#include <functional>
#include <optional>

class QMenu;

// The port box's context menu: the serial devices present, one entry each (its path as stored, and
// for a stable name the node it points to), checked where it is what the box's number opens today.
// Picking one calls `pick` with the number and the path to map. Without a valid number the entries
// are shown but disabled.
void addPortMenuEntries(QMenu &menu, const QList<SerialDevice> &devices, std::optional<int> number,
                        const QString &opens,
                        const std::function<void(int number, const QString &path)> &pick);
