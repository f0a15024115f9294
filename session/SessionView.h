#pragma once

#include "session/SessionTypes.h"

#include <QByteArray>
#include <QString>

// What the session needs of a front end: the window, or a terminal. It hands over values; each
// front end words them its own way.
class SessionView {
public:
    virtual ~SessionView() = default;

    // The status line: the stage a run reached, or the share of the file's lines sent, in percent
    // (rounded down to 0.1; exactly 100 after the last line).
    virtual void showStage(Stage stage) = 0;
    virtual void showProgress(double percent) = 0;

    // The start button: the seconds left for the device to restart into its bootloader while it is
    // waited for, else what a press does.
    virtual void showCountdown(int seconds) = 0;
    virtual void showStartAction(StartAction action) = 0;
    virtual void setStartEnabled(bool enabled) = 0;

    // The log. Received bytes are Latin-1 characters; a CR LF pair is one line break, also when its
    // two halves arrive in separate calls. Notes are the session's own texts in plain words: one
    // line, or several separated by "\n", with no line break before or after; each front end lays
    // them out (the window puts an appended note on a line of its own after what the log holds, and
    // a prepended one at the top with an empty line after it).
    virtual void appendReceived(const QByteArray &bytes) = 0;
    virtual void appendNote(const QString &text) = 0;
    virtual void prependNote(const QString &text) = 0;

    // RunEnd::DotTimeoutText (critical) and "COM error <code>". Neither may block the caller.
    virtual void showDotTimeout() = 0;
    virtual void showCommError(int code) = 0;
};
