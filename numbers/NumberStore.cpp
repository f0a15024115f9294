#include "numbers/NumberStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString systemError(const QString &path, int error) {
    return QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

QString bootId() {
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll().trimmed())
                                          : QString();
}

// A process's start, in clock ticks after boot (the 22nd field of its stat); 0 when unknown.
qint64 processStart(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = file.readAll();
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 19 ? fields[19].toLongLong() : 0;
}

std::optional<quint64> decimal(const QString &text) {
    static const QRegularExpression Digits(QStringLiteral("^[0-9]{1,20}$"));
    if (!Digits.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const quint64 value = text.toULongLong(&ok);
    return ok ? std::optional(value) : std::nullopt;
}

// "70:B3:D5:00:12:34", "70-b3-d5-00-12-34" or "70B3D5001234".
std::optional<QByteArray> hexBytes(const QString &text) {
    static const QRegularExpression Separated(
        QStringLiteral("^[0-9A-Fa-f]{2}([:-][0-9A-Fa-f]{2})*$"));
    static const QRegularExpression Plain(QStringLiteral("^([0-9A-Fa-f]{2})+$"));
    if (!Separated.match(text).hasMatch() && !Plain.match(text).hasMatch())
        return std::nullopt;
    QString digits = text;
    digits.remove(QLatin1Char(':')).remove(QLatin1Char('-'));
    return QByteArray::fromHex(digits.toLatin1());
}

} // namespace

NumberStore::NumberStore(Kind kind, QString path, QString statePath)
    : kind_(kind), path_(std::move(path)), statePath_(std::move(statePath)) {}

NumberStore NumberStore::counter(const QString &path, quint64 start, quint64 step) {
    NumberStore store(Kind::Counter, path, path);
    store.start_ = start;
    store.step_ = step;
    return store;
}

NumberStore NumberStore::list(const QString &path, bool bytes) {
    NumberStore store(Kind::List, path, usedPath(path));
    store.bytes_ = bytes;
    return store;
}

QString NumberStore::name() const {
    return (kind_ == Kind::Counter ? QStringLiteral("the counter %1")
                                   : QStringLiteral("the list %1"))
        .arg(path_);
}

