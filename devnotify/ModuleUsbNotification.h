#pragma once

#include <QtGlobal>

class QWidget;

// Subscribes the window to USB device arrivals and removals for as long as it lives, and hooks the
// application's native event stream with a filter that passes every event on unchanged. The tool
// takes no action on a device change; the subscription is the place a later feature would use.
namespace ModuleUsbNotification {

using NotifyHandleType = void *;

// The subscription; null when none could be made (no udev, a container): not an error.
extern NotifyHandleType NotifyHandle;

// Subscribes `window` and installs the hook. Returns the handle, also kept in NotifyHandle.
NotifyHandleType RegisterUsbNotification(QWidget *window);

// Ends the subscription and removes the hook. A null handle is accepted and does nothing.
void UnregisterUsbNotification(QWidget *window, NotifyHandleType handle);

// Whether the hook is installed; the number of device events seen since registration.
bool hookInstalled();
quint64 deviceEventsSeen();

} // namespace ModuleUsbNotification
