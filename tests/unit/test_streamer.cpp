// The file streamer in virtual time: line framing, pacing, the end rule, progress and stops.
#include "FakeSerialControl.h"
#include "RecordingView.h"
#include "VirtualClock.h"
#include "session/ProgrammingSession.h"

#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <gtest/gtest.h>

namespace {

struct Write {
    std::int64_t at;
    QByteArray bytes;
};

class StreamerTest : public ::testing::Test {
protected:
    void SetUp() override {
        control.setInputLen(1);
        (void)control.setPortOpen(true);
        session = std::make_unique<ProgrammingSession>(link, clock, view);
        control.onWrite = [this](const QByteArray &bytes) {
            writes.push_back({clock.now(), bytes});
        };
    }

    void useFile(const QByteArray &content) {
        QFile file(dir.filePath(QStringLiteral("f.srec")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(content);
        file.close();
        session->chooseFile(file.fileName());
    }

    // Brings a run to SendingFile; the transfer starts 1000 ms later, at `transferStart`.
    void startRun() {
        session->start();
        control.feed(">");
        clock.advance(333);
        control.feed("_");
        writes.clear();
        control.written.clear();
        transferStart = clock.now() + 1000;
    }

    void speed(int index) { session->setPacing(Pacing::fromSpeedIndex(index)); }
    // The line bytes as the device received them.
    QByteArray sent() const { return control.written; }

    FakeSerialControl control;
    SerialLink link{control};
    VirtualClock clock;
    RecordingView view;
    QTemporaryDir dir;
    std::unique_ptr<ProgrammingSession> session;
    std::vector<Write> writes;
    std::int64_t transferStart = 0;
};

} // namespace

TEST_F(StreamerTest, linesEndAtCrLfOrCrLfAndGoOutWithOneLineFeed) {
    struct Case {
        const char *name;
        QByteArray file;
        QByteArray wire;
    };
    const Case cases[] = {
        {"LF", "S1aa\nS1bb\nS9cc\n", "S1aa\nS1bb\nS9cc\n"},
        {"CRLF", "S1aa\r\nS1bb\r\nS9cc\r\n", "S1aa\nS1bb\nS9cc\n"},
        {"CR", "S1aa\rS1bb\rS9cc\r", "S1aa\nS1bb\nS9cc\n"},
        {"mixed and blank", "S1aa\r\n\nS1bb\r\rS9cc\n", "S1aa\n\nS1bb\n\nS9cc\n"},
        {"no final terminator", "S1aa\nS9cc", "S1aa\nS9cc\n"},
        {"single-byte last line", "S1aa\nS", "S1aa\n"},
        {"empty", "", ""},
        {"one byte", "S", ""},
        {"two bytes", "S9", "S9\n"},
        {"binary", QByteArray("\x00\x01\xff\n\x7f", 5), QByteArray("\x00\x01\xff\n", 4)},
    };
    speed(-1);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        session->abort();
        useFile(c.file);
        startRun();
        clock.advance(1000);
        clock.settle();
        EXPECT_EQ(sent(), c.wire);
    }
}

TEST_F(StreamerTest, fixedPausesAre20msPerStepCountedFromTheHandOver) {
    useFile("S1aa\nS1bb\nS1cc\nS9dd\n");
    for (int index : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(index);
        session->abort();
        speed(index);
        startRun();
        clock.advance(2000);
        // Line and line feed are separate writes; lines leave one pause apart.
        ASSERT_EQ(writes.size(), 8u);
        EXPECT_EQ(writes[0].at, transferStart);
        for (std::size_t i = 2; i < writes.size(); i += 2)
            EXPECT_EQ(writes[i].at - writes[i - 2].at, (index + 1) * 20);
    }
}

TEST_F(StreamerTest, noItemSelectedSendsBackToBack) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(-1);
    startRun();
    clock.advance(1000);
    clock.settle();
    ASSERT_EQ(writes.size(), 6u);
    EXPECT_EQ(writes.back().at, transferStart);
}

TEST_F(StreamerTest, aChangeOfTheSpeedListTakesEffectFromTheNextLine) {
    useFile("S1aa\nS1bb\nS1cc\nS9dd\n");
    speed(4);
    startRun();
    clock.advance(1000);
    speed(0);
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 8u);
    EXPECT_EQ(writes[2].at - writes[0].at, 100);
    EXPECT_EQ(writes[4].at - writes[2].at, 20);
}

TEST_F(StreamerTest, autoSendsTheNextLineAsSoonAsTheDotIsHandled) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(5);
    startRun();
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 2u);
    clock.advance(7);
    control.feed(".");
    clock.settle();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].at - writes[0].at, 7);
    // No dot: the wait is capped at 200 ms.
    clock.advance(199);
    EXPECT_EQ(writes.size(), 4u);
    clock.advance(1);
    EXPECT_EQ(writes.size(), 6u);
}

TEST_F(StreamerTest, aDotLeftOverFromAnEarlierRunDoesNotPaceTheNext) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(5);
    startRun();
    clock.advance(1000);
    control.feed(".P."); // the last "." comes after the end: nothing waits for it
    startRun();
    clock.advance(1000);
    clock.settle();
    ASSERT_EQ(writes.size(), 2u) << "the new run's first line waits for its own dot";
    clock.advance(200);
    EXPECT_EQ(writes.size(), 4u);
}

