// The end of a run on the desktop: what a fake notification service on a private session bus
// receives, from the notification alone and from the window's runs against the simulator; and
// nothing, and not a word, without a bus or a service.
#include "NotificationBus.h"
#include "Wait.h"
#include "WindowRig.h"

#include "app/RunNotification.h"

#include <QDBusPendingCallWatcher>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>

namespace {

const QStringList MarkupServer = {QStringLiteral("body"), QStringLiteral("body-markup"),
                                  QStringLiteral("sound")};
const QStringList PlainServer = {QStringLiteral("body")};

// Every message Qt or the program prints while it is in scope.
class MessageCatcher {
public:
    MessageCatcher() {
        caught().clear();
        previous_ =
            qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
                // The offscreen platform's own word on every window it shows.
                if (!text.contains(QStringLiteral("propagateSizeHints")))
                    caught() << text;
            });
    }
    ~MessageCatcher() { qInstallMessageHandler(previous_); }
    static QStringList &caught() {
        static QStringList messages;
        return messages;
    }

private:
    QtMessageHandler previous_ = nullptr;
};

// Until the notification has had every answer it waits for.
bool settled(RunNotification &notification) {
    return waitUntil(
        [&] { return notification.findChildren<QDBusPendingCallWatcher *>().isEmpty(); }, 5000);
}

class NotificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.ok()) << bus.error().toStdString();
        notification.setBus(bus.connect(QStringLiteral("program")));
    }
    void startService(const QStringList &capabilities = MarkupServer) {
        service.reset();
        service = std::make_unique<FakeNotificationService>(
            bus.connect(QStringLiteral("desktop%1").arg(++services_)), capabilities);
        ASSERT_TRUE(service->registered());
    }
    bool waitForCalls(qsizetype count) {
        return waitUntil([&] { return service->calls.size() >= count; }, 5000);
    }

    PrivateSessionBus bus;
    RunNotification notification;
    std::unique_ptr<FakeNotificationService> service;

private:
    int services_ = 0;
};

} // namespace

TEST_F(NotificationTest, eachEndSaysHowTheRunEndedAndReplacesTheNotificationBeforeIt) {
    ASSERT_NO_FATAL_FAILURE(startService());
    struct End {
        EndCause cause;
        QString note; // as the session showed it
        QString summary;
        QString body;
        bool failure;
    };
    const QString file = QStringLiteral("app.srec");
    const QList<End> ends = {
        {EndCause::Programmed, QString(), QStringLiteral("PROGRAMMED"), file, false},
        // A warning, which the operator looking elsewhere must read too.
        {EndCause::Programmed, QStringLiteral("It still owed 28 answers: it may have restarted"),
         QStringLiteral("PROGRAMMED"),
         file + QStringLiteral("\nIt still owed 28 answers: it may have restarted"), false},
        {EndCause::AckTimeout, QStringLiteral("The device answered 3 of 9 lines"),
         QStringLiteral("Programming FAILLED"), file + QStringLiteral("\nError: DOT Timeout"),
         true},
        {EndCause::FileError,
         QStringLiteral(
             "File refused: line 3 is not a valid S-record (bad checksum) in /w/app.srec"),
         QStringLiteral("Programming FAILLED"),
         file + QStringLiteral("\nFile refused: line 3 is not a valid S-record (bad checksum) in "
                               "/w/app.srec"),
         true},
        {EndCause::PortLost, QStringLiteral("/dev/ttyUSB0: the device disappeared"),
         QStringLiteral("Programming FAILLED"),
         file + QStringLiteral("\n/dev/ttyUSB0: the device disappeared"), true},
        // The end's note says no more than the summary: the body is the file alone.
        {EndCause::NoBootPrompt, QString(), QStringLiteral("Restart to bootprogram failled!"), file,
         true},
    };
    uint previous = 0;
    for (const End &end : ends) {
        SCOPED_TRACE(end.summary.toStdString());
        const qsizetype before = service->calls.size();
        // A cancel between two ends raises nothing.
        notification.runEnded(EndCause::Cancelled, file, QString());
        notification.runEnded(end.cause, file, end.note);
        ASSERT_TRUE(waitForCalls(before + 1));
        ASSERT_TRUE(settled(notification));
        ASSERT_EQ(service->calls.size(), before + 1);
        const FakeNotificationService::Call &call = service->calls.last();
        EXPECT_EQ(call.appName, QStringLiteral("Tarnix Pellora"));
        EXPECT_EQ(call.appIcon, QStringLiteral("tarnix-pellora"));
        EXPECT_EQ(call.replacesId, previous);
        EXPECT_EQ(call.summary, end.summary);
        EXPECT_EQ(call.body, end.body);
        EXPECT_TRUE(call.actions.isEmpty());
        EXPECT_EQ(call.expireTimeout, -1);
        EXPECT_EQ(call.hints.value(QStringLiteral("category")),
                  end.failure ? QStringLiteral("transfer.error")
                              : QStringLiteral("transfer.complete"));
        EXPECT_EQ(call.hints.value(QStringLiteral("sound-name")),
                  end.failure ? QStringLiteral("dialog-error") : QStringLiteral("complete"));
        EXPECT_EQ(call.hints.value(QStringLiteral("desktop-entry")),
                  QStringLiteral("tarnix-pellora"));
        // Urgency goes as a byte; servers ignore or refuse another type.
        const QVariant urgency = call.hints.value(QStringLiteral("urgency"));
        EXPECT_EQ(urgency.metaType(), QMetaType::fromType<uchar>());
        EXPECT_EQ(urgency.toInt(), end.failure ? 2 : 1);
        previous = call.id;
    }
    EXPECT_EQ(service->calls.first().id, 41u);
}

