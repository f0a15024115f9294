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

QString toString(RunResult result);

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
