#pragma once

#include "firmware/SerialPatch.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <variant>

// The numbers of a production batch, shared by every run on this host: a counter file, or a list of
// values and, beside it, the record of those given out. A board's number is reserved under an
// exclusive lock and is on disk (written whole, then renamed into place) before the board is sent
// anything; it is committed when the board is programmed, or given back when it is not, and then
// goes to the next board, so that the programmed boards' numbers have no holes. A run that never
// ended (killed, the power lost) leaves its number held: it is never given again, and the next run
// to look says so once.
//
// Both files are plain text a person can read and correct while no run is on. A file that cannot be
// read as it should is refused, never rewritten.
class NumberStore {
public:
    struct Reservation {
        firmware::SerialValue value;
        QString text; // serialText(value)
    };
    // Why a value cannot be given (it does not fit the layout), or empty when it can.
    using Acceptor = std::function<QString(const firmware::SerialValue &)>;

    // A counter at `path`, made at `start` going on by `step` when it does not exist.
    static NumberStore counter(const QString &path, quint64 start, quint64 step);
    // The values of the list at `path`, one a line: hex bytes (70:B3:D5:00:12:34, 70B3D5001234)
    // when `bytes`, else decimal numbers. Those given out are recorded in usedPath(path).
    static NumberStore list(const QString &path, bool bytes);
    static QString usedPath(const QString &listPath) { return listPath + QStringLiteral(".used"); }

    // The next value, held for this process on disk; or why none can be given, with what to do.
    // A value `accept` refuses is not taken.
    std::variant<Reservation, QString> reserve(const Acceptor &accept);
    // The value reserve() would give now, without taking it.
    std::variant<Reservation, QString> peek();
    // The reserved value is in a programmed board: never given again. An error text, or empty.
    QString commit(const Reservation &reservation);
    // The board was not programmed: the value goes to the next board. An error text, or empty.
    QString release(const Reservation &reservation);
    // What was found on the way, once each: "serial 1003 was held by a run that did not end (pid
    // 4242, 10:02): skipped".
    QStringList takeNotes() { return std::exchange(notes_, {}); }

    // The file that holds the state: the counter, or the list's record.
    const QString &statePath() const { return statePath_; }
    // "the counter /var/lib/station/serials", "the list /var/lib/station/macs.txt"
    QString name() const;

private:
    enum class Kind { Counter, List };
    // A value a run holds or held, and which run.
    struct Holder {
        QString value;
        qint64 pid = 0;
        QString boot;     // the kernel's boot id when it was taken
        qint64 start = 0; // the process's start time, in clock ticks after boot
        QDateTime since;  // when it was taken
    };
    // The state file as the store understands it; written back whole.
    struct State {
        quint64 next = 0; // counter: the next number
        quint64 step = 1;
        QList<quint64> free; // counter: numbers given back, given before `next`
        QStringList used;    // list: values in programmed boards
        QList<Holder> held;
        QList<Holder> skipped;
    };
    enum class Write { No, Yes };

    NumberStore(Kind kind, QString path, QString statePath);

    // Runs `body` on the state under the lock, and writes the state back when `write` says so and
    // `body` gave no error. An error text, or empty.
    QString locked(Write write, const std::function<QString(State &)> &body);
    std::variant<State, QString> readState();
    QString writeState(const State &state) const;
    std::variant<State, QString> parse(const QByteArray &text) const;
    QByteArray format(const State &state) const;
    // The list's values, in order; or why the list cannot be read.
    std::variant<QList<firmware::SerialValue>, QString> listValues() const;
    // The value the state gives next, or why none.
    std::variant<Reservation, QString> nextOf(const State &state) const;
    // Held by runs that are gone: moved to skipped, with a note each.
    void skipAbandoned(State &state);

    Kind kind_;
    QString path_;      // the counter, or the list
    QString statePath_; // the counter, or the list's record
    quint64 start_ = 1;
    quint64 step_ = 1;
    bool bytes_ = false;
    QStringList notes_;
};