QString NumberStore::locked(Write write, const std::function<QString(State &)> &body) {
    const QString lockPath = statePath_ + QStringLiteral(".lock");
    const Descriptor lock(
        ::open(QFile::encodeName(lockPath).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
    if (lock.get() < 0)
        return QStringLiteral("cannot lock %1").arg(systemError(lockPath, errno));
    while (::flock(lock.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            return QStringLiteral("cannot lock %1").arg(systemError(lockPath, errno));
    auto state = readState();
    if (const QString *error = std::get_if<QString>(&state))
        return *error;
    State &s = std::get<State>(state);
    const qsizetype skippedBefore = s.skipped.size();
    const QString error = body(s);
    // A run found gone is recorded even when nothing else is, so that it is told of once.
    if ((write == Write::Yes && error.isEmpty()) || s.skipped.size() != skippedBefore)
        if (const QString written = writeState(s); !written.isEmpty())
            return written;
    return error;
}

std::variant<NumberStore::State, QString> NumberStore::readState() {
    QFile file(statePath_);
    if (!file.exists()) {
        State fresh;
        fresh.next = start_;
        fresh.step = step_;
        return fresh;
    }
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(statePath_, file.errorString());
    return parse(file.readAll());
}

std::variant<NumberStore::State, QString> NumberStore::parse(const QByteArray &text) const {
    State state;
    bool sawNext = false;
    bool sawStep = false;
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString line = QString::fromUtf8(lines[n]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const auto broken = [&](const QString &why) {
            return QStringLiteral("%1 line %2 (\"%3\") %4: correct the file (the README's \"Serial "
                                  "numbers\" shows its form); nothing was taken from it")
                .arg(statePath_)
                .arg(n + 1)
                .arg(line, why);
        };
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const qsizetype equals = words.first().indexOf(QLatin1Char('='));
        if (equals <= 0)
            return broken(QStringLiteral("is not NAME=VALUE"));
        const QString key = words.first().left(equals);
        const QString value = words.first().mid(equals + 1);
        const bool counter = kind_ == Kind::Counter;
        // A list's value as the list gives it, whatever way a person wrote it here.
        QString canonical = value;
        if (!counter) {
            const auto bytes = bytes_ ? hexBytes(value) : std::nullopt;
            const auto number = bytes_ ? std::nullopt : decimal(value);
            if (!bytes && !number)
                return broken(bytes_ ? QStringLiteral("holds no hex bytes")
                                     : QStringLiteral("holds no number"));
            canonical = bytes ? firmware::serialText(*bytes) : firmware::serialText(*number);
        }
        if (key == QLatin1String("held") || key == QLatin1String("skipped")) {
            Holder holder;
            holder.value = canonical;
            if (counter && !decimal(value))
                return broken(QStringLiteral("holds no number"));
            for (qsizetype w = 1; w < words.size(); ++w) {
                const QString name = words[w].section(QLatin1Char('='), 0, 0);
                const QString attribute = words[w].section(QLatin1Char('='), 1);
                if (name == QLatin1String("pid"))
                    holder.pid = attribute.toLongLong();
                else if (name == QLatin1String("boot"))
                    holder.boot = attribute;
                else if (name == QLatin1String("start"))
                    holder.start = attribute.toLongLong();
                else if (name == QLatin1String("since"))
                    holder.since = QDateTime::fromString(attribute, Qt::ISODate);
                else
                    return broken(QStringLiteral("has \"%1\", which is none of pid, boot, start "
                                                 "and since")
                                      .arg(words[w]));
            }
            (key == QLatin1String("held") ? state.held : state.skipped).append(holder);
            continue;
        }
        if (words.size() > 1)
            return broken(QStringLiteral("has more than one value"));
        if (!counter) {
            if (key != QLatin1String("used"))
                return broken(QStringLiteral("names none of used, held and skipped"));
            state.used.append(canonical);
            continue;
        }
        const auto number = decimal(value);
        if (!number)
            return broken(QStringLiteral("holds no number"));
        if (key == QLatin1String("next")) {
            if (std::exchange(sawNext, true))
                return broken(QStringLiteral("gives next a second time"));
            state.next = *number;
        } else if (key == QLatin1String("step")) {
            if (std::exchange(sawStep, true) || *number == 0)
                return broken(*number == 0 ? QStringLiteral("gives a step of 0")
                                           : QStringLiteral("gives step a second time"));
            state.step = *number;
        } else if (key == QLatin1String("free")) {
            state.free.append(*number);
        } else {
            return broken(QStringLiteral("names none of next, step, free, held and skipped"));
        }
    }
    if (kind_ == Kind::Counter && (!sawNext || !sawStep))
        return QStringLiteral("%1 has no %2 line: correct the file (the README's \"Serial "
                              "numbers\" shows its form); nothing was taken from it")
            .arg(statePath_, sawNext ? QStringLiteral("step") : QStringLiteral("next"));
    return state;
}

QByteArray NumberStore::format(const State &state) const {
    QStringList lines;
    if (kind_ == Kind::Counter) {
        lines << QStringLiteral(
                     "# Serial numbers of tarnix-pellora-cli --serial-counter: every run "
                     "on this host takes its")
              << QStringLiteral("# numbers here. next: the number the next board gets; step: what "
                                "is added each time;")
              << QStringLiteral("# free: numbers given back by boards not programmed, given "
                                "first; held: numbers boards")
              << QStringLiteral("# are being programmed with; skipped: held by a run that never "
                                "ended, given to none.")
              << QStringLiteral("next=%1").arg(state.next)
              << QStringLiteral("step=%1").arg(state.step);
        for (const quint64 number : state.free)
            lines << QStringLiteral("free=%1").arg(number);
    } else {
        lines << QStringLiteral("# The values of %1 that tarnix-pellora-cli --serial-list gave "
                                "out: never given again.")
                     .arg(QFileInfo(path_).fileName())
              << QStringLiteral("# used: in a programmed board; held: a board is being programmed "
                                "with it; skipped:")
              << QStringLiteral("# held by a run that never ended, given to none.");
        for (const QString &value : state.used)
            lines << QStringLiteral("used=%1").arg(value);
    }
    const auto holder = [](const char *key, const Holder &h) {
        return QStringLiteral("%1=%2 pid=%3 boot=%4 start=%5 since=%6")
            .arg(QString::fromLatin1(key), h.value)
            .arg(h.pid)
            .arg(h.boot.isEmpty() ? QStringLiteral("-") : h.boot)
            .arg(h.start)
            .arg(h.since.toString(Qt::ISODate));
    };
    for (const Holder &h : state.held)
        lines << holder("held", h);
    for (const Holder &h : state.skipped)
        lines << holder("skipped", h);
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QString NumberStore::writeState(const State &state) const {
    // Whole or not at all: a new file, flushed, then renamed over the old one.
    const QString temporary = statePath_ + QStringLiteral(".new");
    const QByteArray text = format(state);
    {
        const Descriptor fd(::open(QFile::encodeName(temporary).constData(),
                                   O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0)
            return QStringLiteral("cannot write %1").arg(systemError(temporary, errno));
        qsizetype done = 0;
        while (done < text.size()) {
            const ssize_t n =
                ::write(fd.get(), text.constData() + done, static_cast<size_t>(text.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return QStringLiteral("cannot write %1").arg(systemError(temporary, errno));
            done += n;
        }
        if (::fsync(fd.get()) != 0)
            return QStringLiteral("cannot write %1").arg(systemError(temporary, errno));
    }
    if (::rename(QFile::encodeName(temporary).constData(),
                 QFile::encodeName(statePath_).constData()) != 0)
        return QStringLiteral("cannot write %1").arg(systemError(statePath_, errno));
    const Descriptor folder(::open(
        QFile::encodeName(QFileInfo(statePath_).absolutePath()).constData(), O_RDONLY | O_CLOEXEC));
    if (folder.get() >= 0)
        (void)::fsync(folder.get());
    return {};
}

std::variant<QList<firmware::SerialValue>, QString> NumberStore::listValues() const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("%1 cannot be read: %2").arg(path_, file.errorString());
    QList<firmware::SerialValue> values;
    QStringList texts;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        const QString line = QString::fromUtf8(lines[n]).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        firmware::SerialValue value;
        if (bytes_) {
            const auto parsed = hexBytes(line);
            if (!parsed)
                return QStringLiteral("%1 line %2 (\"%3\") is not hex bytes such as "
                                      "70:B3:D5:00:12:34 or 70B3D5001234: correct the list")
                    .arg(path_)
                    .arg(n + 1)
                    .arg(line);
            value = *parsed;
        } else {
            const auto parsed = decimal(line);
            if (!parsed)
                return QStringLiteral("%1 line %2 (\"%3\") is not a decimal number: correct the "
                                      "list (hex bytes are for the bytes format)")
                    .arg(path_)
                    .arg(n + 1)
                    .arg(line);
            value = *parsed;
        }
        const QString text = firmware::serialText(value);
        if (const qsizetype earlier = texts.indexOf(text); earlier >= 0)
            return QStringLiteral("%1 line %2 gives %3 a second time: each value once, so that "
                                  "no two boards get it")
                .arg(path_)
                .arg(n + 1)
                .arg(text);
        texts << text;
        values << value;
    }
    return values;
}

std::variant<NumberStore::Reservation, QString> NumberStore::nextOf(const State &state) const {
    if (kind_ == Kind::Counter) {
        if (!state.free.isEmpty()) {
            const quint64 value = *std::min_element(state.free.begin(), state.free.end());
            return Reservation{value, QString::number(value)};
        }
        return Reservation{state.next, QString::number(state.next)};
    }
    auto values = listValues();
    if (const QString *error = std::get_if<QString>(&values))
        return *error;
    const auto &list = std::get<QList<firmware::SerialValue>>(values);
    const auto given = [&state](const QString &text) {
        const auto holds = [&text](const Holder &h) { return h.value == text; };
        return state.used.contains(text) ||
               std::any_of(state.held.begin(), state.held.end(), holds) ||
               std::any_of(state.skipped.begin(), state.skipped.end(), holds);
    };
    for (const firmware::SerialValue &value : list) {
        const QString text = firmware::serialText(value);
        if (!given(text))
            return Reservation{value, text};
    }
    return QStringLiteral("every value of %1 has been given (%2 in all; %3 records them): add "
                          "values to the list")
        .arg(path_)
        .arg(list.size())
        .arg(statePath_);
}

void NumberStore::skipAbandoned(State &state) {
    const QString boot = bootId();
    for (qsizetype i = 0; i < state.held.size();) {
        const Holder &h = state.held[i];
        // The same boot, and a process of that pid that started when the holder did.
        const bool running =
            h.pid > 0 && h.boot == boot &&
            (h.pid == ::getpid() || ::kill(static_cast<pid_t>(h.pid), 0) == 0 || errno == EPERM) &&
            (h.start == 0 || processStart(h.pid) == h.start);
        if (running) {
            ++i;
            continue;
        }
        const QString when = h.since.isValid()
                                 ? h.since.toLocalTime().toString(
                                       h.since.toLocalTime().date() == QDate::currentDate()
                                           ? QStringLiteral("HH:mm")
                                           : QStringLiteral("yyyy-MM-dd HH:mm"))
                                 : QStringLiteral("at an unknown time");
        notes_ << QStringLiteral("serial %1 was held by a run that did not end (pid %2, %3): "
                                 "skipped")
                      .arg(h.value)
                      .arg(h.pid)
                      .arg(when);
        state.skipped.append(state.held.takeAt(i));
    }
}

std::variant<NumberStore::Reservation, QString> NumberStore::reserve(const Acceptor &accept) {
    std::optional<Reservation> taken;
    const QString error = locked(Write::Yes, [&](State &state) -> QString {
        skipAbandoned(state);
        auto next = nextOf(state);
        if (const QString *why = std::get_if<QString>(&next))
            return *why;
        Reservation &reservation = std::get<Reservation>(next);
        if (const QString refused = accept ? accept(reservation.value) : QString();
            !refused.isEmpty())
            return refused;
        if (kind_ == Kind::Counter) {
            if (state.free.contains(std::get<quint64>(reservation.value))) {
                state.free.removeOne(std::get<quint64>(reservation.value));
            } else {
                if (state.next > std::numeric_limits<quint64>::max() - state.step)
                    return QStringLiteral("%1 has run out of numbers (next=%2)")
                        .arg(statePath_)
                        .arg(state.next);
                state.next += state.step;
            }
        }
        state.held.append(Holder{.value = reservation.text,
                                 .pid = ::getpid(),
                                 .boot = bootId(),
                                 .start = processStart(::getpid()),
                                 .since = QDateTime::currentDateTime()});
        taken = reservation;
        return {};
    });
    if (!error.isEmpty())
        return error;
    return *taken;
}

std::variant<NumberStore::Reservation, QString> NumberStore::peek() {
    std::optional<Reservation> next;
    const QString error = locked(Write::No, [&](State &state) -> QString {
        auto value = nextOf(state);
        if (const QString *why = std::get_if<QString>(&value))
            return *why;
        next = std::get<Reservation>(value);
        return {};
    });
    if (!error.isEmpty())
        return error;
    return *next;
}

QString NumberStore::commit(const Reservation &reservation) {
    return locked(Write::Yes, [&](State &state) -> QString {
        state.held.removeIf(
            [&](const Holder &h) { return h.value == reservation.text && h.pid == ::getpid(); });
        if (kind_ == Kind::List)
            state.used.append(reservation.text);
        return {};
    });
}

QString NumberStore::release(const Reservation &reservation) {
    return locked(Write::Yes, [&](State &state) -> QString {
        const qsizetype removed = state.held.removeIf(
            [&](const Holder &h) { return h.value == reservation.text && h.pid == ::getpid(); });
        // Only a number this run still held goes back: one a person moved meanwhile stays put.
        if (kind_ == Kind::Counter && removed > 0)
            state.free.append(std::get<quint64>(reservation.value));
        return {};
    });
}
