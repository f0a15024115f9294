// The file streamer in virtual time: line framing, pacing, the end rule, progress and stops.
#include "FileChanges.h"
#include "SRecordWriter.h"
#include "SessionRig.h"

#include <QCryptographicHash>
#include <QFile>
#include <functional>

namespace {

// Well-formed records: three of data and the termination record.
const QByteArray A = "S1130000000102030405060708090A0B0C0D0E0F74";
const QByteArray B = "S1130010101112131415161718191A1B1C1D1E1F64";
const QByteArray C = "S1130020000102030405060708090A0B0C0D0E0F54";
const QByteArray E = "S9030000FC";

QByteArray lines(std::initializer_list<QByteArray> records) {
    QByteArray file;
    for (const QByteArray &record : records)
        file += record + "\n";
    return file;
}

class StreamerTest : public SessionRig {
protected:
    void startRun() { toSendingFile(); }
    // The line bytes as the device received them.
    QByteArray sent() const { return control.written; }
};

} // namespace

TEST_F(StreamerTest, linesEndAtCrLfOrCrLfAndGoOutWithOneLineFeedInOneWrite) {
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
    // The streamer on its own: a run would refuse most of these files before sending anything.
    FileStreamer streamer(link, clock, {});
    streamer.setPacing(Pacing::fromSpeedIndex(-1));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        control.written.clear();
        writes.clear();
        streamer.start(FileSnapshot::of(QStringLiteral("framing"), c.file));
        clock.settle();
        EXPECT_EQ(sent(), c.wire);
        for (const Write &write : writes)
            EXPECT_EQ(write.bytes.indexOf('\n'), write.bytes.size() - 1) << write.bytes.data();
        EXPECT_FALSE(streamer.running());
    }
}

TEST_F(StreamerTest, fixedPausesAre20msPerStepCountedFromTheHandOver) {
    useFile(lines({A, B, C, E}));
    for (int index : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(index);
        session->abort();
        speed(index);
        startRun();
        clock.advance(2000);
        // Lines leave one pause apart.
        ASSERT_EQ(writes.size(), 4u);
        EXPECT_EQ(writes[0].at, transferStart);
        for (std::size_t i = 1; i < writes.size(); ++i)
            EXPECT_EQ(writes[i].at - writes[i - 1].at, (index + 1) * 20);
    }
}

TEST_F(StreamerTest, noItemSelectedSendsBackToBack) {
    useFile(lines({A, B, E}));
    speed(-1);
    startRun();
    clock.advance(1000);
    clock.settle();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes.back().at, transferStart);
}

TEST_F(StreamerTest, aChangeOfTheSpeedListTakesEffectFromTheNextLine) {
    useFile(lines({A, B, C, E}));
    speed(4);
    startRun();
    clock.advance(1000);
    speed(0);
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[1].at - writes[0].at, 100);
    EXPECT_EQ(writes[2].at - writes[1].at, 20);
}

TEST_F(StreamerTest, autoSendsTheNextLineAsSoonAsTheDotIsHandled) {
    useFile(lines({A, B, E}));
    speed(5);
    startRun();
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 1u);
    clock.advance(7);
    control.feed(".");
    clock.settle();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[1].at - writes[0].at, 7);
    // No dot: the wait is capped at 200 ms.
    clock.advance(199);
    EXPECT_EQ(writes.size(), 2u);
    clock.advance(1);
    EXPECT_EQ(writes.size(), 3u);
}

TEST_F(StreamerTest, aDotLeftOverFromAnEarlierRunDoesNotPaceTheNext) {
    useFile(lines({A, B, E}));
    speed(5);
    startRun();
    clock.advance(1000);
    control.feed(".");
    control.feed(".");
    control.feed(".P."); // the last "." comes after the end: nothing waits for it
    ASSERT_EQ(lastEnd(), RunResult::Programmed);
    startRun();
    clock.advance(1000);
    clock.settle();
    ASSERT_EQ(writes.size(), 1u) << "the new run's first line waits for its own dot";
    clock.advance(200);
    EXPECT_EQ(writes.size(), 2u);
}

