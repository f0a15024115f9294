// The session controller, receive handler and token actions in virtual time.
#include "FakeSerialControl.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>
#include <utility>

namespace {

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        control.setInputLen(1);
        control.setRThreshold(1);
        (void)control.setPortOpen(true);
        session = std::make_unique<ProgrammingSession>(link, clock, view);
        QFile file(dir.filePath(QStringLiteral("image.srec")));
        file.open(QIODevice::WriteOnly);
        file.write("S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
        file.close();
        session->chooseFile(file.fileName());
        ends = std::make_unique<QSignalSpy>(session.get(), &ProgrammingSession::runEnded);
    }

    void connectReset() { session->connectionChanged(); } // as a connect does
    // The start button as the window wires it.
    void press() {
        if (session->running() && session->canStart())
            session->cancel();
        else
            session->start();
    }
    // Nothing the run armed is left: no timer due, whatever time passes.
    bool nothingArmed() const { return clock.nextDeadline() < 0; }
    int count(char c) const { return static_cast<int>(control.written.count(c)); }
    SessionState state() const { return session->state(); }
    RunResult lastEnd() const { return ends->last().at(0).value<RunResult>(); }

    // Start a run and bring it to SendingFile; the streamer starts 1 s later.
    void toSendingFile() {
        press();
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

const QString Note =
    QStringLiteral("Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\r\n"
                   "Kytke laitteesta virrat pois ja takasin päälle!\r\n\r\n");

} // namespace

TEST_F(SessionTest, theCountdownRunsFrom59To0AndFailsOneSecondLater) {
    connectReset();
    press();
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
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));

    clock.advance(1000);
    EXPECT_EQ(view.log, QStringLiteral("\r\nRestart to bootprogram failled!"));
    EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora")) << "the caption is left alone";
    EXPECT_TRUE(nothingArmed());
    EXPECT_EQ(count('i'), 60000 / 5);
    ASSERT_EQ(ends->size(), 1);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
}

TEST_F(SessionTest, rightAfterStartUpTheButtonShows60) {
    press();
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 60"));
    clock.advance(1000);
    EXPECT_EQ(view.startCaption, QStringLiteral("Waiting restart: 59"));
}

