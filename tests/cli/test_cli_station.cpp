// The run history the command line keeps, and station mode (--repeat), against the device simulator
// on pseudo-terminals.
#include "CliProcess.h"
#include "SRecordWriter.h"
#include "SimProcess.h"
#include "settings/ModuleReg.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

class CliHistoryTest : public CliRig {
protected:
    void SetUp() override {
        if (sha256sum(QStringLiteral("/dev/null")).isEmpty())
            GTEST_SKIP() << "no sha256sum here";
        // Everything the expectations depend on: the state folder, and plain text output.
        environment = runEnvironment(QStringLiteral("dumb"));
        environment.insert(QStringLiteral("XDG_STATE_HOME"), path(QStringLiteral("state")));
        environment.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
        environment.insert(QStringLiteral("COLUMNS"), QStringLiteral("200"));
    }
    QString history() const { return path(QStringLiteral("state/tarnix-pellora/history.jsonl")); }

    QProcessEnvironment environment;
};

class CliHistory : public CliHistoryTest {};
class CliStation : public CliHistoryTest {};

} // namespace

TEST_F(CliHistory, everyEndOfARunWritesOneLineWithTheFileAsItWasRead) {
    const QByteArray data = randomData(2048, 21);
    const QByteArray srec = SRecordWriter::file(data, 0x4000);
    const qsizetype records = SRecordWriter::lines(data, 0x4000).size();
    const QString Auto = QStringLiteral("auto");
    const struct Case {
        const char *name;
        QStringList sim;
        QByteArray file;
        QStringList extra;
        const char *result;
        int exitCode;
        bool interrupt = false;
    } cases[] = {
        {"programmed", {}, srec, {QStringLiteral("--speed"), Auto}, "programmed", 0},
        {"ack timeout",
         {QStringLiteral("--stop-ack-after"), QStringLiteral("3")},
         srec,
         {QStringLiteral("--speed"), Auto},
         "ack-timeout",
         4},
        {"no boot prompt",
         {QStringLiteral("--never-boot")},
         srec,
         {QStringLiteral("--boot-timeout"), QStringLiteral("1")},
         "no-boot-prompt",
         3},
        {"port lost",
         {QStringLiteral("--hangup-after"), QStringLiteral("3")},
         srec,
         {QStringLiteral("--speed"), Auto},
         "port-error",
         5},
        {"ctrl-c",
         {},
         srec,
         {QStringLiteral("--speed"), QStringLiteral("100")},
         "cancelled",
         130,
         true},
    };
    int expectedLines = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SimProcess &sim = startSim(c.sim);
        const QString file =
            writeFile(c.file, QString::fromLatin1(c.name) + QStringLiteral(".srec"));
        Cli cli(QStringList{QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                            file} +
                    c.extra,
                {}, environment);
        if (c.interrupt) {
            ASSERT_TRUE(cli.waitForError("progress ", 10'000)) << cli.err.toStdString();
            cli.signal(SIGINT);
        }
        ASSERT_EQ(cli.finish(), c.exitCode) << cli.err.toStdString();

        const QList<QJsonObject> lines = historyLines(history());
        ASSERT_EQ(lines.size(), ++expectedLines);
        const QJsonObject line = lines.constLast();
        EXPECT_EQ(line.value(QStringLiteral("program")).toString(),
                  QStringLiteral("tarnix-pellora-cli"));
        EXPECT_EQ(line.value(QStringLiteral("version")).toString(),
                  QStringLiteral(PELLORA_VERSION));
        EXPECT_EQ(line.value(QStringLiteral("host")).toString(), QSysInfo::machineHostName());
        EXPECT_EQ(line.value(QStringLiteral("device")).toString(), sim.slavePath());
        EXPECT_TRUE(line.value(QStringLiteral("port")).isNull());
        EXPECT_EQ(line.value(QStringLiteral("file")).toString(), file);
        EXPECT_EQ(line.value(QStringLiteral("result")).toString(), QLatin1String(c.result));
        EXPECT_EQ(line.value(QStringLiteral("exit_code")).toInt(-1), c.exitCode);
        const QDateTime start = QDateTime::fromString(
            line.value(QStringLiteral("start")).toString(), Qt::ISODateWithMs);
        const QDateTime end =
            QDateTime::fromString(line.value(QStringLiteral("end")).toString(), Qt::ISODateWithMs);
        ASSERT_TRUE(start.isValid() && end.isValid())
            << line.value(QStringLiteral("start")).toString().toStdString();
        EXPECT_EQ(start.timeSpec(), Qt::UTC);
        EXPECT_LE(start, end);
        EXPECT_NEAR(line.value(QStringLiteral("seconds")).toDouble(),
                    static_cast<double>(start.msecsTo(end)) / 1000.0, 0.002);
        // The file as the run read it at its start, whether or not the device asked for it.
        EXPECT_EQ(line.value(QStringLiteral("sha256")).toString(), sha256sum(file));
        EXPECT_EQ(line.value(QStringLiteral("file_size")).toInteger(), c.file.size());
        if (QByteArrayView(c.name) == "programmed") {
            EXPECT_EQ(line.value(QStringLiteral("records")).toInteger(), records);
            EXPECT_EQ(line.value(QStringLiteral("lines_sent")).toInteger(), records);
            EXPECT_EQ(line.value(QStringLiteral("bytes_sent")).toInteger(), srec.size());
        }
    }

    // Runs that never started write nothing: no file, a refused file, no port.
    const qsizetype before = historyLines(history()).size();
    SimProcess &sim = startSim();
    Cli noFile({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                path(QStringLiteral("missing.srec"))},
               {}, environment);
    EXPECT_EQ(noFile.finish(), 6);
    QByteArray refused = srec;
    refused.insert(refused.indexOf('\n') + 1, "this is no record\n");
    Cli refusedFile({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                     writeFile(refused, QStringLiteral("refused.srec"))},
                    {}, environment);
    EXPECT_EQ(refusedFile.finish(), 6);
    EXPECT_TRUE(refusedFile.err.contains("File refused: line 2 is not a valid S-record"))
        << refusedFile.err.toStdString();
    EXPECT_FALSE(refusedFile.err.contains("Switch the board off")) << "before the power cycle";
    Cli noPort({QStringLiteral("--device"), path(QStringLiteral("ttyUSB7")),
                QStringLiteral("--file"), writeFile(srec)},
               {}, environment);
    EXPECT_EQ(noPort.finish(), 5);
    EXPECT_EQ(historyLines(history()).size(), before);
}

TEST_F(CliHistory, historyShowsTheLastRunsAndOtherFilesOrNoneCanBeChosen) {
    const QByteArray srec = SRecordWriter::file(randomData(256, 22), 0);
    SimProcess &sim = startSim();
    const QString other = path(QStringLiteral("other/runs.jsonl"));
    for (const QStringList &choice : {QStringList{QStringLiteral("--history-file"), other},
                                      QStringList{QStringLiteral("--no-history")}}) {
        Cli cli(QStringList{QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
                            writeFile(srec), QStringLiteral("--speed"), QStringLiteral("auto")} +
                    choice,
                {}, environment);
        ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();
    }
    EXPECT_EQ(historyLines(other).size(), 1);
    EXPECT_FALSE(QFileInfo::exists(history())) << "neither run wrote the default history";

    // Three runs in the file and one in the file before it: the last N, oldest first.
    ASSERT_TRUE(QFile::rename(other, other + QStringLiteral(".1")));
    QFile file(other);
    ASSERT_TRUE(file.open(QIODevice::Append));
    for (const char *result : {"no boot prompt", "port error", "cancelled"})
        file.write(
            QStringLiteral(R"({"start":"2030-01-02T03:04:05.000Z","program":"tarnix-pellora",)"
                           R"("device":"/dev/ttyS8","file":"/x/a.srec","result":"%1",)"
                           R"("exit_code":null,"lines_sent":7,"lines_total":515,"bytes_sent":9,)"
                           R"("seconds":1.25})"
                           "\n")
                .arg(QLatin1String(result))
                .toUtf8());
    file.write("not json\n");
    file.close();
    Cli shown(
        {QStringLiteral("--history"), QStringLiteral("2"), QStringLiteral("--history-file"), other},
        {}, environment);
    ASSERT_EQ(shown.finish(5000), 0) << shown.err.toStdString();
    const QStringList rows =
        QString::fromUtf8(shown.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 3) << shown.out.toStdString();
    EXPECT_TRUE(rows[0].startsWith(QStringLiteral("Start (UTC)")));
    EXPECT_TRUE(rows[1].contains(QStringLiteral("port error")));
    EXPECT_TRUE(
        rows[2].startsWith(QStringLiteral("2030-01-02 03:04:05  window   /dev/ttyS8  cancelled")))
        << rows[2].toStdString();
    // Lines as sent of the file's, and the file's path (not shortened: not a terminal).
    EXPECT_TRUE(rows[2].contains(QStringLiteral(" 7/515 "))) << rows[2].toStdString();
    EXPECT_TRUE(rows[2].endsWith(QStringLiteral("  /x/a.srec"))) << rows[2].toStdString();

    Cli all({QStringLiteral("--history-file"), other, QStringLiteral("--history")}, {},
            environment);
    ASSERT_EQ(all.finish(5000), 0);
    // The default count reaches into the file before: 1 + 3 runs and the header.
    EXPECT_EQ(all.out.count('\n'), 5) << all.out.toStdString();
    EXPECT_TRUE(all.out.contains("  cli  ")) << all.out.toStdString();
}

TEST_F(CliHistory, anUnwritableHistoryIsReportedOnceAndFailsNoRun) {
    // A folder that is a file: unwritable for root too.
    writeFile("", QStringLiteral("state"));
    const QByteArray srec = SRecordWriter::file(randomData(256, 23), 0);
    SimProcess &one = startSim();
    SimProcess &two = startSim();
    Cli cli({QStringLiteral("--device"), one.slavePath(), QStringLiteral("--device"),
             two.slavePath(), QStringLiteral("--file"), writeFile(srec), QStringLiteral("--speed"),
             QStringLiteral("auto")},
            {}, environment);
    ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();
    EXPECT_EQ(cli.err.count("the run history cannot be written"), 1) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains(path(QStringLiteral("state")).toLocal8Bit()));
}

