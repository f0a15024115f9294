#pragma once

#include "session/SessionView.h"

#include <QStringList>

// A session view that records what the session showed.
class RecordingView final : public SessionView {
public:
    void showStatus(const QString &status) override {
        caption = QStringLiteral("Tarnix Pellora, ") + status;
        captions << caption;
    }
    void setStartCaption(const QString &c) override { startCaption = c; }
    void setStartEnabled(bool enabled) override { startEnabled = enabled; }
    void appendReceived(const QByteArray &bytes) override { log += QString::fromLatin1(bytes); }
    void appendNote(const QString &text) override { log += text; }
    void prependNote(const QString &text) override { log.prepend(text); }
    void showDotTimeout() override { boxes << QStringLiteral("Error: DOT Timeout"); }
    void showCommError(int code) override { boxes << QStringLiteral("COM error %1").arg(code); }
    int speedIndex() const override { return speed; }

    QString caption = QStringLiteral("Tarnix Pellora");
    QStringList captions;
    QString startCaption = QStringLiteral("START PROGRAMMING");
    bool startEnabled = false;
    QString log;
    QStringList boxes;
    int speed = 2;
};