TEST_F(SessionTest, aPromptAfterTheZeroButBeforeTheNextTickIsAccepted) {
    press();
    clock.advance(60'000);
    ASSERT_EQ(session->countdown(), 0);
    clock.advance(500);
    control.feed(">");
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    clock.advance(600);
    EXPECT_FALSE(view.log.contains(QStringLiteral("failled")));
}

TEST_F(SessionTest, thePromptStopsTheProbesAndSendsFOnce333msLater) {
    press();
    clock.advance(2000);
    const int probes = count('i');
    control.feed(">\r\n");
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Bootprogram started"));
    EXPECT_EQ(view.startCaption, QStringLiteral("CANCEL"));
    EXPECT_TRUE(view.startEnabled);
    EXPECT_EQ(session->countdown(), 60);
    EXPECT_EQ(view.log, QStringLiteral(">\r\n"));
    clock.advance(332);
    EXPECT_EQ(count('f'), 0);
    clock.advance(1);
    EXPECT_EQ(count('f'), 1);
    clock.advance(2000);
    EXPECT_EQ(count('f'), 1);
    EXPECT_EQ(count('i'), probes);
}

TEST_F(SessionTest, theWatchdogFires3000msAfterThePromptAndAfterEachDot) {
    press();
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
    press();
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
    EXPECT_TRUE(nothingArmed());
    EXPECT_TRUE(
        view.log.endsWith(QStringLiteral("Programmed successfully! Restarting device....\r\n")));
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
    for (SessionState s :
         {SessionState::WaitBootPrompt, SessionState::WaitFileRequest, SessionState::SendingFile}) {
        for (char token : tokens) {
            SCOPED_TRACE(std::string(1, token) + " in state " +
                         std::to_string(static_cast<int>(s)));
            // Fresh run into state s.
            session->abort();
            view = RecordingView{};
            press();
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

    (void)control.setPortOpen(false);
    view.startEnabled = false;
    control.feed("y");
    EXPECT_FALSE(view.startEnabled) << "port closed: the rule does not enable";
}

// A run ends at once by CANCEL, a connect or disconnect and a lost port, in each of its states:
// nothing more goes to the port, nothing it armed ticks again, no DOT Timeout follows, and the
// button reads START PROGRAMMING, enabled exactly when a run could start.
TEST_F(SessionTest, everyWayOfStoppingARunStopsEverythingItArmed) {
    enum class Stop { Cancel, Connect, LosePort };
    struct Reached {
        const char *name;
        std::function<void()> reach;
    };
    const std::vector<Reached> points = {
        {"counting down", [&] { clock.advance(3000); }},
        {"with f pending", [&] { clock.advance(50), control.feed(">"); }},
        {"with the file start pending",
         [&] { clock.advance(50), control.feed(">"), clock.advance(333), control.feed("_"); }},
        {"mid-transfer",
         [&] {
             clock.advance(50), control.feed(">"), clock.advance(333), control.feed("_"),
                 clock.advance(1000);
         }},
    };
    for (const Stop stop : {Stop::Cancel, Stop::Connect, Stop::LosePort}) {
        for (const Reached &point : points) {
            SCOPED_TRACE(std::string(point.name) + ", stop " +
                         std::to_string(static_cast<int>(stop)));
            (void)control.setPortOpen(true);
            view = RecordingView{};
            view.log = QStringLiteral("earlier text");
            session->chooseFile(
                session->selectedFile()); // re-enables the button while counting down
            press();
            point.reach();
            ASSERT_TRUE(session->running());
            const QString caption = view.caption;
            const qsizetype endsBefore = ends->size();

            switch (stop) {
            case Stop::Cancel:
                press();
                EXPECT_TRUE(view.log.startsWith(Note + QStringLiteral("earlier text")));
                EXPECT_EQ(lastEnd(), RunResult::Cancelled);
                EXPECT_EQ(view.caption, caption) << "a cancel leaves the caption";
                break;
            case Stop::Connect:
                connectReset();
                EXPECT_EQ(session->countdown(), 0);
                EXPECT_EQ(lastEnd(), RunResult::Cancelled);
                break;
            case Stop::LosePort:
                control.loseDevice();
                EXPECT_EQ(view.boxes, QStringList{QStringLiteral("COM error 1103")});
                EXPECT_TRUE(view.log.endsWith(
                    QStringLiteral("\r\n%1: the device disappeared").arg(control.devicePath())))
                    << view.log.toStdString();
                EXPECT_EQ(lastEnd(), RunResult::PortError);
                break;
            }
            EXPECT_EQ(ends->size(), endsBefore + 1) << "one end per run";
            EXPECT_EQ(state(), SessionState::Idle);
            EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
            EXPECT_EQ(view.startEnabled, stop != Stop::LosePort);
            EXPECT_TRUE(nothingArmed());

            const QByteArray written = control.written;
            const QStringList captions = view.captions;
            clock.advance(70'000);
            EXPECT_EQ(control.written, written) << "nothing written after the stop";
            EXPECT_EQ(view.captions, captions);
            EXPECT_FALSE(view.boxes.contains(QStringLiteral("Error: DOT Timeout")));
            EXPECT_EQ(ends->size(), endsBefore + 1);
        }
    }
}

TEST_F(SessionTest, startingWithoutPortOrFileDisablesTheButtonOnly) {
    (void)control.setPortOpen(false);
    view.startEnabled = true;
    press();
    EXPECT_FALSE(view.startEnabled);
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_TRUE(nothingArmed());
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
    press();
    clock.advance(6000);
    EXPECT_EQ(lastEnd(), RunResult::NoBootPrompt);
    EXPECT_EQ(count('i'), 5000 / 5);
}

TEST_F(SessionTest, aRunStartedFromTheEndReportOfTheLastOneIsSafe) {
    // A front end may start the next board from its runEnded slot, still inside the ended run's
    // tick.
    bool restarted = false;
    QObject::connect(session.get(), &ProgrammingSession::runEnded, session.get(), [&](RunResult) {
        if (!std::exchange(restarted, true))
            session->start();
    });
    press();
    control.feed(">");
    // The watchdog ends the run (its box comes after the report) and the next one starts.
    clock.advance(3000);
    ASSERT_TRUE(restarted);
    EXPECT_EQ(view.boxes, QStringList{QStringLiteral("Error: DOT Timeout")});
    EXPECT_EQ(state(), SessionState::WaitBootPrompt);
    control.feed(">");
    clock.advance(3000); // its own watchdog
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(lastEnd(), RunResult::AckTimeout);
}
