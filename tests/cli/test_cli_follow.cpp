// A board's port that goes and comes, in virtual time: the link's wait for a device that refuses
// at first, the command line's --wait, and a station's next board on --on-plug.
#include "FakeSerialControl.h"
#include "SRecordWriter.h"
#include "TestFiles.h"
#include "VirtualClock.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/Programmer.h"
#include "cli/Station.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <optional>
#include <unistd.h>

namespace {

// Runs the clock's ticks and the event loop's queued calls in turn, up to `ms` from now.
void pass(VirtualClock &clock, std::int64_t ms) {
    const std::int64_t end = clock.now() + ms;
    for (;;) {
        QCoreApplication::processEvents();
        const std::int64_t next = clock.nextDeadline();
        if (next < 0 || next > end)
            break;
        clock.advance(next - clock.now());
    }
    clock.advance(end - clock.now());
    QCoreApplication::processEvents();
}

// A bootloader behind a fake port: ">" to a probe once it has restarted, "_" to "f", "." to each
// line and "P" to the termination record, each a millisecond later.
class FakeBoard {
public:
    FakeBoard(FakeSerialControl &control, VirtualClock &clock)
        : control_(control), reply_(clock.createTimer(1)) {
        control.onWrite = [this](const QByteArray &bytes) { take(bytes); };
        reply_->onTick = [this] {
            reply_->setEnabled(false);
            control_.feed(std::exchange(pending_, QByteArray()));
        };
    }
    // Booted into the bootloader (after a power cycle): answers the next probe.
    void restart() { prompted_ = false; }
    int runs = 0; // images taken whole

private:
    void take(const QByteArray &bytes) {
        for (const char c : bytes) {
            if (c == 'i' && line_.isEmpty()) {
                if (!std::exchange(prompted_, true))
                    answer(">");
            } else if (c == 'f' && line_.isEmpty()) {
                answer("_");
            } else if (c == '\n') {
                const bool last =
                    line_.startsWith("S7") || line_.startsWith("S8") || line_.startsWith("S9");
                runs += last ? 1 : 0;
                line_.clear();
                answer(last ? "P" : ".");
            } else {
                line_ += c;
            }
        }
    }
    void answer(const QByteArray &text) {
        pending_ += text;
        reply_->setEnabled(true);
    }

    FakeSerialControl &control_;
    std::unique_ptr<Timer> reply_;
    QByteArray pending_;
    QByteArray line_;
    bool prompted_ = true; // running its application until restarted
};

class CliFollow : public ::testing::Test, public ScratchFolder {
protected:
    // A programmer of one board on a fake port, with `extra` applied to its options.
    void make(const std::function<void(CliOptions &)> &extra) {
        CliOptions options;
        options.file = writeFile(SRecordWriter::file(randomData(64, 3), 0x100));
        options.boards = {BoardTarget{0, QStringLiteral("/dev/fake0")}};
        options.speedIndex = Pacing::AutoSpeedIndex;
        options.bootTimeoutSeconds = 20;
        extra(options);
        programmer = std::make_unique<Programmer>(
            options, console, clock, [this](const BoardTarget &, TimerFactory &) {
                auto made = std::make_unique<FakeSerialControl>();
                control = made.get();
                board.emplace(*made, clock);
                return made;
            });
        QObject::connect(programmer.get(), &Programmer::finished,
                         [this](int code) { exitCodes << code; });
    }
    QString said() const { return QString::fromLocal8Bit(text); }

    VirtualClock clock;
    QByteArray text;
    Console console{[this](const QByteArray &bytes) { text += bytes; }, false,
                    [this] { return clock.now(); }};
    std::unique_ptr<Programmer> programmer;
    FakeSerialControl *control = nullptr;
    std::optional<FakeBoard> board;
    QList<int> exitCodes;
};

} // namespace

