// The end of a run as the command line reports it: every fact of a board run in its table row and
// its JSON object, and the run history as a table that fits the terminal.
#include "cli/Report.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <gtest/gtest.h>

namespace {

BoardResult failedBoard() {
    BoardResult r;
    r.board = 0;
    r.number = 7; // the seventh board of a station
    r.portNumber = 3;
    r.device = QStringLiteral("/dev/ttyUSB0");
    r.file = QStringLiteral("/builds/app.hex");
    r.format = QStringLiteral("intel-hex");
    r.sha256 = QString(64, QLatin1Char('a'));
    r.sentSha256 = QString(64, QLatin1Char('b'));
    r.exitCode = 4;
    r.error = QStringLiteral("The device answered 99 of 770 lines (100 sent), then fell silent");
    r.lines = 100;
    r.linesTotal = 770;
    r.bytes = 4321;
    r.started =
        QDateTime::fromString(QStringLiteral("2030-01-02T03:04:05.250Z"), Qt::ISODateWithMs);
    r.ended = r.started.addMSecs(12'345);
    r.seconds = 12.345;
    r.serial = QStringLiteral("1003");
    r.serialAddress = QStringLiteral("0x0800FFF0");
    r.adapter =
        AdapterIdentity{QStringLiteral("0403"), QStringLiteral("6001"), QStringLiteral("A1B2C3"),
                        QStringLiteral("/dev/serial/by-path/usb-0:2:1.0")};
    return r;
}

} // namespace

TEST(ResultReport, aRowAndAnObjectCarryEveryFactOfABoardRun) {
    const BoardResult board = failedBoard();
    const QStringList table = resultTable({board}).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(table.size(), 2);
    const QStringList header = table[0].split(QLatin1Char(' '), Qt::SkipEmptyParts);
    EXPECT_EQ(header, QStringList({"Board",   "Device",  "Result",       "Boot",   "Exit",
                                   "Lines",   "Bytes",   "Seconds",      "Start",  "End",
                                   "Format",  "SHA-256", "Sent-SHA-256", "Serial", "Serial-Address",
                                   "Adapter", "Socket",  "Version",      "File",   "Note"}));
    const QStringList row = table[1].split(QLatin1Char(' '), Qt::SkipEmptyParts);
    ASSERT_GE(row.size(), 20) << table[1].toStdString();
    EXPECT_EQ(row.mid(0, 19),
              QStringList({"7", "/dev/ttyUSB0", "ack-timeout", "-", "4", "100/770", "4321", "12.3",
                           "2030-01-02T03:04:05.250Z", "2030-01-02T03:04:17.595Z", "intel-hex",
                           board.sha256, board.sentSha256, "1003", "0x0800FFF0", "0403:6001:A1B2C3",
                           "/dev/serial/by-path/usb-0:2:1.0", QStringLiteral(PELLORA_VERSION),
                           "/builds/app.hex"}));
    EXPECT_TRUE(table[1].endsWith(board.error));

    const QJsonObject o = resultObject(board);
    const QJsonObject expected{
        {"board", 7},
        {"device", "/dev/ttyUSB0"},
        {"port", 3},
        {"file", "/builds/app.hex"},
        {"format", "intel-hex"},
        {"sha256", board.sha256},
        {"sent_sha256", board.sentSha256},
        {"lines", 100},
        {"lines_total", 770},
        {"bytes", 4321},
        {"start", "2030-01-02T03:04:05.250Z"},
        {"end", "2030-01-02T03:04:17.595Z"},
        {"seconds", 12.345},
        {"result", "ack-timeout"},
        {"exit_code", 4},
        {"error", board.error},
        {"version", PELLORA_VERSION},
        {"serial", "1003"},
        {"serial_address", "0x0800FFF0"},
        {"boot", QJsonValue()},
        {"warnings", QJsonArray()},
        {"adapter", QJsonObject{{"vendor_id", "0403"},
                                {"product_id", "6001"},
                                {"serial", "A1B2C3"},
                                {"by_path", "/dev/serial/by-path/usb-0:2:1.0"}}},
    };
    EXPECT_EQ(o, expected);

    // A board that never read its file nor ran: what it did not learn is null, or "-" in the row.
    BoardResult unread;
    unread.number = 1;
    unread.device = QStringLiteral("/dev/ttyUSB9");
    unread.exitCode = 5;
    unread.error = QStringLiteral("/dev/ttyUSB9: No such file or directory");
    const QJsonObject none = resultObject(unread);
    for (const char *key : {"port", "file", "format", "sha256", "sent_sha256", "start", "end"})
        EXPECT_TRUE(none.value(QLatin1String(key)).isNull()) << key;
    EXPECT_EQ(none.value(QStringLiteral("result")).toString(), QStringLiteral("port-error"));
    const QString unreadRow = resultTable({unread}).section(QLatin1Char('\n'), 1, 1);
    EXPECT_EQ(unreadRow.count(QStringLiteral(" - ")), 11) << unreadRow.toStdString();
    // A programmed board's note is null.
    BoardResult programmed = failedBoard();
    programmed.exitCode = 0;
    programmed.error.clear();
    EXPECT_TRUE(resultObject(programmed).value(QStringLiteral("error")).isNull());
}

TEST(ResultReport, onATerminalTheTableFitsItsWidthWithEachNoteBelowItsRow) {
    BoardResult programmed = failedBoard();
    programmed.number = 1;
    programmed.exitCode = 0;
    programmed.error.clear();
    programmed.serial.clear();
    programmed.lines = programmed.linesTotal = 770;
    BoardResult failed = failedBoard();
    failed.device =
        QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    failed.error = QStringLiteral("The device answered 99 of 770 lines (100 sent), then fell "
                                  "silent: switch it off and on again, then program it once more.");
    BoardResult unread;
    unread.number = 2;
    unread.device = QStringLiteral("/dev/ttyUSB9");
    unread.exitCode = 5;
    unread.error = QStringLiteral("/dev/ttyUSB9: No such file or directory");
    BoardResult booted = programmed;
    booted.serial = QStringLiteral("1003");
    booted.serialAddress = QStringLiteral("0x0800FFF0");
    booted.serialCommitted = true;
    booted.boot.emplace();
    booted.boot->verdict = BootCheck::Verdict::Booted;
    booted.boot->line = QStringLiteral("App 2.1 ready");
    BoardResult silent = booted;
    silent.exitCode = 7;
    silent.serial = QStringLiteral("1004");
    silent.boot->verdict = BootCheck::Verdict::Silent;
    silent.boot->line.clear();
    silent.boot->withinSeconds = 15;
    silent.error = silent.boot->note();
    const struct Case {
        const char *name;
        QList<BoardResult> boards;
        int terminalWidth;
        QString expected;
    } cases[] = {
        {"one board",
         {programmed},
         80,
         "Board  Device        Result        Lines  Seconds  SHA-256\n"
         "1      /dev/ttyUSB0  programmed  770/770     12.3  aaaaaaaaaaaa\n"},
        {"several boards, a long device shortened from the left, a note wrapped",
         {programmed, unread, failed},
         80,
         "Board  Device                        Result         Lines  Seconds  SHA-256\n"
         "1      /dev/ttyUSB0                  programmed   770/770     12.3  aaaaaaaaaaaa\n"
         "2      /dev/ttyUSB9                  port-error       0/0      0.0  -\n"
         "    /dev/ttyUSB9: No such file or directory\n"
         "7      ..._UART_A50285BI-if00-port0  ack-timeout  100/770     12.3  aaaaaaaaaaaa\n"
         "    The device answered 99 of 770 lines (100 sent), then fell silent: switch it\n"
         "    off and on again, then program it once more.\n"
         "    Serial 1003 at 0x0800FFF0, given back.\n"},
        {"with --expect: the boot check in the result, the serial and the greeting noted",
         {booted, silent},
         80,
         "Board  Device        Result        Lines  Seconds  SHA-256\n"
         "1      /dev/ttyUSB0  booted      770/770     12.3  aaaaaaaaaaaa\n"
         "    Serial 1003 at 0x0800FFF0.\n"
         "    The application said \"App 2.1 ready\".\n"
         "1      /dev/ttyUSB0  not-booted  770/770     12.3  aaaaaaaaaaaa\n"
         "    Programmed, but the application said nothing that matched within 15 s; it\n"
         "    said nothing at all\n"
         "    Serial 1004 at 0x0800FFF0.\n"},
        {"a wide terminal gets the same 80 columns", {programmed, unread, failed}, 200, {}},
        {"a narrower terminal its own width", {failed}, 70, {}},
        {"not a terminal: the full table", {programmed, failed}, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QString table = resultTableFor(c.boards, c.terminalWidth);
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(table.toStdString(), c.expected.toStdString());
        }
        if (c.terminalWidth == 0) {
            EXPECT_EQ(table, resultTable(c.boards));
            continue;
        }
        const int width = std::min(c.terminalWidth, 80);
        for (const QString &line : table.split(QLatin1Char('\n')))
            EXPECT_LE(line.size(), width) << line.toStdString();
        const QString lastNote = c.boards.constLast().error.left(20);
        EXPECT_TRUE(lastNote.isEmpty() || table.contains(QStringLiteral("\n    ") + lastNote))
            << "the note below its row";
    }
}

TEST(HistoryTable, linesAsSentOfTotalAndThePathShortenedFromTheLeftToFit) {
    const QString deep =
        QStringLiteral("/home/operator/projects/station-4/builds/2030-01-02/app.hex");
    const QList<QJsonObject> lines = {
        {{"start", "2030-01-02T03:04:05.000Z"},
         {"program", "tarnix-pellora-cli"},
         {"device", "/dev/ttyUSB0"},
         {"file", deep},
         {"sha256", QString(64, QLatin1Char('c'))},
         {"result", "programmed"},
         {"exit_code", 0},
         {"lines_sent", 770},
         {"lines_total", 770},
         {"bytes_sent", 33000},
         {"seconds", 4.5}},
        // A line from before the total was recorded.
        {{"program", "tarnix-pellora"}, {"file", "/x/a.srec"}, {"lines_sent", 7}},
    };
    const QStringList wide = historyTable(lines).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(wide.size(), 3);
    EXPECT_TRUE(wide[1].contains(QStringLiteral(" 770/770 "))) << wide[1].toStdString();
    EXPECT_TRUE(wide[1].endsWith(QStringLiteral("cccccccccccc  ") + deep)) << wide[1].toStdString();
    EXPECT_TRUE(wide[2].contains(QStringLiteral(" 7/- ")));

    // The columns before the path take 101 characters here.
    for (const int width : {140, 125}) {
        SCOPED_TRACE(width);
        const QStringList narrow =
            historyTable(lines, width).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &row : narrow)
            EXPECT_LE(row.size(), width) << row.toStdString();
        EXPECT_TRUE(narrow[1].contains(QStringLiteral("  ...")));
        EXPECT_TRUE(narrow[1].endsWith(QStringLiteral("/app.hex")));
        EXPECT_TRUE(narrow[2].endsWith(QStringLiteral("  /x/a.srec"))) << "a path that fits";
    }
    // However narrow, the end of the path stays readable.
    EXPECT_TRUE(historyTable(lines, 80).contains(QStringLiteral("  ...01-02/app.hex\n")));
}