TEST_F(StreamerTest, thePauseStartsOnlyWhenTheLineHasReachedTheSystem) {
    useFile(lines({A, E}));
    speed(0);
    control.slowDrain = true;
    startRun();
    clock.advance(1000);
    ASSERT_EQ(writes.size(), 1u);
    clock.advance(500);
    EXPECT_EQ(writes.size(), 1u) << "nothing more while the line is still in our buffer";
    control.drain();
    clock.advance(19);
    EXPECT_EQ(writes.size(), 1u);
    clock.advance(1);
    EXPECT_EQ(writes.size(), 2u);
}

TEST_F(StreamerTest, progressCaptionsForThreeLines) {
    useFile(lines({A, B, E}));
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
    useFile(lines({A, E}));
    speed(4);
    startRun();
    clock.advance(1000 + 100); // line 1 out and paced, line 2 out
    control.feed(".P");
    clock.advance(1000);
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
    EXPECT_EQ(session->state(), SessionState::Idle);
}

TEST_F(StreamerTest, aCancelAnywhereInTheLineCycleSendsNothingMore) {
    useFile(lines({A, B, C, E}));
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
    useFile(lines({A, B, E}));
    speed(0);
    startRun();
    clock.advance(1000 + 10);
    control.failCloseWith = QStringLiteral("refused");
    ASSERT_FALSE(link.disconnectPort().ok());
    ASSERT_TRUE(link.PortError());
    clock.advance(1000);
    EXPECT_EQ(sent(), QByteArray(A + "\n"));
    EXPECT_EQ(session->state(), SessionState::SendingFile);
    EXPECT_FALSE(session->transferRunning());
}

// What START read is what the device gets, whatever happens to the file on disk during the run:
// rewritten in place, cut short, grown or removed, before the device asks for it or mid-transfer.
TEST_F(StreamerTest, aRunSendsTheFileAsItWasAtStart) {
    const QByteArray image = "S1130000000102030405060708090A0B0C0D0E0F74\n"
                             "S1130010101112131415161718191A1B1C1D1E1F64\n"
                             "S9030000FC\n";
    const QByteArray other = "S11300002122232425262728292A2B2C2D2E2F30B4\n"
                             "S11300103132333435363738393A3B3C3D3E3F40A4\n"
                             "S9030000FC\n";
    struct Case {
        const char *name;
        std::function<void(const QString &path)> change;
    };
    const Case cases[] = {
        {"rewritten with other data", overwriteWith(other)},
        {"cut short", overwriteWith(image.left(20))},
        {"grown", overwriteWith(image + "S1130020000102030405060708090A0B0C0D0E0F54\n")},
        {"removed", [](const QString &path) { QFile::remove(path); }},
    };
    speed(0);
    for (const Case &c : cases) {
        for (const int changeAfterMs : {-1, 30}) { // before the transfer; after its first line
            SCOPED_TRACE(std::string(c.name) + (changeAfterMs < 0 ? " early" : " mid-transfer"));
            session->abort();
            useFile(image);
            startRun();
            if (changeAfterMs < 0)
                c.change(session->selectedFile());
            clock.advance(1000 + std::max(changeAfterMs, 0));
            if (changeAfterMs >= 0)
                c.change(session->selectedFile());
            clock.advance(100);
            EXPECT_EQ(sent(), image);
            control.feed("..P");
            ASSERT_EQ(lastEnd(), RunResult::Programmed);
            ASSERT_TRUE(ends.constLast().facts);
            EXPECT_EQ(ends.constLast().facts->sha256,
                      QCryptographicHash::hash(image, QCryptographicHash::Sha256))
                << "the run names the bytes it sent";
            EXPECT_EQ(ends.constLast().facts->size, image.size());
            EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, PROGRAMMED"));
        }
    }
}

TEST_F(StreamerTest, byHandWhileIdleSendsOneLineShowsItsProgressAndStops) {
    useFile(lines({A, B, E}));
    speed(0);
    session->sendFileByHand();
    clock.advance(1000);
    clock.advance(1000);
    EXPECT_EQ(sent(), QByteArray(A + "\n"));
    EXPECT_EQ(view.caption, QStringLiteral("Tarnix Pellora, progress: 33.3%"));
    EXPECT_EQ(session->state(), SessionState::Idle);
}

TEST_F(StreamerTest, aSecondArmingWhileATransferRunsIsIgnored) {
    QByteArray file;
    for (int i = 0; i < 30; ++i)
        file +=
            SRecordWriter::record('1', static_cast<quint32>(16 * i), QByteArray(16, 'x')) + "\n";
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