// A port that is there but refuses (udev has not set its permissions yet, a prober holds it) is
// tried again for the grace period; a device that is not there is waited for, however long.
TEST_F(CliFollow, theLinkWaitsForADeviceAndGivesARefusingOneItsGrace) {
    const struct Case {
        const char *name;
        std::int64_t refusingMs; // after it appears; 0: opens at once
        bool lost;
    } cases[] = {
        {"opens as it appears", 0, false},
        {"refuses within the grace", SerialLink::ReopenGraceMs - 500, false},
        {"refuses past the grace", SerialLink::ReopenGraceMs + 500, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeSerialControl port;
        SerialLink link(port, clock);
        QList<SerialStatus> lost;
        int back = 0;
        QObject::connect(&link, &SerialLink::portLost,
                         [&](const SerialStatus &failure) { lost << failure; });
        QObject::connect(&link, &SerialLink::portBack, [&] { ++back; });
        port.present = false;
        ASSERT_TRUE(link.connectPortOrWait(1).ok());
        EXPECT_TRUE(link.PortOpen() && link.away() && port.watching);
        pass(clock, 60'000);
        EXPECT_TRUE(link.away()) << "a device not there is waited for";
        if (c.refusingMs > 0) {
            port.failOpenWith = QStringLiteral("/dev/fake1: Permission denied");
            port.failOpenAs = PortFailure::NoPermission;
        }
        port.plugIn();
        pass(clock, c.refusingMs);
        port.failOpenWith.clear();
        pass(clock, 100);
        EXPECT_EQ(back, c.lost ? 0 : 1);
        ASSERT_EQ(lost.size(), c.lost ? 1 : 0);
        EXPECT_EQ(link.PortOpen(), !c.lost);
        if (c.lost) {
            EXPECT_EQ(lost.first().kind(), PortFailure::NoPermission);
        }
    }
}

// --wait: a board plugged in after the start is programmed within the boot timeout; one never
// plugged in ends when the time runs out, saying why.
TEST_F(CliFollow, waitTakesABoardPluggedInAfterTheStart) {
    const struct Case {
        const char *name;
        std::optional<std::int64_t> pluggedAtMs;
        int exitCode;
        const char *said;
    } cases[] = {
        {"plugged in 5 s after the start", 5000, ExitCode::Programmed, "/dev/fake0 is back"},
        {"never plugged in", std::nullopt, ExitCode::NoBootPrompt,
         "was away when the time ran out: the board's port did not come back"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        text.clear();
        exitCodes.clear();
        make([](CliOptions &options) { options.waitForDevice = true; });
        control->present = false;
        programmer->start();
        EXPECT_TRUE(said().contains(
            QStringLiteral("/dev/fake0 is not there yet: plug the board in; waiting up to 20 s")));
        if (c.pluggedAtMs) {
            pass(clock, *c.pluggedAtMs);
            board->restart();
            control->plugIn();
        }
        pass(clock, 25'000);
        ASSERT_EQ(exitCodes.size(), 1) << said().toStdString();
        EXPECT_EQ(exitCodes.first(), c.exitCode) << said().toStdString();
        EXPECT_TRUE(said().contains(QString::fromLatin1(c.said))) << said().toStdString();
    }
}

// --repeat --on-plug: the next round starts when the board just programmed has been away for
// Station::MinAwayMs or more and a board is back; a restart's moment away starts nothing.
TEST_F(CliFollow, onPlugTheNextBoardStartsWhenItIsPluggedIn) {
    make([](CliOptions &options) {
        options.repeat = true;
        options.onPlug = true;
    });
    int input[2];
    ASSERT_EQ(::pipe(input), 0);
    QByteArray results;
    Station station(
        *programmer, console, clock, input[0], [&](const QByteArray &bytes) { results += bytes; },
        false, 0);
    station.startOnPlug();
    int finishedWith = -1;
    QObject::connect(&station, &Station::finished, [&](int code) { finishedWith = code; });
    station.start();
    board->restart();
    pass(clock, 5000);
    ASSERT_EQ(board->runs, 1) << said().toStdString();
    ASSERT_TRUE(said().contains(QStringLiteral("unplug this one and plug the next in")));

    // The board restarts into its application and takes its port for a moment.
    control->loseDevice();
    pass(clock, Station::MinAwayMs - 500);
    control->plugIn();
    pass(clock, 5000);
    EXPECT_EQ(station.programmed(), 1) << "a restart is no new board";
    EXPECT_EQ(control->opens, 2) << "the port is followed between the rounds";

    // Unplugged, and the next board plugged in.
    control->loseDevice();
    pass(clock, Station::MinAwayMs + 500);
    board->restart();
    control->plugIn();
    pass(clock, 5000);
    EXPECT_EQ(board->runs, 2) << said().toStdString();
    EXPECT_TRUE(said().contains(QStringLiteral("Tally: 2 programmed, 0 failed")));

    ASSERT_EQ(::write(input[1], "q\n", 2), 2);
    pass(clock, 100);
    EXPECT_EQ(finishedWith, ExitCode::Programmed);
    ::close(input[0]);
    ::close(input[1]);
}
