#pragma once

#include "app/frmProg.h"
#include "session/SessionView.h"

#include <QStringList>

// A session view that records what the session showed, in the window's words.
class RecordingView final : public SessionView {
public:
    void showStage(Stage stage) override { setCaption(toString(stage)); }
    void showProgress(double percent) override {
        progress = percent;
        setCaption(progressText(percent));
    }
    void showCountdown(int seconds) override {
        countdown = seconds;
        startCaption = QStringLiteral("Waiting restart: %1").arg(seconds);
    }
    void showStartAction(StartAction action) override {
        startCaption = action == StartAction::Cancel ? QStringLiteral("CANCEL")
                                                     : QStringLiteral("START PROGRAMMING");
    }
    void setStartEnabled(bool enabled) override { startEnabled = enabled; }
    void appendReceived(const QByteArray &bytes) override { log += QString::fromLatin1(bytes); }
    void appendNote(const QString &text) override { log += text; }
    void prependNote(const QString &text) override { log.prepend(text); }
    void showDotTimeout() override { boxes << QStringLiteral("Error: DOT Timeout"); }
    void showCommError(int code) override { boxes << QStringLiteral("COM error %1").arg(code); }

    QString caption = QStringLiteral("Tarnix Pellora");
    QStringList captions;
    QString startCaption = QStringLiteral("START PROGRAMMING");
    bool startEnabled = false;
    int countdown = -1;
    double progress = -1;
    QString log;
    QStringList boxes;

private:
    void setCaption(const QString &status) {
        caption = QStringLiteral("Tarnix Pellora, ") + status;
        captions << caption;
    }
};