TEST_F(StreamerTest, thePauseStartsOnlyWhenTheLineHasReachedTheSystem) {
    useFile("S1aa\nS9cc\n");
    speed(0);
    control.slowDrain = true;
    startRun();
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 2u);
    clock.advance(500);
    EXPECT_EQ(writes.size(), 2u) << "nothing more while the line is still in our buffer";
    control.drain();
    clock.advance(19);
    EXPECT_EQ(writes.size(), 2u);
    clock.advance(1);
    EXPECT_EQ(writes.size(), 4u);
}

TEST_F(StreamerTest, progressCaptionsForThreeLines) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(0);
    startRun();
    clock.advance(2000);
    QStringList progress;
    for (const QString &c : view.captions)
        if (c.contains(QStringLiteral("progress")))
            progress << c;
    EXPECT_EQ(progress,
              (QStringList{"Tarnix Pellora, progress: 33.3%", "Tarnix Pellora, progress: 66.6%",
                           "Tarnix Pellora, progress: 100%"}));
    EXPECT_EQ(view.progress, 100.0);
    EXPECT_EQ(session->state(), SessionState::SendingFile) << "the end of the file changes nothing";
}

TEST_F(StreamerTest, theEndStatusIsNotOverwrittenByTheLastProgress) {
    useFile("S1aa\nS9cc\n");
    speed(4);
    startRun();
    clock.advance(1000 + 100); // line 1 out and paced, line 2 out
    control.feed(".P");
    clock.advance(1000);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
    EXPECT_EQ(session->state(), SessionState::Idle);
}

TEST_F(StreamerTest, aCancelAnywhereInTheLineCycleSendsNothingMore) {
    useFile("S1aa\nS1bb\nS1cc\nS9dd\n");
    struct Case {
        const char *name;
        int afterStartMs; // from the transfer's start; line 2 leaves at 100 (pause 100 ms)
    };
    for (const Case c : {Case{"during a pause", 50}, Case{"as the pause ends", 100},
                         Case{"right after line 2", 101}}) {
        SCOPED_TRACE(c.name);
        session->abort();
        speed(4);
        startRun();
        clock.advance(1000 + c.afterStartMs);
        const QByteArray before = sent();
        const QString caption = view.caption;
        session->cancel();
        clock.advance(5000);
        EXPECT_EQ(sent(), before);
        EXPECT_EQ(view.caption, caption) << "no watchdog follows a cancel";
        EXPECT_FALSE(session->transferRunning());
    }
}

TEST_F(StreamerTest, portErrorMidTransferStopsWithoutChangingTheState) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(0);
    startRun();
    clock.advance(1000 + 10);
    link.PortError = true;
    clock.advance(1000);
    EXPECT_EQ(sent(), QByteArray("S1aa\n"));
    EXPECT_EQ(session->state(), SessionState::SendingFile);
    EXPECT_FALSE(session->transferRunning());
}

TEST_F(StreamerTest, aFileThatCannotBeSentFailsTheRunAtOnceNamingFileAndReason) {
    struct Case {
        const char *name;
        std::function<void(const QString &path)> spoil;
        const char *reason;
    };
    const Case cases[] = {
        {"vanished", [](const QString &path) { QFile::remove(path); }, "no such file"},
        {"not an S-record",
         [](const QString &path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write("S1130000000102030405060708090A0B0C0D0E0F74\nhello\n");
         },
         "File refused: line 2 is not a valid S-record"},
    };
    session->setCheckRecords(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        session->abort();
        view = RecordingView{};
        useFile("S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
        startRun();
        c.spoil(session->selectedFile());
        clock.advance(1000);
        EXPECT_TRUE(sent().isEmpty());
        EXPECT_EQ(session->state(), SessionState::Idle);
        EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, Programming FAILLED"));
        EXPECT_TRUE(view.log.contains(QString::fromLatin1(c.reason))) << view.log.toStdString();
        EXPECT_TRUE(view.log.contains(session->selectedFile()));
        EXPECT_EQ(view.startCaption, QStringLiteral("START PROGRAMMING"));
        clock.advance(5000);
        EXPECT_TRUE(view.boxes.isEmpty()) << "no DOT Timeout after the failure";
    }
}

TEST_F(StreamerTest, byHandWhileIdleSendsOneLineShowsItsProgressAndStops) {
    useFile("S1aa\nS1bb\nS9cc\n");
    speed(0);
    session->sendFileByHand();
    clock.advance(1000);
    clock.advance(1000);
    EXPECT_EQ(sent(), QByteArray("S1aa\n"));
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, progress: 33.3%"));
    EXPECT_EQ(session->state(), SessionState::Idle);
}

TEST_F(StreamerTest, aSecondArmingWhileATransferRunsIsIgnored) {
    QByteArray file;
    for (int i = 0; i < 30; ++i)
        file += "S1" + QByteArray::number(i) + "\n";
    useFile(file);
    speed(4);
    startRun();
    clock.advance(1000 + 10);
    session->sendFileByHand();
    for (int i = 0; i < 50; ++i) { // the device acknowledges, so the watchdog stays quiet
        clock.advance(100);
        control.feed(".");
        if (i == 10) {
            EXPECT_TRUE(session->transferRunning());
        }
    }
    EXPECT_EQ(sent(), file) << "the file once, not interleaved with a second copy";
}

TEST_F(StreamerTest, aFileThatGrowsNeverShowsMoreThan100Percent) {
    useFile("S1aa\nS9cc\n");
    speed(0);
    startRun();
    clock.advance(1000);
    QFile file(session->selectedFile());
    ASSERT_TRUE(file.open(QIODevice::Append));
    file.write("S1dd\nS1ee\n");
    file.close();
    clock.advance(1000);
    EXPECT_EQ(sent(), QByteArray("S1aa\nS9cc\nS1dd\nS1ee\n"));
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, progress: 100%"));
}
