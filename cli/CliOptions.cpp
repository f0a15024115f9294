#include "cli/CliOptions.h"

#include "serial/PortResolver.h"
#include "session/Pacing.h"
#include "session/RunHistory.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QRegularExpression>
#include <map>
#include <variant>

namespace {

using Group = CliOption::Group;
using Takes = CliOption::Takes;

constexpr CliOption Options[] = {
    {Group::Boards, "port", nullptr, Takes::Value, "N", true,
     "port number 1 to 32767, as typed in the window: the [Ports] entry\n"
     "COM<N> of ~/.config/Tarnix/Settings.ini, else /dev/ttyS<N-1>"},
    {Group::Boards, "device", nullptr, Takes::Value, "PATH", true,
     "a serial device, e.g. /dev/ttyUSB0 or a /dev/serial/by-id link"},
    {Group::Run, "file", nullptr, Takes::Value, "F", false,
     "the firmware file to load (required): Motorola S-records, sent as\n"
     "they are, or Intel HEX, ELF or a raw binary, sent as S-records made\n"
     "from it"},
    {Group::Run, "binary-base", nullptr, Takes::Value, "ADDRESS", false,
     "where the first byte of a raw binary goes, e.g. 0x08000000 (a raw\n"
     "binary holds no addresses; without it one is refused)"},
    {Group::Run, "record-bytes", nullptr, Takes::Value, "N", false,
     "data bytes per S-record made from Intel HEX, ELF or a binary, 1 to\n"
     "64 (default 16)"},
    {Group::Run, "speed", nullptr, Takes::Value, "S", false,
     "pause per line: 20, 40, 60, 80, 100 (ms) or auto (default 60)"},
    {Group::Run, "boot-timeout", nullptr, Takes::Value, "SECONDS", false,
     "time the board has to restart into its bootloader (default 60)"},
    {Group::Run, "wait", nullptr, Takes::Nothing, nullptr, false,
     "a device that is not there yet is waited for (up to --boot-timeout)\n"
     "instead of failing at once: plug the board in after starting"},
    {Group::Run, "reset", nullptr, Takes::Value, "dtr|rts", false,
     "drop that modem line for 100 ms at the start instead of asking for a\n"
     "power cycle"},
    {Group::Run, "log", nullptr, Takes::Value, "FILE", false,
     "append every byte the board sends to FILE (FILE.1, FILE.2... for\n"
     "several boards)"},
    {Group::Run, "json", nullptr, Takes::Nothing, nullptr, false,
     "print a JSON array with one result object per board on stdout\n"
     "(with --repeat: one object per line for each board run)"},
    {Group::Run, "wide", nullptr, Takes::Nothing, nullptr, false,
     "the full result table on a terminal too: every fact of a board run\n"
     "on one line, as a file or a pipe gets it"},
    {Group::Run, "repeat", nullptr, Takes::Nothing, nullptr, false,
     "station mode: after each run show the tally and wait; Enter programs\n"
     "the next board on the same port(s) with the file read afresh, q or\n"
     "Ctrl-C ends. The board just programmed is not probed before Enter."},
    {Group::Run, "on-plug", nullptr, Takes::Nothing, nullptr, false,
     "with --repeat: the next board's run starts when its port comes back\n"
     "after being away for 1.5 s or more (unplug the board programmed,\n"
     "plug the next); Enter still works. Implies --wait."},
    {Group::Run, "history-file", nullptr, Takes::Value, "PATH", false,
     "the run history to append to (and --history to read) instead of\n"
     "$XDG_STATE_HOME/tarnix-pellora/history.jsonl"},
    {Group::Run, "no-history", nullptr, Takes::Nothing, nullptr, false, "write no run history"},
    {Group::Run, "no-journal", nullptr, Takes::Nothing, nullptr, false,
     "send no entry to the system journal (also Journal=false in the\n"
     "settings file's [History] group)"},
    {Group::Run, "final-wait", nullptr, Takes::Value, "SECONDS", false,
     "how long the device has to say P after the last line, for a\n"
     "bootloader that writes its flash then (default 30, or FinalWait= in\n"
     "the settings file's [General] group)"},
    {Group::Boot, "expect", nullptr, Takes::Value, "REGEX", false,
     "after P, read on until a line of the board's application matches\n"
     "REGEX: then the board is programmed and booted; its named groups,\n"
     "(?<version>...), go in the result. A line matches when it ends, or\n"
     "when the board pauses 200 ms in the middle of it."},
    {Group::Boot, "reject", nullptr, Takes::Value, "REGEX", false,
     "with --expect: a line that matches REGEX (HardFault|panic) ends the run\n"
     "as programmed, but the application reported a fault (exit status 7)"},
    {Group::Boot, "expect-within", nullptr, Takes::Value, "SECONDS", false,
     "with --expect: how long after P the application has to say it\n"
     "(default 15); silence ends the run with exit status 7"},
    {Group::Boot, "strict", nullptr, Takes::Nothing, nullptr, false,
     "a board programmed with a warning (it said P while it still owed\n"
     "answers: it may have restarted) ends with exit status 7"},
    {Group::Serial, "serial", nullptr, Takes::Value, "ADDRESS:FORMAT:WIDTH", false,
     "write each board's own number at ADDRESS, e.g. 0x0800FFF0:le:4:\n"
     "le or be: an integer of WIDTH bytes (1 to 8); ascii: WIDTH decimal\n"
     "digits; hex: WIDTH upper-case hex digits; bcd: WIDTH bytes of packed\n"
     "decimal; bytes: a --serial-list value of exactly WIDTH bytes"},
    {Group::Serial, "serial-counter", nullptr, Takes::Value, "FILE", false,
     "take the numbers from the counter FILE, which every run on this host\n"
     "shares; made when missing. A board not programmed gives its number\n"
     "back to the next board."},
    {Group::Serial, "serial-start", nullptr, Takes::Value, "N", false,
     "the first number of a counter made afresh (default 1)"},
    {Group::Serial, "serial-step", nullptr, Takes::Value, "N", false,
     "what a counter made afresh adds each time (default 1)"},
    {Group::Serial, "serial-list", nullptr, Takes::Value, "FILE", false,
     "take the values of FILE in order, one a line: a decimal number, or\n"
     "hex bytes (70:B3:D5:00:12:34) for the bytes format; the values given\n"
     "out are recorded in FILE.used and never given again"},
    {Group::Other, "check", nullptr, Takes::Value, "F", false,
     "read F as a run would and show what would be sent: its format,\n"
     "lines, record types, address ranges, data bytes, start address,\n"
     "SHA-256 and every line that would be refused; no port is opened\n"
     "(with --binary-base and --record-bytes as a run takes them; with\n"
     "--serial, the next number and the lines it changes, none reserved)"},
    {Group::Other, "list-ports", nullptr, Takes::Nothing, nullptr, false,
     "show the serial devices present and the [Ports] map"},
    {Group::Other, "history", nullptr, Takes::OptionalCount, "[N]", false,
     "show the last N runs of the run history (default 20), of both programs"},
    {Group::Other, "help", "h", Takes::Nothing, nullptr, false, "show this text"},
    {Group::Other, "version", nullptr, Takes::Nothing, nullptr, false, "show the version"},
};

constexpr int MaxBootTimeoutSeconds = 3600;
constexpr int MaxHistoryCount = 1'000'000;

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

QCommandLineOption parserOption(const CliOption &option) {
    QStringList names{QString::fromLatin1(option.name)};
    if (option.shortName)
        names.prepend(QString::fromLatin1(option.shortName));
    if (option.takes != Takes::Value)
        return QCommandLineOption(names);
    return QCommandLineOption(names, QString(), QString::fromLatin1(option.valueName));
}

// "--boot-timeout SECONDS", "-h, --help", "--history [N]"
QString synopsis(const CliOption &option) {
    QString text = QStringLiteral("--") + QString::fromLatin1(option.name);
    if (option.shortName)
        text.prepend(QStringLiteral("-%1, ").arg(QString::fromLatin1(option.shortName)));
    if (option.valueName)
        text += QLatin1Char(' ') + QString::fromLatin1(option.valueName);
    return text;
}

// The boards in the order given, --port and --device mixed; an error text, or empty.
QString takeBoards(const QCommandLineParser &parser, CliOptions &options) {
    const QStringList ports = parser.values(QStringLiteral("port"));
    const QStringList devices = parser.values(QStringLiteral("device"));
    qsizetype nextPort = 0;
    qsizetype nextDevice = 0;
    for (const QString &name : parser.optionNames()) {
        BoardTarget target;
        if (name == QStringLiteral("port")) {
            const QString text = ports.value(nextPort++);
            const auto number = numberIn(text, MinPortNumber, MaxPortNumber);
            if (!number)
                return QStringLiteral("--port expects a port number from %1 to %2, not \"%3\"")
                    .arg(MinPortNumber)
                    .arg(MaxPortNumber)
                    .arg(text);
            target.portNumber = *number;
            // A number that leads nowhere fails when its port is opened, with the reason.
            const ResolvedPort resolved = resolvePortDevice(*number);
            target.device = resolved.ok() ? resolved.device : QStringLiteral("COM%1").arg(*number);
        } else if (name == QStringLiteral("device")) {
            target.device = devices.value(nextDevice++);
            if (target.device.isEmpty())
                return QStringLiteral("--device expects a device path");
        } else {
            continue;
        }
        for (const BoardTarget &earlier : options.boards)
            if (identity(earlier.device) == identity(target.device))
                return QStringLiteral("%1 is given twice: one board per port").arg(target.device);
        options.boards.append(target);
    }
    if (options.boards.isEmpty())
        return QStringLiteral("no board: give --port N or --device PATH");
    return {};
}

// "0x08000000" or "134217728": an address an S-record can hold.
std::optional<quint64> addressIn(const QString &text) {
    static const QRegularExpression Hex(QStringLiteral("^0[xX]([0-9A-Fa-f]{1,8})$"));
    static const QRegularExpression Decimal(QStringLiteral("^[0-9]{1,10}$"));
    bool ok = false;
    quint64 value = 0;
    if (const QRegularExpressionMatch hex = Hex.match(text); hex.hasMatch())
        value = hex.captured(1).toULongLong(&ok, 16);
    else if (Decimal.match(text).hasMatch())
        value = text.toULongLong(&ok, 10);
    if (!ok || value > firmware::MaxAddress)
        return std::nullopt;
    return value;
}

// How a file that is not S-records becomes S-records, for a run and for --check alike; an error
// text, or empty.
QString takeConversion(const QCommandLineParser &parser, CliOptions &options) {
    if (parser.isSet(QStringLiteral("binary-base"))) {
        const QString text = parser.value(QStringLiteral("binary-base"));
        const auto address = addressIn(text);
        if (!address)
            return QStringLiteral("--binary-base expects an address from 0 to 0xFFFFFFFF, in hex "
                                  "with 0x (0x08000000) or in decimal, not \"%1\"")
                .arg(text);
        options.conversion.binaryBase = *address;
    }
    if (parser.isSet(QStringLiteral("record-bytes"))) {
        const QString text = parser.value(QStringLiteral("record-bytes"));
        const auto bytes =
            numberIn(text, firmware::Encoding::MinRecordBytes, firmware::Encoding::MaxRecordBytes);
        if (!bytes)
            return QStringLiteral("--record-bytes expects a number of data bytes from %1 to %2, "
                                  "not \"%3\"")
                .arg(firmware::Encoding::MinRecordBytes)
                .arg(firmware::Encoding::MaxRecordBytes)
                .arg(text);
        options.conversion.recordBytes = *bytes;
    }
    return {};
}

// Each board's own number: where it goes and where it comes from; an error text, or empty.
QString takeSerial(const QCommandLineParser &parser, CliOptions &options) {
    const auto isSet = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    const bool counter = isSet("serial-counter");
    const bool list = isSet("serial-list");
    if (!isSet("serial")) {
        for (const char *name : {"serial-counter", "serial-list", "serial-start", "serial-step"})
            if (isSet(name))
                return QStringLiteral("--%1 needs --serial ADDRESS:FORMAT:WIDTH")
                    .arg(QString::fromLatin1(name));
        return {};
    }
    auto layout = firmware::SerialLayout::parse(parser.value(QStringLiteral("serial")));
    if (const QString *error = std::get_if<QString>(&layout))
        return *error;
    options.serial = std::get<firmware::SerialLayout>(layout);
    if (counter == list)
        return QStringLiteral("--serial takes its numbers from --serial-counter FILE or from "
                              "--serial-list FILE: give one of them");
    if (list && (isSet("serial-start") || isSet("serial-step")))
        return QStringLiteral("--serial-start and --serial-step are for --serial-counter");
    if (counter && options.serial->form == firmware::SerialLayout::Form::Bytes)
        return QStringLiteral("the bytes format takes its values from --serial-list");
    options.serialCounter = parser.value(QStringLiteral("serial-counter"));
    options.serialList = parser.value(QStringLiteral("serial-list"));
    if ((counter && options.serialCounter.isEmpty()) || (list && options.serialList.isEmpty()))
        return QStringLiteral("--%1 expects a file name")
            .arg(counter ? "serial-counter" : "serial-list");
    for (const auto &[name, value] : {std::pair{"serial-start", &options.serialStart},
                                      std::pair{"serial-step", &options.serialStep}}) {
        if (!isSet(name))
            continue;
        static const QRegularExpression Digits(QStringLiteral("^[0-9]{1,20}$"));
        const QString text = parser.value(QString::fromLatin1(name));
        bool ok = false;
        if (Digits.match(text).hasMatch())
            *value = text.toULongLong(&ok);
        const quint64 lowest = QLatin1String(name) == QLatin1String("serial-step") ? 1 : 0;
        if (!ok || *value < lowest)
            return QStringLiteral("--%1 expects a whole number from %2, not \"%3\"")
                .arg(QString::fromLatin1(name))
                .arg(lowest)
                .arg(text);
    }
    return {};
}

// A regular expression of the command line, or the usage error that shows where it breaks.
std::variant<QRegularExpression, QString> expression(const QCommandLineParser &parser,
                                                     const char *name) {
    const QString text = parser.value(QString::fromLatin1(name));
    const QRegularExpression expression(text);
    if (text.isEmpty())
        return QStringLiteral("--%1 expects a regular expression").arg(QString::fromLatin1(name));
    if (!expression.isValid()) {
        const qsizetype at = expression.patternErrorOffset();
        return QStringLiteral("--%1: %2 at character %3:\n  %4\n  %5^")
            .arg(QString::fromLatin1(name), expression.errorString())
            .arg(at + 1)
            .arg(text, QString(at, QLatin1Char(' ')));
    }
    return expression;
}

// What the application must say after "P", and how long the device has to say "P"; an error
// text, or empty.
QString takeBootCheck(const QCommandLineParser &parser, CliOptions &options) {
    const auto isSet = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    options.strict = isSet("strict");
    if (isSet("final-wait")) {
        const QString text = parser.value(QStringLiteral("final-wait"));
        const auto seconds = numberIn(text, 1, MaxBootTimeoutSeconds);
        if (!seconds)
            return QStringLiteral("--final-wait expects seconds from 1 to %1, not \"%2\"")
                .arg(MaxBootTimeoutSeconds)
                .arg(text);
        options.finalWaitSeconds = *seconds;
    }
    if (!isSet("expect")) {
        for (const char *name : {"reject", "expect-within"})
            if (isSet(name))
                return QStringLiteral("--%1 works with --expect REGEX")
                    .arg(QString::fromLatin1(name));
        return {};
    }
    BootExpectation boot;
    auto expect = expression(parser, "expect");
    if (const QString *error = std::get_if<QString>(&expect))
        return *error;
    boot.expect = std::get<QRegularExpression>(expect);
    if (isSet("reject")) {
        auto reject = expression(parser, "reject");
        if (const QString *error = std::get_if<QString>(&reject))
            return *error;
        boot.reject = std::get<QRegularExpression>(reject);
    }
    if (isSet("expect-within")) {
        const QString text = parser.value(QStringLiteral("expect-within"));
        const auto seconds = numberIn(text, 1, MaxBootTimeoutSeconds);
        if (!seconds)
            return QStringLiteral("--expect-within expects seconds from 1 to %1, not \"%2\"")
                .arg(MaxBootTimeoutSeconds)
                .arg(text);
        boot.withinSeconds = *seconds;
    }
    options.boot = boot;
    return {};
}

// The file and how to run it; an error text, or empty.
QString takeRunSettings(const QCommandLineParser &parser, CliOptions &options) {
    options.file = parser.value(QStringLiteral("file"));
    if (options.file.isEmpty())
        return QStringLiteral("no firmware file: give --file F");
    if (parser.isSet(QStringLiteral("speed"))) {
        const QString speed = parser.value(QStringLiteral("speed"));
        const auto found = SpeedIndexes.find(speed.toLower());
        if (found == SpeedIndexes.end())
            return QStringLiteral("--speed expects 20, 40, 60, 80, 100 or auto, not \"%1\"")
                .arg(speed);
        options.speedIndex = found->second;
    }
    if (parser.isSet(QStringLiteral("boot-timeout"))) {
        const QString timeout = parser.value(QStringLiteral("boot-timeout"));
        const auto seconds = numberIn(timeout, 1, MaxBootTimeoutSeconds);
        if (!seconds)
            return QStringLiteral("--boot-timeout expects seconds from 1 to %1, not \"%2\"")
                .arg(MaxBootTimeoutSeconds)
                .arg(timeout);
        options.bootTimeoutSeconds = *seconds;
    }
    if (parser.isSet(QStringLiteral("reset"))) {
        const QString reset = parser.value(QStringLiteral("reset"));
        if (reset.toLower() == QStringLiteral("dtr"))
            options.reset = ResetLine::Dtr;
        else if (reset.toLower() == QStringLiteral("rts"))
            options.reset = ResetLine::Rts;
        else
            return QStringLiteral("--reset expects dtr or rts, not \"%1\"").arg(reset);
    }
    options.logPath = parser.value(QStringLiteral("log"));
    if (parser.isSet(QStringLiteral("log")) && options.logPath.isEmpty())
        return QStringLiteral("--log expects a file name");
    options.json = parser.isSet(QStringLiteral("json"));
    options.wide = parser.isSet(QStringLiteral("wide"));
    options.repeat = parser.isSet(QStringLiteral("repeat"));
    options.onPlug = parser.isSet(QStringLiteral("on-plug"));
    if (options.onPlug && !options.repeat)
        return QStringLiteral("--on-plug works with --repeat");
    options.waitForDevice = parser.isSet(QStringLiteral("wait")) || options.onPlug;
    if (parser.isSet(QStringLiteral("no-history")))
        options.historyPath.clear();
    options.noJournal = parser.isSet(QStringLiteral("no-journal"));
    return {};
}

} // namespace

