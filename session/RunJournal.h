#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <memory>
#include <utility>

// One ended run as an entry of the system journal, where a fleet's collector finds it: the fields
// of its run history line as PELLORA_* fields, a MESSAGE a person reads in journalctl, a MESSAGE_ID
// for each kind of end (documented in the message catalog the package installs, so that
// journalctl -x explains the entry) and a PRIORITY.

// A field as the journal takes it: a name of upper-case letters, digits and underscores, and any
// bytes. A name may come more than once (PELLORA_WARNING).
using JournalField = std::pair<QByteArray, QByteArray>;

struct JournalEntry {
    QList<JournalField> fields;
    // The first value of `name`; empty when there is none.
    QByteArray value(QByteArrayView name) const;
};

// The kinds of end, by their MESSAGE_ID.
namespace JournalMessageId {
inline constexpr char Programmed[] = "2a144cee3f80452fb05870e0fd2df2cf";
inline constexpr char NotProvenToBoot[] = "b34cabe0d09446d6863fc24d34d2045b";
inline constexpr char AckTimeout[] = "30ef85be013541ccb6f8002eb33dfdf2";
inline constexpr char NoBootPrompt[] = "1181b63c1b5a4e63abca06ea8249b6f7";
inline constexpr char Cancelled[] = "ad1b6f1b7d494ccfb5ff8acf5b80cdc9";
inline constexpr char PortError[] = "7745de3e9b2c497cb27abcf0d4f0f2b5";
inline constexpr char FileError[] = "25a01c8defb24df0b29e1c2266dc6b8f";
} // namespace JournalMessageId

// The entry of a run from its history line (see historyLine).
JournalEntry journalEntry(const QJsonObject &historyLine);

// Where entries go: the system journal, or a test's record.
class JournalSink {
public:
    virtual ~JournalSink() = default;
    // Whether a journal is there to take entries; none is sent where none is (a container, a host
    // without systemd), and that is no failure.
    virtual bool available() = 0;
    // An error text, or empty.
    virtual QString send(const JournalEntry &entry) = 0;
};

// The journal of a front end's runs: each ended run's entry, sent at once and never waited for.
// A run is never failed by the journal; the first failure to send is reported once.
class RunJournal {
public:
    // `sink`: null sends nothing (--no-journal, Journal=false).
    explicit RunJournal(std::unique_ptr<JournalSink> sink) : sink_(std::move(sink)) {}

    void record(const QJsonObject &historyLine);
    // Why an entry could not be sent, the first time only; empty otherwise.
    QString takeWarning() { return std::exchange(warning_, QString()); }

private:
    std::unique_ptr<JournalSink> sink_;
    QString warning_;
    bool failedOnce_ = false;
};
