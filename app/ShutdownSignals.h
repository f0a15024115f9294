#pragma once

#include <QObject>

class QSocketNotifier;
class QWidget;

// Turns SIGTERM, SIGHUP and SIGINT into a close of the window, on the event loop, so that shut-down
// (port closed, notifications removed) runs before the program ends.
class ShutdownSignals : public QObject {
    Q_OBJECT
public:
    explicit ShutdownSignals(QWidget *window);
    ~ShutdownSignals() override;

private:
    QSocketNotifier *notifier_ = nullptr;
};
