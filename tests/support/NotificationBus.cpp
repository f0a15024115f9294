#include "NotificationBus.h"

#include "Wait.h"

#include <QFile>

namespace {

// A session bus without service directories: only the test's own services are on it.
const char *const Config =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

} // namespace

PrivateSessionBus::PrivateSessionBus() {
    const QString config = dir_.filePath(QStringLiteral("session.conf"));
    QFile file(config);
    if (!dir_.isValid() || !file.open(QIODevice::WriteOnly)) {
        error_ = QStringLiteral("no scratch folder for the bus");
        return;
    }
    file.write(QString::fromLatin1(Config).arg(dir_.path()).toUtf8());
    file.close();
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                          QStringLiteral("--print-address")});
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) {
        error_ = QStringLiteral("dbus-daemon did not start (package dbus-daemon): ") +
                 daemon_.errorString();
        return;
    }
    waitUntil([this] { return daemon_.canReadLine() || daemon_.state() != QProcess::Running; },
              5000);
    address_ = QString::fromLocal8Bit(daemon_.readLine()).trimmed();
    // Its complaints (as root it cannot raise its descriptor limit) matter only when it failed.
    if (address_.isEmpty())
        error_ = QStringLiteral("dbus-daemon printed no address: ") +
                 QString::fromLocal8Bit(daemon_.readAllStandardError());
}

PrivateSessionBus::~PrivateSessionBus() {
    for (const QString &name : connections_)
        QDBusConnection::disconnectFromBus(name);
    if (daemon_.state() != QProcess::NotRunning) {
        daemon_.terminate();
        if (!waitForEnd(daemon_, 3000)) {
            daemon_.kill();
            waitForEnd(daemon_, 3000);
        }
    }
}

QDBusConnection PrivateSessionBus::connect(const QString &name) {
    connections_ << name;
    return QDBusConnection::connectToBus(address_, name);
}

FakeNotificationService::FakeNotificationService(QDBusConnection bus, QStringList capabilities)
    : bus_(bus), capabilities_(std::move(capabilities)) {
    registered_ = bus_.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this,
                                      QDBusConnection::ExportAllSlots) &&
                  bus_.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

FakeNotificationService::~FakeNotificationService() {
    bus_.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    bus_.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
}

QStringList FakeNotificationService::GetCapabilities() {
    ++capabilityQueries;
    return capabilities_;
}

uint FakeNotificationService::Notify(const QString &app_name, uint replaces_id,
                                     const QString &app_icon, const QString &summary,
                                     const QString &body, const QStringList &actions,
                                     const QVariantMap &hints, int expire_timeout) {
    const uint id = replaces_id != 0 ? replaces_id : nextId_++;
    calls.append(
        {app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout, id});
    return id;
}
