#include "cli/Station.h"

#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/Programmer.h"
#include "cli/Report.h"
#include "serial/SerialLink.h"

#include <QJsonDocument>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

Station::Station(Programmer &programmer, Console &console, TimerFactory &timers, int inputFd,
                 Sink results, bool json, int tableWidth, QObject *parent)
    : QObject(parent), programmer_(programmer), console_(console), timers_(timers),
      inputFd_(inputFd), results_(std::move(results)), json_(json), tableWidth_(tableWidth) {
    connect(&programmer_, &Programmer::finished, this, &Station::roundFinished);
    notifier_ = new QSocketNotifier(static_cast<qintptr>(inputFd_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &Station::readInput);
}

Station::~Station() = default;

void Station::startOnPlug() {
    const std::vector<SerialLink *> links = programmer_.links();
    for (std::size_t i = 0; i < links.size(); ++i) {
        plugs_.push_back(Plug{.link = links[i], .awaySinceMs = {}, .back = false});
        connect(links[i], &SerialLink::portAway, this, [this, i] { plugAway(i); });
        connect(links[i], &SerialLink::portBack, this, [this, i] { plugBack(i); });
        // Back, but refusing (its board's run says why): only Enter starts the next round.
        connect(links[i], &SerialLink::portLost, this, [this, i] {
            plugs_[i].back = false;
            plugs_[i].awaySinceMs.reset();
        });
    }
}

void Station::watchPlugs(bool on) {
    watchingPlugs_ = on && !plugs_.empty();
    if (!watchingPlugs_)
        return;
    // A port the last round did not leave open is opened, or waited for, so that its link tells.
    programmer_.followPorts();
    for (Plug &plug : plugs_) {
        plug.back = false;
        plug.awaySinceMs.reset();
        // Away as the round ended: the board just programmed restarting, or already unplugged.
        if (plug.link->away())
            plug.awaySinceMs = timers_.now();
    }
}

void Station::plugAway(std::size_t index) {
    Plug &plug = plugs_[index];
    plug.back = false;
    if (watchingPlugs_ && !plug.awaySinceMs)
        plug.awaySinceMs = timers_.now();
}

void Station::plugBack(std::size_t index) {
    Plug &plug = plugs_[index];
    if (!watchingPlugs_ || !plug.awaySinceMs)
        return;
    // Away only a moment: the board just programmed restarting, not the next one.
    plug.back = timers_.now() - *plug.awaySinceMs >= MinAwayMs;
    plug.awaySinceMs.reset();
    if (!std::all_of(plugs_.begin(), plugs_.end(), [](const Plug &p) { return p.back; }))
        return;
    // Out of the link's own signal: the next round starts on the same link.
    watchingPlugs_ = false;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (phase_ == Phase::Waiting)
                nextRound(true);
        },
        Qt::QueuedConnection);
}

void Station::start() {
    if (phase_ != Phase::Idle)
        return;
    phase_ = Phase::Running;
    round_ = 1;
    programmer_.start();
}

void Station::interrupt() {
    if (phase_ == Phase::Running) {
        interrupted_ = true;
        programmer_.interrupt(); // ends the round; roundFinished() ends the station
    } else if (phase_ == Phase::Waiting || phase_ == Phase::Idle) {
        end();
    }
}

void Station::roundFinished() {
    if (phase_ != Phase::Running)
        return;
    const QList<BoardResult> results = programmer_.results();
    for (const BoardResult &r : results) {
        (r.exitCode == ExitCode::Programmed        ? programmed_
         : r.exitCode == ExitCode::NotProvenToBoot ? notBooted_
                                                   : failed_) += 1;
        if (r.serialCommitted)
            lastSerial_ = r.serial;
        exitCode_ = std::max(exitCode_, r.exitCode);
        if (json_) {
            QJsonObject object = resultObject(r);
            object.insert(QStringLiteral("run"), round_);
            results_(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
        }
        // The file is read afresh for every board: a new build between boards is worth a word.
        const QByteArray sha = r.sha256.toLatin1();
        if (!sha.isEmpty()) {
            if (!lastSha256_.isEmpty() && sha != lastSha256_)
                console_.message(QStringLiteral("The file has changed since the last board: "
                                                "SHA-256 %1")
                                     .arg(r.sha256));
            lastSha256_ = sha;
        }
    }
    // With the JSON on standard output the operator reads the table with the tally.
    const QString table = resultTableFor(results, tableWidth_);
    if (json_) {
        for (const QString &line : table.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
            console_.message(line);
    } else {
        results_(table.toLocal8Bit());
    }
    console_.message(
        QStringLiteral("Tally: ") + tally() +
        (lastSerial_.isEmpty() ? QString() : QStringLiteral("; last serial %1").arg(lastSerial_)));
    if (interrupted_ || inputClosed_)
        return end();
    phase_ = Phase::Waiting;
    if (plugs_.empty()) {
        console_.message(QStringLiteral("Next board: connect it and press Enter (q to quit)."));
    } else {
        console_.message(QStringLiteral("Next board: unplug this one and plug the next in (or "
                                        "press Enter; q to quit)."));
        watchPlugs(true);
    }
}

void Station::readInput() {
    char buffer[1024];
    const ssize_t got = ::read(inputFd_, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (got <= 0) {
        // The end of the input: nothing more can confirm a board.
        notifier_->setEnabled(false);
        inputClosed_ = true;
        if (!pending_.isEmpty())
            takeLine(std::exchange(pending_, QByteArray()));
        if (phase_ == Phase::Waiting)
            end();
        return;
    }
    pending_.append(buffer, got);
    for (qsizetype end; (end = pending_.indexOf('\n')) >= 0;) {
        const QByteArray line = pending_.left(end);
        pending_.remove(0, end + 1);
        takeLine(line);
    }
}

void Station::takeLine(const QByteArray &line) {
    if (phase_ != Phase::Waiting)
        return; // typed ahead while a board was on: it confirms nothing
    const QByteArray word = line.trimmed().toLower();
    if (word.isEmpty()) {
        nextRound(false);
    } else if (word == "q" || word == "quit") {
        end();
    } else {
        console_.message(QStringLiteral("Enter programs the next board, q quits."));
    }
}

void Station::nextRound(bool pluggedIn) {
    watchPlugs(false);
    phase_ = Phase::Running;
    ++round_;
    programmer_.startNextRound(pluggedIn);
}

QString Station::tally() const {
    return QStringLiteral("%1 programmed, ").arg(programmed_) +
           (notBooted_ > 0 ? QStringLiteral("%1 not proven to boot, ").arg(notBooted_)
                           : QString()) +
           QStringLiteral("%1 failed").arg(failed_);
}

void Station::end() {
    if (phase_ == Phase::Ended)
        return;
    const bool tallied = phase_ == Phase::Waiting || phase_ == Phase::Running;
    phase_ = Phase::Ended;
    notifier_->setEnabled(false);
    watchPlugs(false);
    if (tallied)
        console_.message(QStringLiteral("Station closed: ") + tally());
    QMetaObject::invokeMethod(
        this, [this] { Q_EMIT finished(exitCode_); }, Qt::QueuedConnection);
}
