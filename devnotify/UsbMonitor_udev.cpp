#include "devnotify/UsbMonitor.h"

#include <QSocketNotifier>
#include <libudev.h>
#include <unistd.h>

namespace {

class UdevUsbMonitor final : public UsbMonitor {
public:
    UdevUsbMonitor(udev *context, udev_monitor *monitor) : context_(context), monitor_(monitor) {
        notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
    }
    ~UdevUsbMonitor() override {
        delete notifier_;
        udev_monitor_unref(monitor_);
        udev_unref(context_);
    }

private:
    void drain() {
        while (udev_device *device = udev_monitor_receive_device(monitor_)) {
            ++eventsSeen_;
            const char *action = udev_device_get_action(device);
            const char *path = udev_device_get_devnode(device);
            Q_EMIT deviceChanged(QString::fromLocal8Bit(action ? action : ""),
                                 QString::fromLocal8Bit(path ? path : ""));
            udev_device_unref(device);
        }
    }

    udev *context_;
    udev_monitor *monitor_;
    QSocketNotifier *notifier_ = nullptr;
};

udev_monitor *openMonitor(udev *context, const char *source) {
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, source);
    if (!monitor)
        return nullptr;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return nullptr;
    }
    return monitor;
}

} // namespace

std::unique_ptr<UsbMonitor> UsbMonitor::create() {
    udev *context = udev_new();
    if (!context)
        return nullptr;
    // Events processed by udevd where it runs; the kernel's raw ones otherwise (a container, where
    // a udev monitor opens fine but never hears anything).
    const bool udevdRuns = ::access("/run/udev/control", F_OK) == 0;
    udev_monitor *monitor = udevdRuns ? openMonitor(context, "udev") : nullptr;
    if (!monitor)
        monitor = openMonitor(context, "kernel");
    if (!monitor) {
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<UdevUsbMonitor>(context, monitor);
}
