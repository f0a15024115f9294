// The session controller, receive handler and token actions in virtual time.
#include "FakeSerialControl.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        control.setInputLen(1);
        control.setRThreshold(1);
        (void)control.setPortOpen(true);
        session = std::make_unique<ProgrammingSession>(link, clock, view);
        session->Countdown = 60; // as after start-up
        QFile file(dir.filePath(QStringLiteral("image.srec")));
        file.open(QIODevice::WriteOnly);
        file.write("S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
        file.close();
        session->chooseFile(file.fileName());
        ends = std::make_unique<QSignalSpy>(session.get(), &ProgrammingSession::runEnded);
    }

    void connectReset() { session->portToggled(); } // as a connect does
    int count(char c) const { return static_cast<int>(control.written.count(c)); }
    SessionState state() const { return session->state(); }
    RunResult lastEnd() const { return ends->last().at(0).value<RunResult>(); }

    // Start a run and bring it to SendingFile; the streamer starts 1 s later.
    void toSendingFile() {
        session->btnFlash_Click();
        clock.advance(50);
        control.feed(">");
        clock.advance(333);
        control.feed("_");
    }

    FakeSerialControl control;
    SerialLink link{control};
    VirtualClock clock;
    RecordingView view;
    QTemporaryDir dir;
    std::unique_ptr<ProgrammingSession> session;
    std::unique_ptr<QSignalSpy> ends;
};

const QString Note = QStringLiteral("Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\r\n"
                                    "Kytke laitteesta virrat pois ja takasin päälle!\r\n\r\n");

} // namespace

TEST_F(SessionTest, theCountdownRunsFrom59To0AndFailsOneSecondLater) {
    connectReset();
    session->btnFlash_Click();
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 0")) << "right after a connect";
    EXPECT_FALSE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::WaitBootPrompt);
    for (int left = 59; left >= 0; --left) {
        clock.advance(1000);
        ASSERT_EQ(view.startCaption, QStringLiteral("Waiting restart: %1").arg(left));
        ASSERT_EQ(state(), SessionState::WaitBootPrompt);
    }
    // The last probe goes out on the first probe tick that finds the count at 0.
    EXPECT_EQ(count('i'), 60000 / 5);
    EXPECT_FALSE(session->timer(SessionTimer::SendI).enabled());
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));

    clock.advance(1000);
    EXPECT_EQ(view.log, QStringLiteral("\r\nRestart to bootprogram failled!"));
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora")) << "the caption is left alone";
    EXPECT_FALSE(session->timer(SessionTimer::ResetToBootprg).enabled());
    EXPECT_EQ(count('i'), 60000 / 5);
    ASSERT_EQ(ends->size(), 1);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
}

TEST_F(SessionTest, rightAfterStartUpTheButtonShows60) {
    session->btnFlash_Click();
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 60"));
    clock.advance(1000);
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 59"));
}

TEST_F(SessionTest, aPromptAfterTheZeroButBeforeTheNextTickIsAccepted) {
    session->btnFlash_Click();
    clock.advance(60'000);
    ASSERT_EQ(session->Countdown, 0);
    clock.advance(500);
    control.feed(">");
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    clock.advance(600);
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));
}

TEST_F(SessionTest, thePromptStopsTheProbesAndSendsFOnce333msLater) {
    session->btnFlash_Click();
    clock.advance(2000);
    const int probes = count('i');
    control.feed(">\r\n");
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    EXPECT_EQ(view.startCaption, QStringLiteral("CANCEL"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(session->Countdown, 60);
    EXPECT_EQ(view.log, QStringLiteral(">\r\n"));
    clock.advance(332);
    EXPECT_EQ(count('f'), 0);
    clock.advance(1);
    EXPECT_EQ(count('f'), 1);
    clock.advance(2000);
    EXPECT_EQ(count('f'), 1);
    EXPECT_EQ(count('i'), probes);
    EXPECT_FALSE(session->timer(SessionTimer::ResetToBootprg).enabled());
}

TEST_F(SessionTest, theWatchdogFires3000msAfterThePromptAndAfterEachDot) {
    session->btnFlash_Click();
    control.feed(">");
    clock.advance(2999);
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    control.feed("."); // a "." before "_" does not re-arm it
    clock.advance(1);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Programming FAILLED"));
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("Error: DOT Timeout")});
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(lastEnd(), RunResult::AckTimeout);

    view.boxes.clear();
    session->btnFlash_Click();
    control.feed(">");
    clock.advance(400);
    control.feed("_"); // does not re-arm it
    clock.advance(2000);
    control.feed(".");
    for (int i = 0; i < 5; ++i) {
        clock.advance(2999);
        control.feed(".");
    }
    EXPECT_TRUE(view.boxes.isEmpty());
    clock.advance(2999);
    EXPECT_TRUE(view.boxes.isEmpty());
    clock.advance(1);
    EXPECT_EQ(view.boxes.size(), 1);
}