TEST_F(NotificationTest, aFileNameIsWrittenAsMarkupOnlyForAServerThatReadsMarkup) {
    const QString file = QStringLiteral("A&B <v2>.srec");
    ASSERT_NO_FATAL_FAILURE(startService(MarkupServer));
    notification.runEnded(EndCause::AckTimeout, file, QString());
    ASSERT_TRUE(waitForCalls(1));
    EXPECT_EQ(service->calls[0].body,
              QStringLiteral("A&amp;B &lt;v2&gt;.srec\nError: DOT Timeout"));

    // Another server took over meanwhile: it is asked afresh, and shows text as it comes.
    ASSERT_NO_FATAL_FAILURE(startService(PlainServer));
    notification.runEnded(EndCause::Programmed, file, QString());
    ASSERT_TRUE(waitForCalls(1));
    EXPECT_EQ(service->calls[0].body, file);
    EXPECT_EQ(service->capabilityQueries, 1);
}

TEST_F(NotificationTest, withoutABusOrAServiceNothingHappensAndNothingIsSaid) {
    MessageCatcher messages;
    // No bus at all: an address that leads nowhere (the window test uses the default one).
    RunNotification nowhere;
    nowhere.setBus(QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                                 QStringLiteral("nowhere")));
    nowhere.runEnded(EndCause::Programmed, QStringLiteral("a.srec"), QString());
    EXPECT_TRUE(settled(nowhere));
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));

    // A bus without a notification service.
    notification.runEnded(EndCause::Programmed, QStringLiteral("a.srec"), QString());
    EXPECT_TRUE(settled(notification));
    EXPECT_EQ(MessageCatcher::caught(), QStringList());

    // A service that comes later shows the next end, as a new notification.
    ASSERT_NO_FATAL_FAILURE(startService());
    notification.runEnded(EndCause::Programmed, QStringLiteral("b.srec"), QString());
    ASSERT_TRUE(waitForCalls(1));
    EXPECT_EQ(service->calls[0].body, QStringLiteral("b.srec"));
    EXPECT_EQ(service->calls[0].replacesId, 0u);
}

namespace {

class WindowNotification : public WindowRig {
protected:
    void SetUp() override {
        WindowRig::SetUp();
        ASSERT_TRUE(bus.ok()) << bus.error().toStdString();
        service = std::make_unique<FakeNotificationService>(bus.connect(QStringLiteral("desktop")),
                                                            MarkupServer);
        ASSERT_TRUE(service->registered());
    }
    void TearDown() override {
        WindowRig::TearDown();
        service.reset();
    }
    bool waitForCalls(qsizetype count) {
        return waitUntil([&] { return service->calls.size() >= count; }, 5000);
    }
    // START, then CANCEL as soon as the device has answered.
    void startAndCancel() {
        QPushButton *start = button("btnFlash");
        start->click();
        ASSERT_TRUE(waitUntil(
            [&] { return start->text() == QStringLiteral("CANCEL") && start->isEnabled(); }, 5000));
        start->click();
        ASSERT_EQ(results.last(), RunResult::Cancelled);
    }

