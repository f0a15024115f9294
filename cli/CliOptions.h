#pragma once

#include "firmware/Conversion.h"
#include "firmware/SerialPatch.h"
#include "numbers/NumberStore.h"
#include "session/ProgrammingSession.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>
#include <span>

// One board to program: a port number typed as in the window, or a device path.
struct BoardTarget {
    int portNumber = 0; // 0 when the device was given by path
    QString device;     // the device path; for a port number, what the number resolves to
};

enum class ResetLine { None, Dtr, Rts };

struct CliOptions {
    enum class Action { Program, Help, Version, ListPorts, Check, History };
    Action action = Action::Program;
    QString checkFile;         // --check: the file to look at
    QList<BoardTarget> boards; // in the order given
    QString file;
    // How a file that is not S-records becomes S-records (--binary-base, --record-bytes).
    firmware::ConversionOptions conversion;
    int speedIndex = 2; // "60 - normal"
    int bootTimeoutSeconds = ProgrammingSession::DefaultBootTimeoutSeconds;
    QString logPath;
    bool json = false;
    // The full result table also when it goes to a terminal (--wide).
    bool wide = false;
    ResetLine reset = ResetLine::None;
    // The run history every run appends to (and --history reads); empty: none is written.
    QString historyPath;
    int historyCount = 20; // --history [N]
    // No entry in the system journal (--no-journal).
    bool noJournal = false;
    // Station mode: after each board the operator confirms the next one on the same ports.
    bool repeat = false;
    // A device not there yet is waited for within the boot timeout (--wait).
    bool waitForDevice = false;
    // Station mode: the next round starts when the boards' ports come back (--on-plug).
    bool onPlug = false;
    // Each board its own number (--serial), from a counter (--serial-counter) or a list
    // (--serial-list): exactly one of the two is set when `serial` is.
    std::optional<firmware::SerialLayout> serial;
    QString serialCounter;
    QString serialList;
    quint64 serialStart = 1; // of a counter made afresh
    quint64 serialStep = 1;
    // What the board's application must say after "P" (--expect, --reject, --expect-within).
    std::optional<BootExpectation> boot;
    // A run that ends programmed with a warning ends with exit status 7.
    bool strict = false;
    // How long the device has to say "P" after the last line (--final-wait; FinalWait= in the
    // settings file's [General] group); none: the session's own.
    std::optional<int> finalWaitSeconds;
};

// The options, or a usage error (exit status 2). `arguments` starts with the program name. A port
// number is resolved here, as the window resolves it, so that the same device given twice (by
// number and by path, or by a /dev/serial/by-id link) is caught before anything is opened.
struct ParsedArguments {
    std::optional<CliOptions> options;
    QString error;
};
ParsedArguments parseArguments(const QStringList &arguments);

// One option of the command line, as the parser takes it and --help shows it. The table of them,
// in --help's order, is the one list of the options: the manual page and the bash completion are
// held against it by the tests.
struct CliOption {
    enum class Group { Boards, Run, Boot, Serial, Other };
    enum class Takes {
        Nothing,
        Value,
        // --history [N]: a flag to the parser, the count an argument after it.
        OptionalCount,
    };
    Group group;
    const char *name;      // the long name, without "--"
    const char *shortName; // a one-letter name, or nullptr
    Takes takes;
    const char *valueName; // the value as --help shows it, for an option that takes one
    bool repeatable;       // may be given more than once (one board each)
    const char *help;      // --help's text; a line break starts a continuation line
};
std::span<const CliOption> cliOptions();

QString usageText();
QString versionText();

// Where the boards' own numbers come from (--serial-counter or --serial-list); none without
// --serial.
std::optional<NumberStore> numberStoreFor(const CliOptions &options);

// Where board `board` (from 0) of `boards` keeps the device's bytes: the path itself for one board,
// "<path>.<n>" (n from 1) for several.
QString logPathFor(const QString &logPath, int board, int boards);
