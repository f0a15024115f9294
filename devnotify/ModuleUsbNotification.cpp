#include "devnotify/ModuleUsbNotification.h"

#include "devnotify/UsbMonitor.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <memory>

namespace ModuleUsbNotification {

NotifyHandleType NotifyHandle = nullptr;

namespace {

// The hook: every native event goes on to the handler that was there before.
class PassThroughFilter final : public QAbstractNativeEventFilter {
public:
    bool nativeEventFilter(const QByteArray &, void *, qintptr *) override { return false; }
};

std::unique_ptr<PassThroughFilter> hook;

} // namespace

NotifyHandleType RegisterUsbNotification(QWidget *window) {
    Q_UNUSED(window);
    NotifyHandle = UsbMonitor::create().release();
    if (!hook && QCoreApplication::instance()) {
        hook = std::make_unique<PassThroughFilter>();
        QCoreApplication::instance()->installNativeEventFilter(hook.get());
    }
    return NotifyHandle;
}

void UnregisterUsbNotification(QWidget *window, NotifyHandleType handle) {
    Q_UNUSED(window);
    delete static_cast<UsbMonitor *>(handle);
    if (handle == NotifyHandle)
        NotifyHandle = nullptr;
    if (hook) {
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeNativeEventFilter(hook.get());
        hook.reset();
    }
}

bool hookInstalled() {
    return hook != nullptr;
}

quint64 deviceEventsSeen() {
    const auto *monitor = static_cast<const UsbMonitor *>(NotifyHandle);
    return monitor ? monitor->eventsSeen() : 0;
}

} // namespace ModuleUsbNotification