TEST_F(SessionTest, programmedEndsTheRunAndTheRestOfTheTextIsOnlyLogged) {
    toSendingFile();
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Sending File"));
    clock.advance(1000); // streamer: both lines out
    control.feed(".");
    clock.advance(60);
    control.feed(".Programmed successfully! Restarting device....\r\n");
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_FALSE(session->timer(SessionTimer::DotNotReceived).enabled());
    EXPECT_TRUE(view.log.endsWith(QStringLiteral("Programmed successfully! Restarting device....\r\n")));
    clock.advance(5000);
    EXPECT_TRUE(view.boxes.isEmpty());
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED")) << "the end status stays";
    ASSERT_EQ(ends->size(), 1);
    EXPECT_EQ(lastEnd(), RunResult::Programmed);
}

TEST_F(SessionTest, onlyTheFourStateTokenPairsAct) {
    struct Case {
        SessionState state;
        char token;
        bool acts;
    };
    const char tokens[] = {'>', '_', '.', 'P', 'p', 'i', '\r'};
    for (SessionState s : {SessionState::WaitBootPrompt, SessionState::WaitFileRequest, SessionState::SendingFile}) {
        for (char token : tokens) {
            SCOPED_TRACE(std::string(1, token) + " in state " + std::to_string(static_cast<int>(s)));
            // Fresh run into state s.
            session->abort();
            view = RecordingView{};
            session->btnFlash_Click();
            if (s != SessionState::WaitBootPrompt)
                control.feed(">");
            if (s == SessionState::SendingFile)
                control.feed("_");
            ASSERT_EQ(state(), s);
            const QString caption = view.caption;
            control.feed(QByteArray(1, token));
            const bool acts = (s == SessionState::WaitBootPrompt && token == '>') ||
                              (s == SessionState::WaitFileRequest && token == '_') ||
                              (s == SessionState::SendingFile && (token == '.' || token == 'P'));
            if (!acts) {
                EXPECT_EQ(state(), s);
                EXPECT_EQ(view.caption, caption);
            } else if (token == '.') {
                EXPECT_TRUE(session->LineAcked);
                EXPECT_EQ(state(), s);
            } else {
                EXPECT_NE(state(), s);
            }
            EXPECT_TRUE(view.log.endsWith(QChar::fromLatin1(token))) << "every read is logged";
        }
    }
}

TEST_F(SessionTest, anyReadWhileIdleReArmsTheStartButton) {
    view.startEnabled = false;
    view.startCaption = QStringLiteral("Waiting restart: 12");
    control.feed("x");
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);

    session->SelectedFile.clear();
    view.startEnabled = false;
    control.feed("y");
    EXPECT_FALSE(view.startEnabled) << "no file chosen: the rule does not enable";
}

TEST_F(SessionTest, cancelWhileWaitingForThePromptLetsTheCountdownRunOut) {
    session->btnFlash_Click();
    clock.advance(3000);
    session->chooseFile(session->SelectedFile); // choosing a file re-enables the button
    EXPECT_TRUE(view.startEnabled);
    session->btnFlash_Click();
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.log, Note);
    EXPECT_EQ(lastEnd(), RunResult::Cancelled);
    clock.advance(1000);
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 56")) << "the timers run on";
    EXPECT_FALSE(view.startEnabled);
    clock.advance(60'000);
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));
    EXPECT_FALSE(session->timer(SessionTimer::ResetToBootprg).enabled());
    EXPECT_FALSE(session->timer(SessionTimer::SendI).enabled());
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 0"));
    EXPECT_FALSE(view.startEnabled);
}

