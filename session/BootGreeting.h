#pragma once

#include "clock/Timer.h"
#include "session/RunSummary.h"

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <functional>
#include <memory>

// What the board's application must say once the image is in, for the run to count as booted: a
// line that matches `expect` (its named groups become fields of the record), none that matches
// `reject` (a fault), within `withinSeconds` of the closing "P".
struct BootExpectation {
    static constexpr int DefaultWithinSeconds = 15;

    QRegularExpression expect;
    QRegularExpression reject; // an empty pattern: none
    int withinSeconds = DefaultWithinSeconds;
};

// Reads what the application sends, line by line, until a line matches. A line ends at CR, LF or
// CR LF; a line the board stops in the middle of for PauseMs (a prompt with no line end) is matched
// as it stands, and again when it goes on; a line longer than MaxLineBytes is matched in pieces,
// never kept whole.
class BootGreeting {
public:
    static constexpr int PauseMs = 200;
    static constexpr qsizetype MaxLineBytes = 4096;

    // `ended`: once, with the check's verdict, line and groups.
    BootGreeting(TimerFactory &timers, BootExpectation expectation,
                 std::function<void(const BootCheck &)> ended);
    ~BootGreeting();
    BootGreeting(const BootGreeting &) = delete;
    BootGreeting &operator=(const BootGreeting &) = delete;

    // Counting from now, the closing "P".
    void start();
    void take(const QByteArray &bytes);
    // Stops without a verdict.
    void stop();
    // Stops as if the bound had passed now: nothing matched (yet).
    BootCheck abandon();
    bool running() const { return running_; }

private:
    // Whether the line ended the check.
    bool match(const QByteArray &line);
    void end(BootCheck::Verdict verdict, const QString &line, const QRegularExpressionMatch &found);
    BootCheck checked(BootCheck::Verdict verdict, const QString &line,
                      const QRegularExpressionMatch &found) const;

    TimerFactory &timers_;
    BootExpectation expectation_;
    std::function<void(const BootCheck &)> ended_;
    std::unique_ptr<Timer> bound_;
    std::unique_ptr<Timer> pause_;
    QByteArray line_;
    QString lastLine_;
    std::int64_t startedMs_ = 0;
    bool running_ = false;
};