TEST_F(CliStation, twoBoardsInARowWithOneConfirmationBetween) {
    SimProcess &sim = startSim();
    const QByteArray first = randomData(1024, 24);
    const QString file = writeFile(SRecordWriter::file(first, 0x1000));
    const QString firstSha = sha256sum(file);
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"), file,
             QStringLiteral("--speed"), QStringLiteral("auto"), QStringLiteral("--repeat"),
             QStringLiteral("--json")},
            {}, environment);
    ASSERT_TRUE(cli.waitForError("press Enter", 20'000)) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Tally: 1 programmed, 0 failed\n"));
    ASSERT_TRUE(sim.waitForRuns(1));
    EXPECT_EQ(sim.image(), first);
    EXPECT_EQ(cli.err.count("Bootprogram started"), 1);

    // A new build between the boards: the next run reads it afresh.
    const QByteArray second = randomData(1024, 25);
    writeFile(SRecordWriter::file(second, 0x1000));
    const QString secondSha = sha256sum(file);
    ASSERT_NE(firstSha, secondSha);
    cli.type("\n");
    ASSERT_TRUE(cli.waitForError("Tally: 2 programmed, 0 failed\n", 20'000))
        << cli.err.toStdString();
    ASSERT_TRUE(cli.waitForError("(q to quit)", 5000));
    cli.type("q\n");
    ASSERT_EQ(cli.finish(5000), 0) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Station closed: 2 programmed, 0 failed"));
    EXPECT_TRUE(cli.err.contains(
        ("The file has changed since the last board: SHA-256 " + secondSha).toLatin1()));
    // Two boards, no third run: nothing was probed after the last confirmation but the one board.
    ASSERT_TRUE(sim.waitForRuns(2));
    EXPECT_EQ(sim.image(), second);
    sim.stop();
    EXPECT_EQ(sim.summary().value_or(QJsonObject{}).value(QStringLiteral("runs")).toInt(), 2);
    EXPECT_EQ(cli.err.count("Bootprogram started"), 2);

    // One JSON object per board run, and one history line each with the file as it was read.
    const QList<QByteArray> json = cli.out.trimmed().split('\n');
    ASSERT_EQ(json.size(), 2) << cli.out.toStdString();
    const QList<QJsonObject> lines = historyLines(history());
    ASSERT_EQ(lines.size(), 2);
    const QString shas[] = {firstSha, secondSha};
    for (int i = 0; i < 2; ++i) {
        const QJsonObject run = QJsonDocument::fromJson(json[i]).object();
        EXPECT_EQ(run.value(QStringLiteral("run")).toInt(), i + 1);
        // The second board is board 2, in the JSON and in the table beside the tally.
        EXPECT_EQ(run.value(QStringLiteral("board")).toInt(), i + 1);
        EXPECT_TRUE(QString::fromLocal8Bit(cli.err).contains(
            QRegularExpression(QStringLiteral("\n%1 +%2 +programmed ")
                                   .arg(i + 1)
                                   .arg(QRegularExpression::escape(sim.slavePath())))))
            << cli.err.toStdString();
        EXPECT_EQ(run.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
        EXPECT_EQ(run.value(QStringLiteral("sha256")).toString(), shas[i]);
        EXPECT_EQ(lines[i].value(QStringLiteral("sha256")).toString(), shas[i]);
    }
}

TEST_F(CliStation, ctrlCAtThePromptEndsWithTheTallyAndTheWorstStatus) {
    SimProcess &sim = startSim({QStringLiteral("--never-boot")});
    Cli cli({QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"),
             writeFile(SRecordWriter::file(randomData(64, 26), 0)),
             QStringLiteral("--boot-timeout"), QStringLiteral("1"), QStringLiteral("--repeat")},
            {}, environment);
    ASSERT_TRUE(cli.waitForError("press Enter", 10'000)) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Tally: 0 programmed, 1 failed\n"));
    // A word that is neither Enter nor q confirms nothing.
    cli.type("next\n");
    ASSERT_TRUE(cli.waitForError("Enter programs the next board, q quits.", 5000));
    cli.signal(SIGINT);
    EXPECT_EQ(cli.finish(5000), 3) << cli.err.toStdString();
    EXPECT_TRUE(cli.err.contains("Station closed: 0 programmed, 1 failed"));
    EXPECT_EQ(cli.err.count("Restart to bootprogram failled!"), 1);
}

TEST_F(CliStation, closedStandardDescriptorsProgramABoardAndRepeatWithoutInputEndsAfterIt) {
    // As a service manager or "prog 0<&- 1>&- 2>&-" starts it: no input, nowhere to write.
    for (const bool repeat : {false, true}) {
        SCOPED_TRACE(repeat ? "--repeat" : "one board");
        SimProcess &sim = startSim();
        const QByteArray data = randomData(512, repeat ? 28 : 27);
        QStringList arguments = {QStringLiteral("-c"),
                                 QStringLiteral("exec \"$0\" \"$@\" 0<&- 1>&- 2>&-"),
                                 QStringLiteral(PELLORA_CLI_PATH),
                                 QStringLiteral("--device"),
                                 sim.slavePath(),
                                 QStringLiteral("--file"),
                                 writeFile(SRecordWriter::file(data, 0)),
                                 QStringLiteral("--speed"),
                                 QStringLiteral("auto")};
        if (repeat)
            arguments << QStringLiteral("--repeat");
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(QStringLiteral("/bin/sh"), arguments);
        ASSERT_TRUE(waitForEnd(process, 30'000)) << "it ends by itself";
        EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(process.exitCode(), 0);
        ASSERT_TRUE(sim.waitForRuns(1, 5000));
        EXPECT_EQ(sim.image(), data);
        sim.stop();
        EXPECT_EQ(sim.summary().value_or(QJsonObject{}).value(QStringLiteral("runs")).toInt(), 1);
    }
    const QList<QJsonObject> lines = historyLines(history());
    ASSERT_EQ(lines.size(), 2);
    for (const QJsonObject &line : lines)
        EXPECT_EQ(line.value(QStringLiteral("result")).toString(), QStringLiteral("programmed"));
}
