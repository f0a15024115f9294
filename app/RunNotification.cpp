#include "app/RunNotification.h"

#include "session/RunEnd.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

const QString RunNotification::Service = QStringLiteral("org.freedesktop.Notifications");
const QString RunNotification::Path = QStringLiteral("/org/freedesktop/Notifications");
const QString RunNotification::Interface = QStringLiteral("org.freedesktop.Notifications");

// A notification's words, in plain text, and how the desktop should treat it.
struct RunNotification::Content {
    QString summary;
    QStringList body;
    QString category;  // a freedesktop notification category
    QString soundName; // a freedesktop sound-theme name
    uchar urgency = 1; // 1 normal; 2 critical, which most desktops keep until it is dismissed
};

RunNotification::RunNotification(QObject *parent) : QObject(parent) {}

std::optional<RunNotification::Content>
RunNotification::contentFor(EndCause cause, const QString &fileName, const QString &note) {
    const RunEnd &end = runEnd(cause);
    if (!end.summary)
        return std::nullopt;
    const QString summary = QString::fromUtf8(end.summary);
    if (end.result == RunResult::Programmed) {
        Content done{summary,
                     {fileName},
                     QStringLiteral("transfer.complete"),
                     QStringLiteral("complete"),
                     1};
        // A programmed run's note is a warning: the board may not hold what it was sent.
        if (!note.isEmpty())
            done.body << note;
        return done;
    }
    Content failed{
        summary, {fileName}, QStringLiteral("transfer.error"), QStringLiteral("dialog-error"), 2};
    // A reason that only repeats the summary is left out.
    if (const QString reason = end.reason(note); !reason.isEmpty() && reason != summary)
        failed.body << reason;
    return failed;
}

void RunNotification::runEnded(EndCause cause, const QString &fileName, const QString &note) {
    const std::optional<Content> content = contentFor(cause, fileName, note);
    if (!content)
        return;
    if (!bus_)
        bus_ = QDBusConnection::sessionBus();
    if (!bus_->isConnected())
        return;
    // Whether the server reads markup in the body decides how the file's name is written. It is
    // asked at every end: the server may have been started or replaced since the last one. An
    // error means there is no notification service, and nothing more is done.
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
    auto *asked = new QDBusPendingCallWatcher(bus_->asyncCall(ask), this);
    connect(asked, &QDBusPendingCallWatcher::finished, this,
            [this, content = *content](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                const QDBusPendingReply<QStringList> capabilities = *call;
                if (!capabilities.isError())
                    notify(content, capabilities.value().contains(QStringLiteral("body-markup")));
            });
}

void RunNotification::notify(const Content &content, bool markup) {
    QStringList body = content.body;
    if (markup)
        for (QString &line : body)
            line = line.toHtmlEscaped();
    const QVariantMap hints{{QStringLiteral("category"), content.category},
                            {QStringLiteral("sound-name"), content.soundName},
                            {QStringLiteral("desktop-entry"), QStringLiteral("tarnix-pellora")},
                            {QStringLiteral("urgency"), QVariant::fromValue(content.urgency)}};
    QDBusMessage message =
        QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    const int serverDefaultTimeout = -1;
    message << QStringLiteral("Tarnix Pellora") << shownId_ << QStringLiteral("tarnix-pellora")
            << content.summary << body.join(QLatin1Char('\n')) << QStringList() << hints
            << serverDefaultTimeout;
    auto *sent = new QDBusPendingCallWatcher(bus_->asyncCall(message), this);
    connect(sent, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        const QDBusPendingReply<uint> id = *call;
        if (!id.isError())
            shownId_ = id.value();
    });
}