std::span<const CliOption> cliOptions() {
    return Options;
}

ParsedArguments parseArguments(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const CliOption &option : Options)
        parser.addOption(parserOption(option));
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    // A second value of an option that takes one would silently win over the first.
    for (const CliOption &option : Options) {
        const QStringList given = parser.values(QString::fromLatin1(option.name));
        if (option.takes == Takes::Value && !option.repeatable && given.size() > 1)
            return usageError(QStringLiteral("--%1 is given %2 times (\"%3\"): give it once")
                                  .arg(QString::fromLatin1(option.name))
                                  .arg(given.size())
                                  .arg(given.join(QStringLiteral("\", \""))));
    }
    const auto isSet = [&](const char *name) { return parser.isSet(QString::fromLatin1(name)); };
    CliOptions options;
    options.historyPath = RunHistory::defaultPath();
    if (isSet("history-file")) {
        options.historyPath = parser.value(QStringLiteral("history-file"));
        if (options.historyPath.isEmpty())
            return usageError(QStringLiteral("--history-file expects a file name"));
    }
    // --history takes an optional count, which the parser sees as a positional argument.
    QStringList positional = parser.positionalArguments();
    if (isSet("history") && !isSet("help") && !isSet("version")) {
        options.action = CliOptions::Action::History;
        if (!positional.isEmpty()) {
            const auto count = numberIn(positional.takeFirst(), 1, MaxHistoryCount);
            if (!count)
                return usageError(QStringLiteral("--history expects a number of runs from 1 to %1")
                                      .arg(MaxHistoryCount));
            options.historyCount = *count;
        }
    }
    if (!positional.isEmpty())
        return usageError(
            QStringLiteral("unexpected argument \"%1\"").arg(positional.constFirst()));
    if (options.action == CliOptions::Action::History)
        return {options, {}};

    if (isSet("help")) {
        options.action = CliOptions::Action::Help;
        return {options, {}};
    }
    if (isSet("version")) {
        options.action = CliOptions::Action::Version;
        return {options, {}};
    }
    if (QString error = takeConversion(parser, options); !error.isEmpty())
        return usageError(error);
    if (QString error = takeSerial(parser, options); !error.isEmpty())
        return usageError(error);
    if (isSet("check")) {
        options.action = CliOptions::Action::Check;
        options.checkFile = parser.value(QStringLiteral("check"));
        if (options.checkFile.isEmpty())
            return usageError(QStringLiteral("--check expects a file name"));
        return {options, {}};
    }
    if (isSet("list-ports")) {
        options.action = CliOptions::Action::ListPorts;
        return {options, {}};
    }
    if (QString error = takeBoards(parser, options); !error.isEmpty())
        return usageError(error);
    if (QString error = takeRunSettings(parser, options); !error.isEmpty())
        return usageError(error);
    if (QString error = takeBootCheck(parser, options); !error.isEmpty())
        return usageError(error);
    return {options, {}};
}

