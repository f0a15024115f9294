// tarnix-pellora-cli as the operator runs it, against the device simulator on pseudo-terminals: the
// real program, the real serial layer and session, real time.
#include "CliProcess.h"
#include "SRecordWriter.h"
#include "SettingsFile.h"
#include "SimProcess.h"
#include "TestPty.h"
#include "clock/QtTimers.h"
#include "serial/QtSerialControl.h"
#include "settings/ModuleReg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

const QString Auto = QStringLiteral("auto");

class CliTest : public CliRig {
protected:
    // The run the simulator completed: its image equals `data`, and no line was garbled.
    static void expectProgrammed(SimProcess &sim, const QByteArray &data) {
        ASSERT_TRUE(sim.waitForRuns(1, 5000));
        const auto summary = sim.summary();
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->value(QStringLiteral("bad_lines")).toInt(), 0);
        EXPECT_EQ(sim.image(), data);
    }

    // A run whose standard error is a terminal of type `term`; what the terminal showed.
    // What `terminal` shows of a run: read while it runs, since a full terminal buffer would
    // stall the program.
    static QByteArray readWhileRunning(Cli &cli, TestPty &terminal, int &status) {
        QByteArray shown;
        waitUntil(
            [&] {
                shown += terminal.readAvailable();
                return !cli.isRunning();
            },
            30'000);
        status = cli.finish(1000);
        return shown + terminal.readAvailable();
    }

    QByteArray runOnTerminal(SimProcess &sim, const QByteArray &data, const QString &term) {
        TestPty terminal;
        EXPECT_TRUE(terminal.ok());
        Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                 writeFile(SRecordWriter::file(data, 0)), QStringLiteral("--speed"),
                 QStringLiteral("20")},
                terminal.slavePath(), runEnvironment(term));
        int status = -1;
        const QByteArray shown = readWhileRunning(cli, terminal, status);
        EXPECT_EQ(status, 0) << shown.toStdString();
        // The result alone on standard output, the progress on the terminal.
        EXPECT_TRUE(cli.out.startsWith("Board  Device ")) << cli.out.toStdString();
        EXPECT_EQ(cli.out.count('\n'), 2);
        EXPECT_FALSE(shown.contains("Board  Device"));
        expectProgrammed(sim, data);
        return shown;
    }
};

class CliRun : public CliTest {};
class CliExitCodes : public CliTest {};
class CliInterrupt : public CliTest {};
class CliParallel : public CliTest {};

} // namespace

TEST_F(CliRun, programsABoardByItsPortNumberAndReportsTheRun) {
    SimProcess &sim = startSim();
    mapPort(9, sim.slavePath());
    const QByteArray data = randomData(4096, 1);
    const QByteArray srec = SRecordWriter::file(data, 0x4000);
    const auto records = SRecordWriter::lines(data, 0x4000);
    const QString log = path(QStringLiteral("device.log"));
    writeFile("an earlier run\n", QStringLiteral("device.log"));

    Cli cli({QStringLiteral("--port"), QStringLiteral("9"), QStringLiteral("--file"),
             writeFile(srec), QStringLiteral("--speed"), Auto, QStringLiteral("--log"), log,
             QStringLiteral("--json")});
    ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();
    expectProgrammed(sim, data);

    // The caption's stages, in order, and no per-line caption text.
    const QByteArray &err = cli.err;
    const qsizetype cycle = err.indexOf("Switch the board off and on again");
    const qsizetype started = err.indexOf("\nBootprogram started\n"); // no board prefix for one
    const qsizetype sending = err.indexOf("Sending File\n");
    const qsizetype programmed = err.indexOf("PROGRAMMED\n");
    EXPECT_TRUE(cycle >= 0 && cycle < started && started < sending && sending < programmed)
        << err.toStdString();
    EXPECT_FALSE(err.contains("progress: "));

    const QJsonArray results = cli.json();
    ASSERT_EQ(results.size(), 1) << cli.out.toStdString();
    const QJsonObject result = results.at(0).toObject();
    EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
    EXPECT_EQ(result.value(QStringLiteral("exit_code")).toInt(-1), 0);
    EXPECT_EQ(result.value(QStringLiteral("device")).toString(), sim.slavePath());
    EXPECT_EQ(result.value(QStringLiteral("port")).toInt(), 9);
    EXPECT_EQ(result.value(QStringLiteral("lines")).toInteger(), records.size());
    EXPECT_EQ(result.value(QStringLiteral("lines_total")).toInteger(), records.size());
    EXPECT_EQ(result.value(QStringLiteral("bytes")).toInteger(), srec.size()); // LF line ends
    EXPECT_GT(result.value(QStringLiteral("seconds")).toDouble(), 0.0);

    // The log keeps what was there and gains every byte the device sent, its closing text included.
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray kept = file.readAll();
    EXPECT_TRUE(kept.startsWith("an earlier run\n>\r\n_"));
    EXPECT_GE(kept.count('.'), records.size());
    EXPECT_TRUE(kept.endsWith("Programmed successfully! Restarting device....\r\n"))
        << kept.right(80).toStdString();
}

