#pragma once

#include "clock/Timer.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <memory>

class QSocketNotifier;

// Tells when a device path may have appeared, gone or changed its owner or mode. inotify watches
// every folder along the path that exists (a /dev/serial/by-id folder goes with its last device
// and comes back with the next, and the node itself lives in /dev), so a board plugged in is seen
// as the kernel and udev make its node and links, not at the next poll. Where inotify cannot be
// had, a slow poll stands in. A listener looks at the path again on every `changed()`.
class DeviceWatch : public QObject {
    Q_OBJECT
public:
    // The poll where inotify cannot be had.
    static constexpr int PollMs = 250;

    explicit DeviceWatch(TimerFactory &timers, QObject *parent = nullptr);
    ~DeviceWatch() override;
    DeviceWatch(const DeviceWatch &) = delete;
    DeviceWatch &operator=(const DeviceWatch &) = delete;

    // Starts watching `path`, or moves the watch to it.
    void watch(const QString &path);
    void stop();
    bool watching() const { return !path_.isEmpty(); }
    const QString &path() const { return path_; }

Q_SIGNALS:
    // Something changed along the path: look at it again.
    void changed();

private:
    void onEvents();
    // Watches the folders of the path that exist now, and none that have gone.
    void rearm();

    int inotify_ = -1;
    QSocketNotifier *notifier_ = nullptr;
    std::unique_ptr<Timer> poll_;
    QString path_;
    QHash<int, QString> folders_; // watch descriptor -> folder
};
