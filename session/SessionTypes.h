#pragma once

#include <QMetaType>
#include <QString>
#include <cstdint>

enum class SessionState : std::int32_t {
    Idle = 0,
    WaitBootPrompt = 1,
    WaitFileRequest = 2,
    SendingFile = 3,
};

// How a programming run ended.
enum class RunResult {
    Programmed,
    AckTimeout,   // no "." for 3 s
    NoBootPrompt, // no ">" before the countdown ran out
    Cancelled,    // CANCEL, a connect or disconnect, or an abort
    PortError,    // the device or adapter disappeared
    FileError,    // the file could not be opened or read
};

QString toString(RunResult result);

Q_DECLARE_METATYPE(RunResult)
