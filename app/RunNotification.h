#pragma once

#include "session/SessionTypes.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <optional>

// The end of a run on the desktop, for an operator who is looking at the board or at another
// window: one notification through the freedesktop notification service on the session bus, each
// run's replacing the one before. Without a session bus or a notification service nothing happens
// and nothing is said. Every call is asynchronous: the window never waits for the desktop.
class RunNotification : public QObject {
    Q_OBJECT
public:
    explicit RunNotification(QObject *parent = nullptr);

    // The bus to notify on; by default the session bus, connected at the first notification.
    void setBus(const QDBusConnection &bus) { bus_ = bus; }

    // A run ended by `cause` (see session/RunEnd.h), with the note the session showed: PROGRAMMED,
    // a failure with its reason, or the restart that never came. An end the operator made raises
    // nothing. `fileName` is the file's name without its folder.
    void runEnded(EndCause cause, const QString &fileName, const QString &note);

private:
    static const QString Service;
    static const QString Path;
    static const QString Interface;

    struct Content;
    static std::optional<Content> contentFor(EndCause cause, const QString &fileName,
                                             const QString &note);
    void notify(const Content &content, bool markup);

    std::optional<QDBusConnection> bus_;
    // The id the server gave the last notification: the next one replaces it.
    uint shownId_ = 0;
};
