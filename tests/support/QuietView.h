#pragma once

#include "session/RunEnd.h"
#include "session/SessionView.h"

#include <cstdio>

// A session view that shows nothing: it keeps the notes and counts the boxes, and with `echo` also
// prints them on stderr. Tests and benchmarks override what they watch.
class QuietView : public SessionView {
public:
    void showStage(Stage stage) override { lastStage = stage; }
    void showProgress(double) override {}
    void showCountdown(int) override {}
    void showStartAction(StartAction) override {}
    void setStartEnabled(bool) override {}
    void appendReceived(const QByteArray &) override {}
    void appendNote(const QString &text) override { note(text); }
    void prependNote(const QString &text) override { note(text); }
    void showDotTimeout() override { box(QString::fromLatin1(RunEnd::DotTimeoutText)); }
    void showCommError(int code) override { box(QStringLiteral("COM error %1").arg(code)); }

    bool echo = false;
    QString notes;
    int boxes = 0;
    Stage lastStage = Stage::Failed;

private:
    void note(const QString &text) {
        notes += text + QLatin1Char('\n');
        if (echo)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    void box(const QString &text) {
        ++boxes;
        if (echo)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    }
};