TEST_F(CliRun, aTerminalOnStandardOutputGetsTheResultIn80Columns) {
    SimProcess &sim = startSim();
    TestPty terminal; // its width unknown: COLUMNS (80) tells
    ASSERT_TRUE(terminal.ok());
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(256, 3), 0)), QStringLiteral("--speed"),
             Auto},
            {}, runEnvironment(), terminal.slavePath());
    int status = -1;
    const QByteArray shown = readWhileRunning(cli, terminal, status);
    ASSERT_EQ(status, 0) << cli.err.toStdString();
    const QList<QByteArray> lines = shown.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2) << shown.toStdString();
    EXPECT_TRUE(lines[0].startsWith("Board  Device ") && lines[0].endsWith("  SHA-256"))
        << lines[0].toStdString();
    EXPECT_TRUE(lines[1].contains(" programmed ")) << lines[1].toStdString();
    for (const QByteArray &line : lines)
        EXPECT_LE(line.size(), 80) << line.toStdString();
}

TEST_F(CliRun, aTerminalGetsAProgressBarRedrawnInPlace) {
    SimProcess &sim = startSim();
    const QByteArray data = randomData(1024, 2);
    const QByteArray shown = runOnTerminal(sim, data, QStringLiteral("xterm-256color"));
    EXPECT_TRUE(shown.contains("\r\x1b[K["));
    EXPECT_TRUE(shown.contains(" lines/s")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(" left"));
    EXPECT_TRUE(shown.contains("PROGRAMMED"));
    EXPECT_FALSE(shown.contains("progress ")) << "no plain progress lines on a terminal";
}

TEST_F(CliRun, aDumbTerminalGetsPlainProgressLinesWithoutEscapes) {
    SimProcess &sim = startSim();
    const QByteArray data = randomData(1024, 12);
    const QByteArray shown = runOnTerminal(sim, data, QStringLiteral("dumb"));
    EXPECT_TRUE(shown.contains("progress ")) << shown.toStdString();
    EXPECT_TRUE(shown.contains("PROGRAMMED"));
    EXPECT_FALSE(shown.contains('\x1b')) << shown.toStdString();
}

TEST_F(CliRun, aResetLineThePortCannotDriveFallsBackToAPowerCycle) {
    SimProcess &sim = startSim();
    const QByteArray data = randomData(512, 3);
    // A pseudo-terminal has no modem lines.
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(data, 0)), QStringLiteral("--speed"), Auto,
             QStringLiteral("--reset"), QStringLiteral("dtr")});
    ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("cannot pulse DTR")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Switch the board off and on again"));
    expectProgrammed(sim, data);
}

TEST_F(CliRun, listPortsShowsWhereEachPortNumberLeads) {
    SimProcess &sim = startSim();
    mapPort(9, sim.slavePath());
    mapPort(12, path(QStringLiteral("unplugged")));
    Cli cli({QStringLiteral("--list-ports")});
    ASSERT_EQ(cli.finish(), 0);
    const QString out = QString::fromLocal8Bit(cli.out);
    EXPECT_TRUE(out.contains(QStringLiteral("Serial devices:")));
    EXPECT_TRUE(out.contains(QStringLiteral("COM9 -> %1\n").arg(sim.slavePath())))
        << out.toStdString();
    EXPECT_TRUE(out.contains(
        QStringLiteral("COM12 -> %1 (missing)\n").arg(path(QStringLiteral("unplugged")))));
}

