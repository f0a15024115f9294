// The device or its adapter misbehaving, seen through the window: the real serial layer, timers and
// session against the simulator (or a device played byte by byte) on a pseudo-terminal.
#include "SRecordWriter.h"
#include "TestPty.h"
#include "WindowRig.h"

#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <functional>

namespace {

class FaultDevice : public WindowRig {
protected:
    // Chooses a file of S-records of `bytes` random bytes; returns its lines.
    QList<QByteArray> chooseRecords(int bytes, int seed) {
        const QList<QByteArray> lines = SRecordWriter::lines(
            randomData(bytes, static_cast<quint32>(seed)), 0x1000, SRecordWriter::Options{});
        choose(writeFile(lines.join('\n') + '\n'));
        return lines;
    }
};

// A device played by the test over a pseudo-terminal linked at the port's path, for orders of
// tokens the simulator never sends.
class ScriptedDevice {
public:
    explicit ScriptedDevice(const QString &link) {
        QFile::remove(link);
        QFile::link(pty.slavePath(), link);
    }

    // Waits until what the program sent so far satisfies `done`.
    bool waitFor(const std::function<bool(const QByteArray &)> &done, int timeoutMs = 5000) {
        return waitUntil(
            [&] {
                received += pty.readAvailable();
                return done(received);
            },
            timeoutMs);
    }
    bool waitForLines(qsizetype lines, int timeoutMs = 5000) {
        return waitFor([lines](const QByteArray &r) { return r.count('\n') >= lines; }, timeoutMs);
    }
    // The device's side of a start: a prompt for the probes, then the file request for the file
    // command.
    void askForTheFile() {
        ASSERT_TRUE(waitFor([](const QByteArray &r) { return r.contains('i'); }));
        pty.write(">");
        ASSERT_TRUE(waitFor([](const QByteArray &r) { return r.contains('f'); }));
        pty.write("_");
    }
    // Answers the first `lines` lines received, each with a ".".
    void answerLines(qsizetype lines) {
        for (qsizetype line = 1; line <= lines; ++line) {
            ASSERT_TRUE(waitForLines(line)) << line;
            pty.write(".");
        }
    }

    TestPty pty;
    QByteArray received;
};

} // namespace

