#pragma once

#include "session/RunEnd.h"
#include "session/SessionView.h"

#include <QLocale>
#include <QStringList>
#include <cstdio>

// A session view that records what the session showed, in the window's words: the caption and the
// start button, the log, the notes and the boxes. With `echo` it also prints the notes and the
// boxes on stderr. Tests and benchmarks override what they watch.
class RecordingView : public SessionView {
public:
    void showStage(Stage stage) override {
        lastStage = stage;
        setCaption(toString(stage));
    }
    void showProgress(double percent) override {
        progress = percent;
        // As the window words it (progressText), in the tests' C locale.
        if (recording)
            setCaption(QStringLiteral("progress: ") +
                       QString::number(percent, 'g', QLocale::FloatingPointShortest) +
                       QLatin1Char('%'));
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
    void appendReceived(const QByteArray &bytes) override {
        if (recording)
            log += QString::fromLatin1(bytes);
    }
    // Notes laid out as the window lays them out: an appended one on a line of its own, a prepended
    // one with an empty line after it.
    void appendNote(const QString &text) override {
        log += QStringLiteral("\r\n") + lines(text);
        note(text);
    }
    void prependNote(const QString &text) override {
        log.prepend(lines(text) + QStringLiteral("\r\n\r\n"));
        note(text);
    }
    void showDotTimeout() override { box(QString::fromLatin1(RunEnd::DotTimeoutText)); }
    void showCommError(int code) override { box(QStringLiteral("COM error %1").arg(code)); }

    // Off for long runs (benchmarks), whose progress captions and received bytes would pile up:
    // then neither is kept.
    bool recording = true;
    bool echo = false;

    QString caption = QStringLiteral("Tarnix Pellora");
    QStringList captions;
    QString startCaption = QStringLiteral("START PROGRAMMING");
    bool startEnabled = false;
    int countdown = -1;
    double progress = -1;
    Stage lastStage = Stage::Failed;
    QString log;   // received bytes and notes, as the window's log holds them
    QString notes; // the notes alone, in the order they came
    QStringList boxes;

private:
    static QString lines(QString text) {
        return text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    }
    void setCaption(const QString &status) {
        caption = QStringLiteral("Tarnix Pellora, ") + status;
        if (recording)
            captions << caption;
    }
    void note(const QString &text) {
        notes += text + QLatin1Char('\n');
        if (echo)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    }
    void box(const QString &text) {
        boxes << text;
        if (echo)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    }
};