TEST_F(CliRun, aHandWrittenPortMapIsReadWithItsCommentsAndWhatCannotBeReadIsNamed) {
    SimProcess &sim = startSim();
    const QString file = settingsFile();
    writeSettings("# bench 4\n[Ports]\n# the simulator\nCOM9 = " + sim.slavePath().toLocal8Bit() +
                  "  ; by hand\nCOM3 /dev/ttyUSB0\n");
    const QString named =
        QStringLiteral("%1, line 5: \"COM3 /dev/ttyUSB0\" is not a name=value setting; it is "
                       "ignored\n")
            .arg(file);

    Cli list({QStringLiteral("--list-ports")});
    ASSERT_EQ(list.finish(), 0);
    const QString out = QString::fromLocal8Bit(list.out);
    EXPECT_TRUE(out.contains(QStringLiteral("COM9 -> %1\n").arg(sim.slavePath())))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("Any other number opens no device: line 5 of %1 "
                                            "cannot be read, so its device is unknown.\n")
                                 .arg(file)));
    EXPECT_TRUE(out.contains(QStringLiteral("warning: ") + named));

    const QByteArray data = randomData(256, 14);
    Cli run({QStringLiteral("--port"), QStringLiteral("9"), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(data, 0)), QStringLiteral("--speed"), Auto});
    ASSERT_EQ(run.finish(), 0) << run.err.toStdString();
    expectProgrammed(sim, data);
    EXPECT_EQ(QString::fromLocal8Bit(run.err).count(named), 1) << run.err.toStdString();
    Cli guessed({QStringLiteral("--port"), QStringLiteral("3"), QStringLiteral("--file"),
                 writeFile(SRecordWriter::file(data, 0))});
    EXPECT_EQ(guessed.finish(), 5);
    EXPECT_TRUE(guessed.err.contains("COM3: line 5 of ")) << guessed.err.toStdString();
    QFile::remove(file); // the tests after this one map ports of their own
}

TEST_F(CliExitCodes, usageErrorsAreStatusTwoAndNameTheProblem) {
    const QString file = writeFile(SRecordWriter::file(randomData(64, 4), 0));
    SimProcess &sim = startSim();
    mapPort(9, sim.slavePath());
    const QString dev = QStringLiteral("--device");
    const QString f = QStringLiteral("--file");
    const struct {
        QStringList arguments;
        const char *says;
    } cases[] = {
        {{}, "no board"},
        {{QStringLiteral("--port"), QStringLiteral("0"), f, file}, "--port expects"},
        {{QStringLiteral("--port"), QStringLiteral("32768"), f, file}, "--port expects"},
        {{QStringLiteral("--port"), QStringLiteral("COM3"), f, file}, "--port expects"},
        {{QStringLiteral("--port"), QStringLiteral("+3"), f, file}, "--port expects"},
        {{QStringLiteral("--port"), QStringLiteral(" 3"), f, file}, "--port expects"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--speed"), QStringLiteral("20"),
          QStringLiteral("--speed"), QStringLiteral("100")},
         "--speed is given 2 times (\"20\", \"100\")"},
        {{dev, sim.slavePath(), f, file, f, file}, "--file is given 2 times"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--boot-timeout"), QStringLiteral("-5")},
         "--boot-timeout"},
        {{dev, sim.slavePath()}, "no firmware file"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--speed"), QStringLiteral("50")},
         "--speed expects"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--boot-timeout"), QStringLiteral("0")},
         "--boot-timeout"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--reset"), QStringLiteral("dsr")},
         "--reset expects"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--on-plug")}, "--on-plug works with"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--frobnicate")}, "frobnicate"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("extra")}, "unexpected argument"},
        {{dev, sim.slavePath(), f, file, QStringLiteral("--port")}, "port"},
        // One board per port: the same device by path and through the [Ports] map.
        {{dev, sim.slavePath(), QStringLiteral("--port"), QStringLiteral("9"), f, file},
         "given twice"},
    };
    for (const auto &c : cases) {
        Cli cli(c.arguments);
        EXPECT_EQ(cli.finish(5000), 2) << c.arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(cli.err.contains(c.says)) << cli.err.toStdString();
        EXPECT_TRUE(cli.err.contains("--help"));
        EXPECT_TRUE(cli.out.isEmpty());
    }
    // Nothing was sent to the device meanwhile.
    EXPECT_EQ(sim.summary().value_or(QJsonObject{}).value(QStringLiteral("lines")).toInt(), 0);

    Cli help({QStringLiteral("--help")});
    EXPECT_EQ(help.finish(5000), 0);
    EXPECT_TRUE(help.out.contains("--port N") && help.out.contains("Exit status"));
    Cli version({QStringLiteral("--version")});
    EXPECT_EQ(version.finish(5000), 0);
    EXPECT_TRUE(version.out.startsWith("tarnix-pellora-cli "));
}

