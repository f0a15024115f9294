#include "session/RunEnd.h"

namespace {

using Button = RunEnd::StartButton;

// clang-format off
constexpr RunEnd Programmed  {RunResult::Programmed,   Stage::Programmed, false, nullptr, false, Button::Keep,          RunEnd::ProgrammedText};
// The status line said PROGRAMMED at the "P" already; the application's words are the note.
constexpr RunEnd Booted      {RunResult::Programmed,   std::nullopt,      false, nullptr, false, Button::Keep,          RunEnd::ProgrammedText};
constexpr RunEnd NotBooted   {RunResult::Programmed,   std::nullopt,      false, nullptr, false, Button::Keep,          RunEnd::NotBootedText};
constexpr RunEnd AckTimeout  {RunResult::AckTimeout,   Stage::Failed,     true,  nullptr, false, Button::Enable,        RunEnd::FailedText};
constexpr RunEnd NoBootPrompt{RunResult::NoBootPrompt, std::nullopt,      false, RunEnd::NoBootPromptText, false, Button::Enable, RunEnd::NoBootPromptText};
constexpr RunEnd Cancelled   {RunResult::Cancelled,    std::nullopt,      false, RunEnd::CancelText, true, Button::EnableIfReady, nullptr};
constexpr RunEnd Connection  {RunResult::Cancelled,    std::nullopt,      false, nullptr, false, Button::OnlyIfReady,   nullptr};
constexpr RunEnd PortLost    {RunResult::PortError,    std::nullopt,      false, nullptr, false, Button::EnableIfReady, RunEnd::FailedText};
constexpr RunEnd WriteFailed {RunResult::PortError,    Stage::Failed,     false, nullptr, false, Button::Enable,        RunEnd::FailedText};
constexpr RunEnd FileError   {RunResult::FileError,    Stage::Failed,     false, nullptr, false, Button::Enable,        RunEnd::FailedText};
constexpr RunEnd Aborted     {RunResult::Cancelled,    std::nullopt,      false, nullptr, false, Button::Keep,          nullptr};
// clang-format on

} // namespace

const RunEnd &runEnd(EndCause cause) {
    switch (cause) {
    case EndCause::Programmed:
        return Programmed;
    case EndCause::Booted:
        return Booted;
    case EndCause::NotBooted:
        return NotBooted;
    case EndCause::AckTimeout:
        return AckTimeout;
    case EndCause::NoBootPrompt:
        return NoBootPrompt;
    case EndCause::Cancelled:
        return Cancelled;
    case EndCause::ConnectionChanged:
        return Connection;
    case EndCause::PortLost:
        return PortLost;
    case EndCause::WriteFailed:
        return WriteFailed;
    case EndCause::FileError:
        return FileError;
    case EndCause::Aborted:
        break;
    }
    return Aborted;
}

QString toString(RunResult result) {
    switch (result) {
    case RunResult::Programmed:
        return QStringLiteral("programmed");
    case RunResult::AckTimeout:
        return QStringLiteral("ack-timeout");
    case RunResult::NoBootPrompt:
        return QStringLiteral("no-boot-prompt");
    case RunResult::Cancelled:
        return QStringLiteral("cancelled");
    case RunResult::PortError:
        return QStringLiteral("port-error");
    case RunResult::FileError:
        return QStringLiteral("file-error");
    }
    return {};
}

QString toString(Stage stage) {
    switch (stage) {
    case Stage::BootStarted:
        return QStringLiteral("Bootprogram started");
    case Stage::SendingFile:
        return QStringLiteral("Sending File");
    case Stage::Programmed:
        return QString::fromLatin1(RunEnd::ProgrammedText);
    case Stage::Failed:
        return QString::fromLatin1(RunEnd::FailedText);
    }
    return {};
}