std::optional<NumberStore> numberStoreFor(const CliOptions &options) {
    if (!options.serial)
        return std::nullopt;
    if (!options.serialList.isEmpty())
        return NumberStore::list(options.serialList,
                                 options.serial->form == firmware::SerialLayout::Form::Bytes);
    return NumberStore::counter(options.serialCounter, options.serialStart, options.serialStep);
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
    // The options' texts start in this column, their continuation lines too.
    constexpr qsizetype HelpColumn = 25;
    const std::pair<Group, const char *> headings[] = {
        {Group::Boards, "Boards (give one, or several to program them in parallel):"},
        {Group::Run, "Run:"},
        {Group::Boot, "Proof that the board boots (the application's greeting after P):"},
        {Group::Serial, "Serial numbers (each board its own, in the firmware it is sent):"},
        {Group::Other, "Other:"},
    };
    QString text = QStringLiteral(
        R"(Usage: tarnix-pellora-cli (--port N | --device PATH)... --file F [options]
       tarnix-pellora-cli --check F [--serial ADDRESS:FORMAT:WIDTH ...]
       tarnix-pellora-cli --list-ports
       tarnix-pellora-cli --history [N]

Loads firmware into boards through their serial bootloader, as the window does, from a terminal:
Motorola S-records as they are, Intel HEX, ELF and raw binaries as S-records made from them.
Switch each board off and on again when asked (or use --reset). The result goes to standard
output, everything else to standard error.
)");
    for (const auto &[group, heading] : headings) {
        text += QLatin1Char('\n') + QString::fromLatin1(heading) + QLatin1Char('\n');
        for (const CliOption &option : Options) {
            if (option.group != group)
                continue;
            const QString indent(HelpColumn, QLatin1Char(' '));
            text += (QStringLiteral("  ") + synopsis(option)).leftJustified(HelpColumn - 1) +
                    QLatin1Char(' ') +
                    QString::fromLatin1(option.help)
                        .replace(QLatin1Char('\n'), QLatin1Char('\n') + indent) +
                    QLatin1Char('\n');
        }
    }
    return text + QStringLiteral(
                      R"(
Exit status: 0 programmed, 2 usage error, 3 no boot prompt in time, 4 acknowledgement timeout,
5 port error, 6 file error (the firmware file, or the serial counter or list), 7 programmed but
not proven to boot (--expect, --strict), 130 interrupted.
Several boards (or --repeat runs): the highest of their codes.
--check: 0 when the file would be sent, 6 when it would be refused or cannot be read.
)");
}