TEST_F(CliExitCodes, noBootPromptInTimeIsThree) {
    SimProcess &sim = startSim({QStringLiteral("--never-boot")});
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(64, 5), 0)), QStringLiteral("--boot-timeout"),
             QStringLiteral("2"), QStringLiteral("--json")});
    EXPECT_EQ(cli.finish(), 3);
    EXPECT_TRUE(cli.err.contains("Restart to bootprogram failled!\n")) << cli.err.toStdString();
    EXPECT_EQ(cli.json().at(0).toObject().value(QStringLiteral("result")).toString(),
              QStringLiteral("no-boot-prompt"));
}

TEST_F(CliExitCodes, anAcknowledgementTimeoutIsFour) {
    SimProcess &sim = startSim({QStringLiteral("--stop-ack-after"), QStringLiteral("3")});
    const auto lines = SRecordWriter::lines(randomData(2048, 6), 0).size();
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(2048, 6), 0)), QStringLiteral("--speed"),
             Auto, QStringLiteral("--json")});
    EXPECT_EQ(cli.finish(), 4);
    EXPECT_TRUE(cli.err.contains("Programming FAILLED\n")) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Error: DOT Timeout\n"));
    const QJsonObject result = cli.json().at(0).toObject();
    EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("ack-timeout"));
    EXPECT_GT(result.value(QStringLiteral("lines")).toInt(), 3);
    EXPECT_LT(result.value(QStringLiteral("lines")).toInt(), lines);
}

TEST_F(CliExitCodes, aMissingDeviceIsFiveWithAHint) {
    const QString missing = path(QStringLiteral("ttyUSB7"));
    Cli cli({QStringLiteral("--device"), missing, QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(64, 7), 0))});
    EXPECT_EQ(cli.finish(), 5);
    EXPECT_TRUE(
        cli.err.contains((missing + QStringLiteral(": No such file or directory\n")).toLocal8Bit()))
        << cli.err.toStdString();
    // What there is instead, or that there is nothing.
    EXPECT_TRUE(cli.err.contains((missing + QStringLiteral(" is not there. ")).toLocal8Bit()));
    EXPECT_TRUE(cli.err.contains("--list-ports") ||
                cli.err.contains("No serial device is present: plug the adapter in"));
}

TEST_F(CliExitCodes, aPortHeldByAnotherProgramIsFiveNamingThatProgram) {
    SimProcess &sim = startSim();
    QtTimerFactory timers;
    QtSerialControl holder(timers);
    holder.setDeviceOverride(sim.slavePath());
    ASSERT_TRUE(holder.setPortOpen(true).ok());
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(64, 13), 0))});
    EXPECT_EQ(cli.finish(), 5);
    EXPECT_TRUE(cli.err.contains(
        QStringLiteral("%1 is in use by %2 (pid %3): close that program, "
                       "then run the command again.\n")
            .arg(sim.slavePath(), QFileInfo(QCoreApplication::applicationFilePath()).fileName())
            .arg(QCoreApplication::applicationPid())
            .toLocal8Bit()))
        << cli.err.toStdString();
}

