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
    PortError,    // the device or adapter disappeared, or a write to it failed
    FileError,    // the file could not be opened or read, or was refused
};

// The result's word in the run history, the command line's table and its JSON: "programmed",
// "ack-timeout", "no-boot-prompt", "cancelled", "port-error", "file-error".
QString toString(RunResult result);

// Why a run ended. The result is what a run history or an exit status needs; the cause also says
// what the operator is shown (see session/RunEnd.h).
enum class EndCause {
    Programmed,        // "P" after the last line
    Booted,            // then the application's greeting
    NotBooted,         // then a fault from the application, or no greeting in time
    AckTimeout,        // no "." for 3 s
    NoBootPrompt,      // no ">" before the countdown ran out
    Cancelled,         // CANCEL
    ConnectionChanged, // Connect or Disconnect
    PortLost,          // the device disappeared
    WriteFailed,       // a write to the device failed
    FileError,         // the file could not be sent
    Aborted,           // the front end stopped (Ctrl-C, the window closing)
};

// The stages a run shows in the status line, besides its progress.
enum class Stage {
    BootStarted, // the bootloader answered the probes
    SendingFile, // the bootloader asked for the file
    Programmed,  // the device reported the image in
    Failed,      // no acknowledgement in time, or the file could not be sent
};

// The status line's words for a stage: "Bootprogram started", "Sending File", "PROGRAMMED",
// "Programming FAILLED".
QString toString(Stage stage);

// What pressing the start button does next.
enum class StartAction { Start, Cancel };

Q_DECLARE_METATYPE(RunResult)