    PrivateSessionBus bus;
    std::unique_ptr<FakeNotificationService> service;
};

} // namespace

TEST_F(WindowNotification, everyRunsEndReachesTheDesktopOnceTheNextReplacingItButNotACancel) {
    startDevice();
    openWindow();
    window->notification().setBus(bus.connect(QStringLiteral("window")));
    const QString image = writeFile(srec(randomData(1024, 1)));
    choose(image);
    ASSERT_EQ(run(), Programmed);
    ASSERT_TRUE(waitForCalls(1));
    EXPECT_EQ(service->calls[0].summary, QStringLiteral("PROGRAMMED"));
    EXPECT_EQ(service->calls[0].body, QStringLiteral("image.srec"));
    EXPECT_EQ(service->calls[0].replacesId, 0u);

    // A device that stops answering: the box, and the notification with its reason.
    replaceDevice({QStringLiteral("--stop-ack-after"), QStringLiteral("3")});
    ASSERT_EQ(run(), Failed);
    dismissBoxes();
    ASSERT_TRUE(waitForCalls(2));
    EXPECT_EQ(service->calls[1].summary, QStringLiteral("Programming FAILLED"));
    EXPECT_EQ(service->calls[1].body, QStringLiteral("image.srec\nError: DOT Timeout"));
    EXPECT_EQ(service->calls[1].replacesId, service->calls[0].id);

    // A cancel raises nothing, nor does a file refused at START: that is no run.
    replaceDevice();
    ASSERT_NO_FATAL_FAILURE(startAndCancel());
    QByteArray text = srec(randomData(1024, 2));
    text.insert(text.indexOf('\n', text.indexOf('\n') + 1) + 1, "not a record\n");
    choose(writeFile(text, QStringLiteral("broken.srec")));
    button("btnFlash")->click();
    ASSERT_EQ(caption(), Failed);

    // The adapter pulled mid-run: the reason is the run's note, naming the device.
    ASSERT_NO_FATAL_FAILURE(replaceDevice({QStringLiteral("--hangup-after"), QStringLiteral("5")}));
    choose(image);
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil([&] { return !window->PortOpen(); }, 10'000));
    ASSERT_EQ(results.last(), RunResult::PortError);
    ASSERT_TRUE(waitForCalls(3));
    ASSERT_TRUE(settled(window->notification()));
    ASSERT_EQ(service->calls.size(), 3) << "the cancel or the refused file raised a notification";
    EXPECT_EQ(service->calls[2].summary, QStringLiteral("Programming FAILLED"));
    EXPECT_TRUE(service->calls[2].body.startsWith(
        QStringLiteral("image.srec\n%1: the device disappeared; the board got ").arg(linkPath())))
        << service->calls[2].body.toStdString();
    EXPECT_EQ(service->calls[2].replacesId, service->calls[0].id);
    dismissBoxes();
    ASSERT_TRUE(sim->waitForExit());
}

TEST_F(WindowNotification, withoutASessionBusRunsEndAsEverAndNothingIsSaid) {
    MessageCatcher messages;
    startDevice();
    openWindow(); // its notification uses the session bus, which the tests point nowhere
    choose(writeFile(srec(randomData(1024, 3))));
    EXPECT_EQ(run(), Programmed);
    replaceDevice({QStringLiteral("--stop-ack-after"), QStringLiteral("3")});
    EXPECT_EQ(run(), Failed);
    dismissBoxes();
    EXPECT_TRUE(settled(window->notification()));
    EXPECT_EQ(results, QList<RunResult>({RunResult::Programmed, RunResult::AckTimeout}));
    EXPECT_EQ(MessageCatcher::caught(), QStringList());
    EXPECT_TRUE(service->calls.isEmpty());
}
