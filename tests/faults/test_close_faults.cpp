// The operator closes the window at a bad moment. The window's timers may still tick between the
// close and its destruction; neither may crash, and the next start of the window programs normally.
#include "TestPty.h"
#include "WindowRig.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace {

class FaultClose : public WindowRig {
protected:
    // The window is gone; a new one, against a freshly powered device, does a complete run.
    void nextStartProgramsNormally() {
        window.reset();
        EXPECT_TRUE(boxes().isEmpty());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        expectNoBadLines();
        sim->stop();
        ASSERT_NO_FATAL_FAILURE(startDevice());
        ASSERT_NO_FATAL_FAILURE(openWindow());
        programAfterwards();
    }
};

} // namespace

TEST_F(FaultClose, midTransfer) {
    startDevice();
    openWindow();
    choose(writeFile(srec(randomData(16 * 1024, 30))));
    qint64 sent = 0;
    qint64 sentAtClose = -1;
    QObject::connect(&window->session(), &ProgrammingSession::lineSent, window.get(),
                     [&](qint64 line, qint64, qint64) {
                         sent = line;
                         if (line == 20)
                             // As the operator's click would: from the event loop.
                             QTimer::singleShot(0, window.get(), [&] {
                                 sentAtClose = sent;
                                 EXPECT_TRUE(window->close());
                             });
                     });
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil([&] { return sentAtClose >= 0; }, 10'000));
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->PortOpen());
    // The transfer finds the port closed and stops; no box is shown for a closed window.
    ASSERT_TRUE(waitUntil([&] { return !window->session().transferRunning(); }));
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    EXPECT_EQ(sent, sentAtClose) << "no line after the close";
    nextStartProgramsNormally();
}

TEST_F(FaultClose, duringTheCountdown) {
    startDevice({QStringLiteral("--never-boot")});
    openWindow();
    choose(writeFile(srec(randomData(256, 31))));
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil(
        [&] { return button("btnFlash")->text() == QStringLiteral("Waiting restart: 59"); }));
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->PortOpen());
    // Closing ends the run: the countdown and the probes stop with it.
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    EXPECT_EQ(results, QList<RunResult>{RunResult::Cancelled});
    nextStartProgramsNormally();
}

TEST_F(FaultClose, withTheTimeoutBoxOpen) {
    startDevice({QStringLiteral("--stop-ack-after"), QStringLiteral("2")});
    openWindow();
    choose(writeFile(srec(randomData(1024, 32))));
    EXPECT_EQ(run(), Failed);
    ASSERT_EQ(boxes(QStringLiteral("Error: DOT Timeout")).size(), 1);
    EXPECT_NE(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()), nullptr);
    EXPECT_TRUE(window->close());
    nextStartProgramsNormally();
}