TEST_F(CliExitCodes, aPortWithoutPermissionIsFiveWithTheDialoutHint) {
    // Root opens a mode-000 file regardless; a read-only sysfs attribute refuses even root.
    QString refused = writeFile("", QStringLiteral("ttyNOACCESS"));
    QFile::setPermissions(refused, {});
    if (::geteuid() == 0)
        refused = QStringLiteral("/sys/kernel/uevent_seqnum");
    const int fd = ::open(refused.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 || error != EACCES)
        GTEST_SKIP() << "no device here refuses to open with EACCES";

    Cli cli({QStringLiteral("--device"), refused, QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(64, 8), 0))});
    EXPECT_EQ(cli.finish(), 5);
    EXPECT_TRUE(cli.err.contains((refused + QStringLiteral(": Permission denied\n")).toLocal8Bit()))
        << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("dialout"));
}

TEST_F(CliExitCodes, aMissingFileIsSixAndIsFoundBeforeAnyPortIsOpened) {
    // The missing device would be status 5 had its port been tried first.
    Cli cli({QStringLiteral("--device"), path(QStringLiteral("ttyUSB7")), QStringLiteral("--file"),
             path(QStringLiteral("nothing.srec")), QStringLiteral("--json")});
    EXPECT_EQ(cli.finish(), 6);
    EXPECT_TRUE(cli.err.contains("nothing.srec: cannot read the file (no such file)"))
        << cli.err.toStdString();
    EXPECT_FALSE(cli.err.contains("ttyUSB7: No such file"));
    EXPECT_EQ(cli.json().at(0).toObject().value(QStringLiteral("result")).toString(),
              QStringLiteral("file-error"));
}

TEST_F(CliInterrupt, aSignalMidRunStopsTheRunAtOnce) {
    // Ctrl-C, a kill, and a closed terminal or a dropped ssh session.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        SimProcess &sim = startSim();
        const QByteArray data = randomData(4096, 9);
        const auto lines = SRecordWriter::lines(data, 0).size();
        const QString history = path(QStringLiteral("history-%1.jsonl").arg(signal));
        // The slowest speed: the run would take half a minute.
        Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                 writeFile(SRecordWriter::file(data, 0)), QStringLiteral("--speed"),
                 QStringLiteral("100"), QStringLiteral("--json"), QStringLiteral("--history-file"),
                 history});
        ASSERT_TRUE(cli.waitForError("progress ", 10'000)) << cli.err.toStdString();
        cli.signal(signal);
        ASSERT_EQ(cli.finish(5000), 130) << cli.err.toStdString();
        EXPECT_TRUE(cli.err.contains("Interrupted"));
        const QJsonObject result = cli.json().at(0).toObject();
        EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("cancelled"));
        const int sent = result.value(QStringLiteral("lines")).toInt();
        EXPECT_GE(sent, 1);
        EXPECT_LT(sent, lines);
        EXPECT_TRUE(cli.err.contains("Board  Device")) << "the table";
        QFile recorded(history);
        ASSERT_TRUE(recorded.open(QIODevice::ReadOnly));
        const QList<QByteArray> entries = recorded.readAll().trimmed().split('\n');
        ASSERT_EQ(entries.size(), 1);
        const QJsonObject entry = QJsonDocument::fromJson(entries.first()).object();
        EXPECT_EQ(entry.value(QStringLiteral("result")).toString(), QStringLiteral("cancelled"));
        EXPECT_EQ(entry.value(QStringLiteral("exit_code")).toInt(), 130);

        // The device got no more than what had gone out when the signal came, and no end.
        sim.stop();
        const auto summary = sim.summary();
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->value(QStringLiteral("runs")).toInt(), 0);
        EXPECT_LE(summary->value(QStringLiteral("lines")).toInt(), sent);
    }
}