TEST_F(FaultDevice, theAdapterPulledMidRunIsOneErrorAndConnectWorksAgain) {
    startDevice({QStringLiteral("--hangup-after"), QStringLiteral("5")});
    openWindow();
    choose(writeFile(srec(randomData(2048, 7))));
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil([&] { return !window->PortOpen(); }, 10'000));
    ASSERT_TRUE(waitUntil([&] { return !boxes(QStringLiteral("COM error")).isEmpty(); }));
    EXPECT_EQ(boxes(QStringLiteral("COM error")).size(), 1);
    EXPECT_EQ(boxes(QStringLiteral("COM error")).first()->text(), QStringLiteral("COM error 1103"));
    EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: False"));
    EXPECT_EQ(button("btnCon")->text(), QStringLiteral("Connect"));
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    EXPECT_EQ(results, QList<RunResult>{RunResult::PortError});
    EXPECT_TRUE(logText().contains(QStringLiteral(": the device disappeared")))
        << logText().toStdString();
    ASSERT_TRUE(sim->waitForExit());
    EXPECT_EQ(sim->exitCode(), 3) << "the simulator hung up";
    expectNoBadLines();

    // The adapter is plugged in again: the same path comes back, Connect opens it.
    startDevice();
    programAfterwards();
    EXPECT_TRUE(boxes(QStringLiteral("COM error")).isEmpty());
    EXPECT_TRUE(boxes(QStringLiteral("Error: DOT Timeout")).isEmpty()) << "one event, one box";
}

// A board powered through its own port: pulled and plugged in again during the countdown, then gone
// for a moment as it restarts after programming. Neither is an error: no box, still connected, and
// the caption keeps PROGRAMMED while the board restarts.
TEST_F(FaultDevice, aBoardPowerCycledThroughItsPortIsFollowed) {
    startDevice({QStringLiteral("--boot-delay"), QStringLiteral("400"), QStringLiteral("--replug"),
                 QStringLiteral("200,800"), QStringLiteral("--replug-after-run"),
                 QStringLiteral("800")});
    openWindow();
    const QByteArray data = randomData(2048, 12);
    choose(writeFile(srec(data)));
    EXPECT_EQ(run(), Programmed);
    ASSERT_TRUE(sim->waitForPlug(2, 10'000)) << "the restart after programming";
    ASSERT_TRUE(waitUntil([&] { return logText().count(QStringLiteral(" is back")) == 2; }))
        << logText().toStdString();
    EXPECT_EQ(logText().count(QStringLiteral(" went away: waiting for it to come back")), 2);
    EXPECT_TRUE(boxes().isEmpty());
    EXPECT_EQ(caption(), Programmed);
    EXPECT_EQ(button("btnCon")->text(), QStringLiteral("Disconnect"));
    EXPECT_TRUE(window->PortOpen());
    EXPECT_EQ(results, QList<RunResult>{RunResult::Programmed});
    EXPECT_EQ(sim->image(), data);
}

// A device that stops answering, or answers with garbage instead of dots: "Auto - fast" goes on
// after 200 ms without a ".", until the watchdog ends the run with one box.
struct SilentDevice {
    const char *name;
    QStringList arguments;
    int seed;
    int dataBytes;
    int linesAtLeast; // that reached the device before the watchdog ended the run
    friend void PrintTo(const SilentDevice &d, std::ostream *os) { *os << d.name; }
};

class FaultSilentDevice : public WindowRig, public ::testing::WithParamInterface<SilentDevice> {};

TEST_P(FaultSilentDevice, failsAfterTheWatchdogWithOneBox) {
    startDevice(GetParam().arguments);
    openWindow();
    choose(writeFile(srec(randomData(GetParam().dataBytes, GetParam().seed))));
    EXPECT_EQ(run(), Failed);
    ASSERT_EQ(boxes().size(), 1);
    EXPECT_EQ(boxes().first()->text(), QStringLiteral("Error: DOT Timeout"));
    EXPECT_EQ(boxes().first()->icon(), QMessageBox::Critical);
    EXPECT_EQ(results, QList<RunResult>{RunResult::AckTimeout});
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(button("btnFlash")->isEnabled());
    EXPECT_GE(sim->linesReceived(), GetParam().linesAtLeast);
    replaceDevice();
    programAfterwards();
}

INSTANTIATE_TEST_SUITE_P(
    FaultDevice, FaultSilentDevice,
    ::testing::Values(SilentDevice{"stopsAcknowledging",
                                   {QStringLiteral("--stop-ack-after"), QStringLiteral("3")},
                                   8,
                                   1024,
                                   4},
                      SilentDevice{
                          "answersWithGarbage", {QStringLiteral("--garbage")}, 9, 4096, 2}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(FaultDevice, tokensInTheWrongStatesAreOnlyShownInTheLog) {
    ScriptedDevice device(linkPath());
    openWindow();
    const QList<QByteArray> lines = chooseRecords(64, 10);
    const auto state = [&] { return window->session().state(); };
    const auto shown = [&](const QString &text) {
        return waitUntil([&] { return logText().endsWith(text); });
    };

    device.pty.write("._P>");
    ASSERT_TRUE(shown(QStringLiteral("._P>")));
    EXPECT_EQ(state(), SessionState::Idle);
    EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Connect: True"));

    button("btnFlash")->click();
    ASSERT_TRUE(device.waitFor([](const QByteArray &r) { return r.contains('i'); }));
    device.pty.write("._P");
    ASSERT_TRUE(shown(QStringLiteral("._P")));
    EXPECT_EQ(state(), SessionState::WaitBootPrompt);

    device.pty.write(">");
    ASSERT_TRUE(waitUntil([&] { return state() == SessionState::WaitFileRequest; }));
    ASSERT_TRUE(device.waitFor([](const QByteArray &r) { return r.contains('f'); }));
    device.pty.write(">.P"); // a second prompt, as from a device that booted twice
    ASSERT_TRUE(shown(QStringLiteral(">.P")));
    EXPECT_EQ(state(), SessionState::WaitFileRequest);
    EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Bootprogram started"));

    device.pty.write("_");
    for (int line = 1; line <= lines.size(); ++line) {
        ASSERT_TRUE(device.waitForLines(line)) << line;
        if (line == 2)
            device.pty.write(">_"); // a prompt mid-transfer
        device.pty.write(".");
    }
    device.pty.write("Programmed successfully! Restarting device....\r\n");
    ASSERT_TRUE(waitUntil([&] { return caption() == Programmed; }));
    const QByteArray afterF = device.received.mid(device.received.indexOf('f') + 1);
    EXPECT_EQ(afterF, lines.join('\n') + '\n') << "every line once, whole and in order";
    EXPECT_TRUE(boxes().isEmpty());

    replaceDevice();
    programAfterwards();
}

TEST_F(FaultDevice, aRunStartedRightAfterACancelSendsTheWholeFileWhenAsked) {
    // A cancel leaves the cancelled run's timers running; the new run must not inherit its
    // transfer, which would send the file before the device asked for it.
    ScriptedDevice device(linkPath());
    openWindow();
    const QList<QByteArray> lines = chooseRecords(96, 11);

    button("btnFlash")->click();
    ASSERT_NO_FATAL_FAILURE(device.askForTheFile());
    ASSERT_TRUE(waitUntil([&] { return window->session().state() == SessionState::SendingFile; }));
    button("btnFlash")->click(); // CANCEL before the first line
    ASSERT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    device.received.clear();
    button("btnFlash")->click(); // and START again at once

    ASSERT_TRUE(device.waitFor([](const QByteArray &r) { return r.contains('i'); }));
    device.pty.write(">");
    ASSERT_TRUE(device.waitFor([](const QByteArray &r) { return r.contains('f'); }));
    // The cancelled run's transfer was due 1 s after its "_": it must be gone, not merely late.
    EXPECT_FALSE(window->session().transferRunning());
    EXPECT_FALSE(device.received.contains('\n')) << "nothing before the device asks for the file";
    device.pty.write("_");
    ASSERT_NO_FATAL_FAILURE(device.answerLines(lines.size()));
    device.pty.write("Programmed successfully! Restarting device....\r\n");
    ASSERT_TRUE(waitUntil([&] { return caption() == Programmed; }));
    const QByteArray afterF = device.received.mid(device.received.lastIndexOf('f') + 1);
    EXPECT_EQ(afterF, lines.join('\n') + '\n');
}

// CANCEL ends the run at once on the line: before the first line (its pending start) and in the
// middle of the transfer. What the line carried is checked once the next run has probed for four
// seconds, longer than the file start (1 s) and the watchdog (3 s) of the cancelled run.
TEST_F(FaultDevice, afterCancelNoLineReachesTheDeviceAndNothingFails) {
    ScriptedDevice device(linkPath());
    openWindow();
    const QList<QByteArray> lines = chooseRecords(256, 12);
    ASSERT_GE(lines.size(), 6);
    // From a run that is probing.
    const auto toSendingFile = [&] {
        ASSERT_NO_FATAL_FAILURE(device.askForTheFile());
        ASSERT_TRUE(
            waitUntil([&] { return window->session().state() == SessionState::SendingFile; }));
    };
    const auto cancelAndProbeAgain = [&] {
        button("btnFlash")->click(); // CANCEL
        EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Cancelled"));
        EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
        EXPECT_TRUE(button("btnFlash")->isEnabled());
        EXPECT_EQ(window->session().state(), SessionState::Idle);
        EXPECT_TRUE(logText().startsWith(QStringLiteral("Ohjelmointi keskeytetty!")));
        device.received += device.pty.readAvailable();
        const qsizetype atCancel = device.received.count('\n');
        button("btnFlash")->click(); // START again: its probes show time passing
        EXPECT_TRUE(waitUntil(
            [&] { return button("btnFlash")->text() == QStringLiteral("Waiting restart: 56"); },
            8000));
        device.received += device.pty.readAvailable();
        EXPECT_EQ(device.received.count('\n'), atCancel) << "a line went out after CANCEL";
        EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Waiting restart"))
            << "a cancel is no failure";
        EXPECT_TRUE(boxes().isEmpty());
        device.received.clear();
    };

    button("btnFlash")->click();
    toSendingFile();
    cancelAndProbeAgain();
    EXPECT_EQ(results, QList<RunResult>{RunResult::Cancelled});

    toSendingFile();
    ASSERT_NO_FATAL_FAILURE(device.answerLines(3));
    ASSERT_TRUE(device.waitForLines(4));
    cancelAndProbeAgain();
    EXPECT_EQ(results, (QList<RunResult>{RunResult::Cancelled, RunResult::Cancelled}));
}

// The device talks every 2 ms while idle, many lines to each of the log's frames. Each wait is for
// a count of lines, with a bound far beyond it: the device drops its chatter while the window has
// not read the last, so how many lines arrive in a second depends on how busy the machine is, not
// on the window.
TEST_F(FaultDevice, textFloodingInWhileIdleIsLoggedAndARunStillWorks) {
    constexpr int Lines = 50;
    constexpr int BoundMs = 30'000;
    startDevice({QStringLiteral("--noise"), QStringLiteral("noise\\r\\n"),
                 QStringLiteral("--noise-interval"), QStringLiteral("2")});
    openWindow();
    const auto logged = [&] { return logText().count(QStringLiteral("noise\n")); };
    ASSERT_TRUE(waitUntil([&] { return logged() >= Lines; }, BoundMs));
    EXPECT_EQ(window->session().state(), SessionState::Idle);
    programAfterwards();
    const qsizetype seen = logged();
    EXPECT_TRUE(waitUntil([&] { return logged() >= seen + Lines; }, BoundMs))
        << "the log keeps up after the run";
}

TEST_F(FaultDevice, aDeviceThatNeverBootsLeavesTheFailureInTheLog) {
    startDevice({QStringLiteral("--never-boot")});
    openWindow();
    choose(writeFile(srec(randomData(256, 12))));
    window->session().setBootTimeout(2); // the window's 60 s, shortened for the test only
    button("btnFlash")->click();
    ASSERT_TRUE(waitUntil(
        [&] { return logText().contains(QStringLiteral("Restart to bootprogram failled!")); },
        10'000));
    EXPECT_EQ(results, QList<RunResult>{RunResult::NoBootPrompt});
    EXPECT_EQ(button("btnFlash")->text(), QStringLiteral("START PROGRAMMING"));
    EXPECT_TRUE(button("btnFlash")->isEnabled());
    EXPECT_TRUE(boxes().isEmpty());
    EXPECT_EQ(caption(), QStringLiteral("Tarnix Pellora, Restart to bootprogram failled!"));
    EXPECT_EQ(sim->linesReceived(), 0);
    replaceDevice();
    programAfterwards();
}

TEST_F(FaultDevice, aDeviceThatBootsTwiceIsProgrammedTwice) {
    startDevice({QStringLiteral("--boot-twice")});
    openWindow();
    ASSERT_NO_FATAL_FAILURE(expectProgrammed(randomData(1024, 13)));
    programAfterwards();
}

// Text from the device in the middle of the transfer: a "P" in it is no verdict. A device that
// talks before every answer is programmed whole; a board that restarts into its application after
// line 20, printing a banner with a "P" and dots, never reads as programmed.
TEST_F(FaultDevice, aPInTheDevicesTextIsNoVerdict) {
    startDevice({QStringLiteral("--noise"), QStringLiteral("Power ok\\r\\n"),
                 QStringLiteral("--noise-in-run")});
    openWindow();
    ASSERT_NO_FATAL_FAILURE(expectProgrammed(randomData(1024, 14)));

    replaceDevice({QStringLiteral("--restart-after"), QStringLiteral("20"),
                   QStringLiteral("--banner-interval"), QStringLiteral("1500"),
                   QStringLiteral("--banner-for"), QStringLiteral("3000")});
    QStringList captions;
    QObject::connect(window.get(), &QWidget::windowTitleChanged,
                     [&](const QString &title) { captions << title; });
    choose(writeFile(srec(randomData(1024, 15)), QStringLiteral("restart.srec")));
    results.clear();
    EXPECT_EQ(run(), Failed);
    EXPECT_FALSE(captions.contains(Programmed));
    EXPECT_EQ(results, QList<RunResult>{RunResult::AckTimeout});
    EXPECT_EQ(boxes(QStringLiteral("Error: DOT Timeout")).size(), 1);
    EXPECT_TRUE(logText().contains(QStringLiteral("Power ok. Press any key")));
    replaceDevice();
    programAfterwards();
}
