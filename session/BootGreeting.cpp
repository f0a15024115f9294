#include "session/BootGreeting.h"

BootGreeting::BootGreeting(TimerFactory &timers, BootExpectation expectation,
                           std::function<void(const BootCheck &)> ended)
    : timers_(timers), expectation_(std::move(expectation)), ended_(std::move(ended)),
      bound_(timers.createTimer(expectation_.withinSeconds * 1000)),
      pause_(timers.createTimer(PauseMs)) {
    bound_->onTick = [this] { end(BootCheck::Verdict::Silent, lastLine_, {}); };
    pause_->onTick = [this] {
        pause_->setEnabled(false);
        // A line without an end, matched as it stands; it stays, to be matched again whole.
        if (!line_.isEmpty())
            match(line_);
    };
}

BootGreeting::~BootGreeting() = default;

void BootGreeting::start() {
    running_ = true;
    startedMs_ = timers_.now();
    bound_->setEnabled(true);
}

void BootGreeting::stop() {
    running_ = false;
    bound_->setEnabled(false);
    pause_->setEnabled(false);
}

void BootGreeting::take(const QByteArray &bytes) {
    for (const char c : bytes) {
        if (!running_)
            return;
        if (c == '\r' || c == '\n') {
            match(std::exchange(line_, QByteArray()));
            continue;
        }
        line_ += c;
        if (line_.size() >= MaxLineBytes)
            match(std::exchange(line_, QByteArray()));
    }
    // The pause counts from the last byte.
    pause_->setEnabled(false);
    if (running_ && !line_.isEmpty())
        pause_->setEnabled(true);
}

bool BootGreeting::match(const QByteArray &bytes) {
    const QString line = QString::fromUtf8(bytes).trimmed();
    if (line.isEmpty())
        return false;
    lastLine_ = line;
    // A fault outranks a greeting on the same line.
    if (!expectation_.reject.pattern().isEmpty())
        if (const QRegularExpressionMatch fault = expectation_.reject.match(line);
            fault.hasMatch()) {
            end(BootCheck::Verdict::Fault, line, fault);
            return true;
        }
    if (const QRegularExpressionMatch greeting = expectation_.expect.match(line);
        greeting.hasMatch()) {
        end(BootCheck::Verdict::Booted, line, greeting);
        return true;
    }
    return false;
}

void BootGreeting::end(BootCheck::Verdict verdict, const QString &line,
                       const QRegularExpressionMatch &found) {
    if (!running_)
        return;
    stop();
    ended_(checked(verdict, line, found));
}

BootCheck BootGreeting::abandon() {
    stop();
    return checked(BootCheck::Verdict::Silent, lastLine_, {});
}

BootCheck BootGreeting::checked(BootCheck::Verdict verdict, const QString &line,
                                const QRegularExpressionMatch &found) const {
    BootCheck check;
    check.verdict = verdict;
    check.expected = expectation_.expect.pattern();
    check.line = line;
    check.seconds = static_cast<double>(timers_.now() - startedMs_) / 1000.0;
    check.withinSeconds = expectation_.withinSeconds;
    if (verdict == BootCheck::Verdict::Booted)
        for (const QString &name : expectation_.expect.namedCaptureGroups())
            if (!name.isEmpty() && found.hasCaptured(name))
                check.groups.insert(name, found.captured(name));
    return check;
}

QString BootCheck::word() const {
    switch (verdict) {
    case Verdict::Booted:
        return QStringLiteral("booted");
    case Verdict::Fault:
        return QStringLiteral("fault");
    case Verdict::Silent:
        break;
    }
    return QStringLiteral("silent");
}

QString BootCheck::note() const {
    switch (verdict) {
    case Verdict::Booted:
        return {};
    case Verdict::Fault:
        return QStringLiteral("Programmed, but the application reported a fault: \"%1\"").arg(line);
    case Verdict::Silent:
        break;
    }
    return QStringLiteral("Programmed, but the application said nothing that matched within %1 s")
               .arg(withinSeconds) +
           (line.isEmpty() ? QStringLiteral("; it said nothing at all")
                           : QStringLiteral("; the last line it said: \"%1\"").arg(line));
}
