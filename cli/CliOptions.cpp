#include "cli/CliOptions.h"

#include "serial/PortResolver.h"
#include "session/Pacing.h"
#include "session/RunHistory.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <map>

namespace {

constexpr int MaxBootTimeoutSeconds = 3600;

// The window's speed list, by the number the operator reads in it.
const std::map<QString, int> SpeedIndexes = {
    {QStringLiteral("20"), 0},  {QStringLiteral("40"), 1},
    {QStringLiteral("60"), 2},  {QStringLiteral("80"), 3},
    {QStringLiteral("100"), 4}, {QStringLiteral("auto"), Pacing::AutoSpeedIndex},
};

// Decimal digits only: "+3", " 3" and "3 " are typing slips, not numbers to guess at.
std::optional<int> numberIn(const QString &text, int low, int high) {
    static const QRegularExpression Digits(QStringLiteral("^[0-9]{1,10}$"));
    if (!Digits.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < low || value > high)
        return std::nullopt;
    return value;
}

// Two names for one device (a link and its target) must count as one.
QString identity(const QString &device) {
    const QString canonical = QFileInfo(device).canonicalFilePath();
    return canonical.isEmpty() ? device : canonical;
}

ParsedArguments usageError(const QString &text) {
    return {std::nullopt, text};
}

} // namespace