TEST_F(CliParallel, eightBoardsAtOnceFromOneProcess) {
    constexpr int Boards = 8;
    const QByteArray data = randomData(4096, 10);
    QStringList arguments = {
        QStringLiteral("--file"),         writeFile(SRecordWriter::file(data, 0x8000)),
        QStringLiteral("--speed"),        Auto,
        QStringLiteral("--json"),         QStringLiteral("--log"),
        path(QStringLiteral("board.log"))};
    for (int i = 0; i < Boards; ++i) {
        SimProcess &sim = startSim();
        // Two of them by port number, the rest by path.
        if (i >= Boards - 2) {
            mapPort(20 + i, sim.slavePath());
            arguments << QStringLiteral("--port") << QString::number(20 + i);
        } else {
            arguments << QStringLiteral("--device") << sim.slavePath();
        }
    }
    // The eight boards append to one history at the same moment.
    QProcessEnvironment environment = runEnvironment();
    environment.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral("state")));
    Cli cli(arguments, {}, environment);
    ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();

    QFile history(path(QStringLiteral("state/tarnix-pellora/history.jsonl")));
    ASSERT_TRUE(history.open(QIODevice::ReadOnly));
    const QByteArray content = history.readAll();
    EXPECT_TRUE(content.endsWith('\n'));
    QStringList devices;
    for (const QByteArray &line : content.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject entry = QJsonDocument::fromJson(line).object();
        EXPECT_EQ(entry.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"))
            << line.toStdString();
        devices << entry.value(QStringLiteral("device")).toString();
    }
    QStringList expected;
    for (const auto &sim : sims)
        expected << sim->slavePath();
    devices.sort();
    expected.sort();
    EXPECT_EQ(devices, expected);

    const QJsonArray results = cli.json();
    ASSERT_EQ(results.size(), Boards);
    for (int i = 0; i < Boards; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject result = results.at(i).toObject();
        EXPECT_EQ(result.value(QStringLiteral("board")).toInt(), i + 1);
        EXPECT_EQ(result.value(QStringLiteral("device")).toString(),
                  sims[static_cast<std::size_t>(i)]->slavePath());
        EXPECT_EQ(result.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
        expectProgrammed(*sims[static_cast<std::size_t>(i)], data);
        QFile log(path(QStringLiteral("board.log.%1").arg(i + 1)));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        EXPECT_TRUE(log.readAll().contains("Programmed successfully!"));
        // One table row per board.
        const QRegularExpression row(
            QStringLiteral("\n%1 +%2 +programmed +- +0 ")
                .arg(i + 1)
                .arg(QRegularExpression::escape(sims[static_cast<std::size_t>(i)]->slavePath())));
        EXPECT_TRUE(QString::fromLocal8Bit(cli.err).contains(row)) << cli.err.toStdString();
    }
    EXPECT_TRUE(cli.err.contains("[8] "));
}

TEST_F(CliParallel, eachBoardFailsOnItsOwnAndTheWorstSetsTheStatus) {
    const QByteArray data = randomData(1024, 11);
    SimProcess &good = startSim();
    SimProcess &silent = startSim({QStringLiteral("--stop-ack-after"), QStringLiteral("3")});
    Cli cli({QStringLiteral("--device"), good.slavePath(), QStringLiteral("--device"),
             silent.slavePath(), QStringLiteral("--device"), path(QStringLiteral("ttyUSB9")),
             QStringLiteral("--file"), writeFile(SRecordWriter::file(data, 0)),
             QStringLiteral("--speed"), Auto, QStringLiteral("--json")});
    EXPECT_EQ(cli.finish(), 5) << cli.err.toStdString();
    const QJsonArray results = cli.json();
    ASSERT_EQ(results.size(), 3);
    EXPECT_EQ(results.at(0).toObject().value(QStringLiteral("exit_code")).toInt(-1), 0);
    EXPECT_EQ(results.at(1).toObject().value(QStringLiteral("exit_code")).toInt(-1), 4);
    EXPECT_EQ(results.at(2).toObject().value(QStringLiteral("exit_code")).toInt(-1), 5);
    EXPECT_TRUE(results.at(2)
                    .toObject()
                    .value(QStringLiteral("error"))
                    .toString()
                    .contains(QStringLiteral("ttyUSB9")));
    expectProgrammed(good, data);
}
