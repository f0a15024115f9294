#pragma once

#include "session/ProgrammingSession.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

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
    int speedIndex = 2; // "60 - normal"
    int bootTimeoutSeconds = ProgrammingSession::DefaultBootTimeoutSeconds;
    QString logPath;
    bool json = false;
    ResetLine reset = ResetLine::None;
    // The run history every run appends to (and --history reads); empty: none is written.
    QString historyPath;
    int historyCount = 20; // --history [N]
    // Station mode: after each board the operator confirms the next one on the same ports.
    bool repeat = false;
};

// The options, or a usage error (exit status 2). `arguments` starts with the program name. A port
// number is resolved here, as the window resolves it, so that the same device given twice (by
// number and by path, or by a /dev/serial/by-id link) is caught before anything is opened.
struct ParsedArguments {
    std::optional<CliOptions> options;
    QString error;
};
ParsedArguments parseArguments(const QStringList &arguments);

QString usageText();
QString versionText();

// Where board `board` (from 0) of `boards` keeps the device's bytes: the path itself for one board,
// "<path>.<n>" (n from 1) for several.
QString logPathFor(const QString &logPath, int board, int boards);
