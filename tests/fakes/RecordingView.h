#pragma once

#include "app/WindowWords.h"
#include "session/RunEnd.h"
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
    // Notes laid out as the window lays them out: an appended one on a line of its own, a prepended
    // one with an empty line after it.
    void appendNote(const QString &text) override { log += QStringLiteral("\r\n") + lines(text); }
    void prependNote(const QString &text) override {
        log.prepend(lines(text) + QStringLiteral("\r\n\r\n"));
    }
    void showDotTimeout() override { boxes << QString::fromLatin1(RunEnd::DotTimeoutText); }
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
    static QString lines(QString text) {
        return text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    }
    void setCaption(const QString &status) {
        caption = QStringLiteral("Tarnix Pellora, ") + status;
        captions << caption;
    }
};
