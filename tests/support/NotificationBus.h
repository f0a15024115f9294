#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariantMap>
#include <memory>

// A session bus of the test's own: a dbus-daemon started for it, without service activation, so
// that nothing installed on the machine answers in the place of the test's services. Connections
// made through connect() are closed and the daemon is stopped on destruction.
class PrivateSessionBus {
public:
    PrivateSessionBus();
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    bool ok() const { return !address_.isEmpty(); }
    QString error() const { return error_; }
    QString address() const { return address_; }
    // A new connection to the bus, as another program would have.
    QDBusConnection connect(const QString &name);

private:
    QTemporaryDir dir_;
    QProcess daemon_;
    QString address_;
    QString error_;
    QStringList connections_;
};

// The freedesktop notification service as a desktop offers it, recording every Notify call. It
// gives ids from 41 on and, as freedesktop servers do, a replaced notification keeps its id.
class FakeNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Call {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
        uint id = 0; // what the service answered
    };

    // Takes the service's name on `bus`; registered() tells whether that worked.
    FakeNotificationService(QDBusConnection bus, QStringList capabilities);
    ~FakeNotificationService() override;
    bool registered() const { return registered_; }

    QList<Call> calls;
    int capabilityQueries = 0;

public Q_SLOTS:
    QStringList GetCapabilities();
    uint Notify(const QString &app_name, uint replaces_id, const QString &app_icon,
                const QString &summary, const QString &body, const QStringList &actions,
                const QVariantMap &hints, int expire_timeout);

private:
    QDBusConnection bus_;
    QStringList capabilities_;
    bool registered_ = false;
    uint nextId_ = 41;
};
