#pragma once

#include <QObject>
#include <memory>

// Watches USB device arrivals and removals on the event loop. One implementation per platform
// library, chosen by CMake; without one, create() returns null.
class UsbMonitor : public QObject {
    Q_OBJECT
public:
    static std::unique_ptr<UsbMonitor> create();
    ~UsbMonitor() override = default;

    quint64 eventsSeen() const { return eventsSeen_; }

Q_SIGNALS:
    void deviceChanged(const QString &action, const QString &devicePath);

protected:
    UsbMonitor() = default;
    quint64 eventsSeen_ = 0;
};
