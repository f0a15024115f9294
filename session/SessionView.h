#pragma once

#include <QByteArray>
#include <QString>

// What the session needs of a front end: the window, or a terminal.
class SessionView {
public:
    virtual ~SessionView() = default;

    // The status line: the application title, ", " and this text.
    virtual void showStatus(const QString &status) = 0;
    // The start button ("START PROGRAMMING", "Waiting restart: 59", "CANCEL").
    virtual void setStartCaption(const QString &caption) = 0;
    virtual void setStartEnabled(bool enabled) = 0;

    // The log. Received bytes are Latin-1 characters; a CR LF pair is one line break, also when its
    // two halves arrive in separate calls. Notes are the session's own texts.
    virtual void appendReceived(const QByteArray &bytes) = 0;
    virtual void appendNote(const QString &text) = 0;
    virtual void prependNote(const QString &text) = 0;

    // "Error: DOT Timeout" (critical) and "COM error <code>". Neither may block the caller.
    virtual void showDotTimeout() = 0;
    virtual void showCommError(int code) = 0;

    // The selected index of the speed list; -1 when its text matches no item.
    virtual int speedIndex() const = 0;
};