ParsedArguments parseArguments(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption port(QStringLiteral("port"), QString(), QStringLiteral("N"));
    const QCommandLineOption device(QStringLiteral("device"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption file(QStringLiteral("file"), QString(), QStringLiteral("F"));
    const QCommandLineOption speed(QStringLiteral("speed"), QString(), QStringLiteral("S"));
    const QCommandLineOption bootTimeout(QStringLiteral("boot-timeout"), QString(),
                                         QStringLiteral("SECONDS"));
    const QCommandLineOption log(QStringLiteral("log"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"));
    const QCommandLineOption check(QStringLiteral("check"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption reset(QStringLiteral("reset"), QString(), QStringLiteral("LINE"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    const QCommandLineOption history(QStringLiteral("history"));
    const QCommandLineOption historyFile(QStringLiteral("history-file"), QString(),
                                         QStringLiteral("PATH"));
    const QCommandLineOption noHistory(QStringLiteral("no-history"));
    const QCommandLineOption repeat(QStringLiteral("repeat"));
    parser.addOptions({port, device, file, speed, bootTimeout, log, json, listPorts, check, reset,
                       help, version, history, historyFile, noHistory, repeat});

    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    // A second value of an option that takes one would silently win over the first.
    for (const QCommandLineOption *single :
         {&file, &speed, &bootTimeout, &log, &check, &reset, &historyFile}) {
        const QStringList given = parser.values(*single);
        if (given.size() > 1)
            return usageError(QStringLiteral("--%1 is given %2 times (\"%3\"): give it once")
                                  .arg(single->names().constFirst())
                                  .arg(given.size())
                                  .arg(given.join(QStringLiteral("\", \""))));
    }
    CliOptions options;
    if (parser.isSet(historyFile)) {
        options.historyPath = parser.value(historyFile);
        if (options.historyPath.isEmpty())
            return usageError(QStringLiteral("--history-file expects a file name"));
    } else {
        options.historyPath = RunHistory::defaultPath();
    }
    // --history takes an optional count, which the parser sees as a positional argument.
    QStringList positional = parser.positionalArguments();
    if (parser.isSet(history) && !parser.isSet(help) && !parser.isSet(version)) {
        options.action = CliOptions::Action::History;
        if (!positional.isEmpty()) {
            const auto count = numberIn(positional.takeFirst(), 1, 1'000'000);
            if (!count)
                return usageError(
                    QStringLiteral("--history expects a number of runs from 1 to 1000000"));
            options.historyCount = *count;
        }
        if (!positional.isEmpty())
            return usageError(
                QStringLiteral("unexpected argument \"%1\"").arg(positional.constFirst()));
        return {options, {}};
    }
    if (!positional.isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(positional.constFirst()));

    if (parser.isSet(help)) {
        options.action = CliOptions::Action::Help;
        return {options, {}};
    }
    if (parser.isSet(version)) {
        options.action = CliOptions::Action::Version;
        return {options, {}};
    }
    if (parser.isSet(check)) {
        options.action = CliOptions::Action::Check;
        options.checkFile = parser.value(check);
        if (options.checkFile.isEmpty())
            return usageError(QStringLiteral("--check expects a file name"));
        return {options, {}};
    }
    if (parser.isSet(listPorts)) {
        options.action = CliOptions::Action::ListPorts;
        return {options, {}};
    }

    // The boards in the order given, --port and --device mixed.
    const QStringList ports = parser.values(port);
    const QStringList devices = parser.values(device);
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    for (const QString &name : parser.optionNames()) {
        BoardTarget target;
        if (name == QStringLiteral("port")) {
            const QString text = ports.value(nextPort++);
            const auto number = numberIn(text, MinPortNumber, MaxPortNumber);
            if (!number)
                return usageError(
                    QStringLiteral("--port expects a port number from %1 to %2, not \"%3\"")
                        .arg(MinPortNumber)
                        .arg(MaxPortNumber)
                        .arg(text));
            target.portNumber = *number;
            // A number that leads nowhere fails when its port is opened, with the reason.
            const ResolvedPort resolved = resolvePortDevice(*number);
            target.device = resolved.ok() ? resolved.device : QStringLiteral("COM%1").arg(*number);
        } else if (name == QStringLiteral("device")) {
            target.device = devices.value(nextDevice++);
            if (target.device.isEmpty())
                return usageError(QStringLiteral("--device expects a device path"));
        } else {
            continue;
        }
        for (const BoardTarget &earlier : options.boards)
            if (identity(earlier.device) == identity(target.device))
                return usageError(
                    QStringLiteral("%1 is given twice: one board per port").arg(target.device));
        options.boards.append(target);
    }
    if (options.boards.isEmpty())
        return usageError(QStringLiteral("no board: give --port N or --device PATH"));

    options.file = parser.value(file);
    if (options.file.isEmpty())
        return usageError(QStringLiteral("no firmware file: give --file F"));

    if (parser.isSet(speed)) {
        const auto found = SpeedIndexes.find(parser.value(speed).toLower());
        if (found == SpeedIndexes.end())
            return usageError(
                QStringLiteral("--speed expects 20, 40, 60, 80, 100 or auto, not \"%1\"")
                    .arg(parser.value(speed)));
        options.speedIndex = found->second;
    }
    if (parser.isSet(bootTimeout)) {
        const auto seconds = numberIn(parser.value(bootTimeout), 1, MaxBootTimeoutSeconds);
        if (!seconds)
            return usageError(
                QStringLiteral("--boot-timeout expects seconds from 1 to %1, not \"%2\"")
                    .arg(MaxBootTimeoutSeconds)
                    .arg(parser.value(bootTimeout)));
        options.bootTimeoutSeconds = *seconds;
    }
    if (parser.isSet(reset)) {
        const QString line = parser.value(reset).toLower();
        if (line == QStringLiteral("dtr"))
            options.reset = ResetLine::Dtr;
        else if (line == QStringLiteral("rts"))
            options.reset = ResetLine::Rts;
        else
            return usageError(
                QStringLiteral("--reset expects dtr or rts, not \"%1\"").arg(parser.value(reset)));
    }
    options.logPath = parser.value(log);
    if (parser.isSet(log) && options.logPath.isEmpty())
        return usageError(QStringLiteral("--log expects a file name"));
    options.json = parser.isSet(json);
    options.repeat = parser.isSet(repeat);
    if (parser.isSet(noHistory))
        options.historyPath.clear();
    return {options, {}};
}

QString logPathFor(const QString &logPath, int board, int boards) {
    if (logPath.isEmpty() || boards <= 1)
        return logPath;
    return logPath + QLatin1Char('.') + QString::number(board + 1);
}

QString versionText() {
    return QStringLiteral("tarnix-pellora-cli %1\n").arg(QStringLiteral(PELLORA_VERSION));
}

QString usageText() {
    return QStringLiteral(
        R"(Usage: tarnix-pellora-cli (--port N | --device PATH)... --file F [options]
       tarnix-pellora-cli --check F
       tarnix-pellora-cli --list-ports
       tarnix-pellora-cli --history [N]

Loads a Motorola S-record file into boards through their serial bootloader, as the window does,
from a terminal. Switch each board off and on again when asked (or use --reset).

Boards (give one, or several to program them in parallel):
  --port N               port number 1 to 32767, as typed in the window: the [Ports] entry
                         COM<N> of ~/.config/Tarnix/Settings.ini, else /dev/ttyS<N-1>
  --device PATH          a serial device, e.g. /dev/ttyUSB0 or a /dev/serial/by-id link

Run:
  --file F               the S-record file to load (required)
  --speed S              pause per line: 20, 40, 60, 80, 100 (ms) or auto (default 60)
  --boot-timeout SECONDS time the board has to restart into its bootloader (default 60)
  --reset dtr|rts        drop that modem line for 100 ms at the start instead of asking for a
                         power cycle
  --log FILE             append every byte the board sends to FILE (FILE.1, FILE.2... for
                         several boards)
  --json                 print a JSON array with one result object per board on stdout
                         (with --repeat: one object per line for each board run)
  --repeat               station mode: after each run show the tally and wait; Enter programs
                         the next board on the same port(s) with the file read afresh, q or
                         Ctrl-C ends. The board just programmed is not probed before Enter.
  --history-file PATH    the run history to append to (and --history to read) instead of
                         $XDG_STATE_HOME/tarnix-pellora/history.jsonl
  --no-history           write no run history

Other:
  --check F              read F as a run would and show what would be sent: lines, record
                         types, address ranges, data bytes, start address, SHA-256 and every
                         line that would be refused; no port is opened
  --list-ports           show the serial devices present and the [Ports] map
  --history [N]          show the last N runs of the run history (default 20), of both programs
  -h, --help             show this text
  --version              show the version

Exit status: 0 programmed, 2 usage error, 3 no boot prompt in time, 4 acknowledgement timeout,
5 port error, 6 file error, 130 interrupted. Several boards (or --repeat runs): the highest of
their codes.
--check: 0 when the file would be sent, 6 when it would be refused or cannot be read.
)");
}
