// The operator's console on a virtual clock: how often progress is written, and what it says.
#include "cli/Console.h"

#include <gtest/gtest.h>

namespace {

class CliConsole : public ::testing::Test {
protected:
    Console make(bool interactive) {
        return Console([this](const QByteArray &bytes) { written += bytes; }, interactive,
                       [this] { return now; });
    }
    QList<QByteArray> plainLines() const {
        QList<QByteArray> lines = written.split('\n');
        lines.removeAll(QByteArray());
        return lines;
    }
    qsizetype count(QByteArrayView needle) const { return written.count(needle); }

    QByteArray written;
    qint64 now = 0;
};

} // namespace

TEST_F(CliConsole, aPipeGetsAtMostOneProgressLinePerSecond) {
    Console console = make(false);
    console.setBoards({QStringLiteral("/dev/ttyUSB0")});
    for (qint64 line = 1; line <= 3000; ++line, ++now) {
        console.lineSent(0, line, 3000);
        if (line == 1500)
            console.message(0, QStringLiteral("a stage"));
    }
    // Lines at 0, 1000 and 2000 ms; a message is never held back.
    EXPECT_EQ(count("progress "), 3);
    EXPECT_EQ(count("a stage\n"), 1);
    EXPECT_EQ(count("\x1b"), 0);
}

TEST_F(CliConsole, rateAndTimeLeftCountFromTheFirstLine) {
    Console console = make(false);
    console.setBoards({QStringLiteral("/dev/ttyUSB0")});
    now = 5000; // the wait for the bootloader before the first line is not part of the rate
    for (qint64 line = 1; line <= 101; ++line, now += 10)
        console.lineSent(0, line, 1001);
    const Console::Totals totals = console.totals();
    EXPECT_DOUBLE_EQ(totals.linesPerSecond, 100.0);
    ASSERT_TRUE(totals.secondsLeft.has_value());
    EXPECT_DOUBLE_EQ(*totals.secondsLeft, 9.0);
    EXPECT_EQ(plainLines().last(),
              QByteArray("progress 10% (101/1001 lines, 100 lines/s, 0:09 left)"));
}

TEST_F(CliConsole, severalBoardsAddUpAndAnEndedBoardLeavesTheTotals) {
    Console console = make(false);
    console.setBoards({QStringLiteral("a"), QStringLiteral("b")});
    for (qint64 step = 0; step <= 100; ++step, now += 10) {
        console.lineSent(0, 1 + step, 1000);     // 100 lines/s, 899 left at the end
        console.lineSent(1, 1 + step / 2, 1000); // 50 lines/s, 949 left
    }
    Console::Totals totals = console.totals();
    EXPECT_EQ(totals.sending, 2);
    EXPECT_EQ(totals.lines, 101 + 51);
    EXPECT_EQ(totals.total, 2000);
    EXPECT_NEAR(totals.linesPerSecond, 150.0, 1e-9);
    EXPECT_NEAR(*totals.secondsLeft, 949.0 / 50.0, 1e-9); // the slower board decides

    console.boardEnded(1);
    totals = console.totals();
    EXPECT_EQ(totals.sending, 1);
    EXPECT_EQ(totals.total, 1000);
    EXPECT_NEAR(*totals.secondsLeft, 899.0 / 100.0, 1e-9);
}

TEST_F(CliConsole, aTerminalRedrawsOneLineInPlaceAndKeepsMessagesAboveIt) {
    Console console = make(true);
    console.setBoards({QStringLiteral("/dev/ttyUSB0")});
    for (qint64 line = 1; line <= 1000; ++line, ++now) {
        console.lineSent(0, line, 2000);
        if (line == 500)
            console.message(0, QStringLiteral("COM error 1101"));
    }
    // At most one redraw per 100 ms, plus the one after the message.
    EXPECT_LE(count("lines/s"), 1000 / Console::RedrawIntervalMs + 1);
    EXPECT_GE(count("%"), 5);
    // The bar is never ended by a line break: only the message is.
    EXPECT_EQ(count("\n"), 1);
    const qsizetype at = written.indexOf("\r\x1b[KCOM error 1101\n");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(written.mid(at).contains("]  25%"));

    console.boardEnded(0);
    console.finish();
    EXPECT_TRUE(written.endsWith("\r\x1b[K")) << "the progress line is cleared at the end";
}

TEST_F(CliConsole, aTerminalShowsTheWaitForTheBootloaderUntilTheFirstStage) {
    Console console = make(true);
    console.setBoards({QStringLiteral("/dev/ttyUSB0")});
    console.countdown(0, 60);
    console.countdown(0, 59);
    EXPECT_TRUE(written.endsWith("Waiting for the bootloader: 59 s"));
    console.countdown(0, -1);
    console.message(0, QStringLiteral("Bootprogram started"));
    EXPECT_TRUE(written.endsWith("\r\x1b[KBootprogram started\n"));
}