TEST_F(SessionTest, cancelAfterThePromptStillSendsFAndTheWatchdogStillFails) {
    view.log = QStringLiteral("earlier text");
    session->btnFlash_Click();
    control.feed(">");
    session->btnFlash_Click(); // CANCEL
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.log.startsWith(Note + QStringLiteral("earlier text")));
    clock.advance(333);
    EXPECT_EQ(count('f'), 1);
    clock.advance(3000 - 333);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Programming FAILLED"));
    EXPECT_EQ(view.boxes.size(), 1);
    EXPECT_EQ(ends->size(), 1) << "one end per run";
    EXPECT_EQ(lastEnd(), RunResult::Cancelled);
}

TEST_F(SessionTest, cancelWhileSendingStopsTheStreamerAndTheWatchdogFollows) {
    toSendingFile();
    session->btnFlash_Click();
    EXPECT_EQ(state(), SessionState::Idle);
    const QByteArray before = control.written;
    clock.advance(1000); // the pending streamer start still runs: one line, then it sees Idle
    EXPECT_EQ(control.written.mid(before.size()), QByteArray("S1130000000102030405060708090A0B0C0D0E0F74\n"));
    clock.advance(5000);
    EXPECT_EQ(view.boxes.size(), 1);
}

TEST_F(SessionTest, aConnectOrDisconnectMidRunResetsStateButNotTheTimers) {
    session->btnFlash_Click();
    control.feed(">");
    connectReset();
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(session->Countdown, 0);
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(session->timer(SessionTimer::DotNotReceived).enabled());
    clock.advance(3000);
    EXPECT_EQ(view.boxes.size(), 1);
}

TEST_F(SessionTest, startingWithoutPortOrFileDisablesTheButtonOnly) {
    (void)control.setPortOpen(false);
    view.startEnabled = true;
    session->btnFlash_Click();
    EXPECT_FALSE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_FALSE(session->timer(SessionTimer::ResetToBootprg).enabled());
    EXPECT_TRUE(control.written.isEmpty());
}

TEST_F(SessionTest, receiveHandlerReportsErrorEventsFirstAndReadsNothingWhilePortError) {
    control.feed("ab");
    control.injectError(1102);
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("COM error 1102")});
    EXPECT_EQ(view.log, QStringLiteral("ab"));

    link.PortError = true;
    control.feed(">>>");
    EXPECT_EQ(view.log, QStringLiteral("ab"));
    EXPECT_EQ(control.inBufferCount(), 3) << "left in the buffer";
    link.PortError = false;
    control.feed("c");
    EXPECT_EQ(view.log, QStringLiteral("ab>>>c"));
}

TEST_F(SessionTest, theDeviceDisappearingEndsTheRunWithAPortError) {
    toSendingFile();
    control.loseDevice();
    EXPECT_EQ(view.boxes.first(), QStringLiteral("COM error 1103"));
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(lastEnd(), RunResult::PortError);
    clock.advance(1000);
    EXPECT_TRUE(view.log.isEmpty() || !view.log.contains(QStringLiteral("S1")));
}

TEST_F(SessionTest, abortStopsEverythingAtOnce) {
    toSendingFile();
    clock.advance(1000);
    session->abort();
    const QByteArray sent = control.written;
    clock.advance(10'000);
    EXPECT_EQ(control.written, sent);
    EXPECT_TRUE(view.boxes.isEmpty());
    EXPECT_EQ(lastEnd(), RunResult::Cancelled);
}

TEST_F(SessionTest, theBootTimeoutIsAParameter) {
    session->setBootTimeout(5);
    session->btnFlash_Click();
    clock.advance(6000);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
    EXPECT_EQ(count('i'), 5000 / 5);
}
