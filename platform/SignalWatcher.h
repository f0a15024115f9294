#pragma once

#include <QObject>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns signals (SIGINT, SIGTERM) into a Qt signal on the event loop, through a self-pipe: the
// handler itself only writes one byte. One instance at a time.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(std::initializer_list<int> signals, QObject *parent = nullptr);
    ~SignalWatcher() override;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier *notifier_ = nullptr;
    std::vector<int> signals_;
};
