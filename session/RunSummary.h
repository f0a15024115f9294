#pragma once

#include "firmware/Format.h"
#include "session/SessionTypes.h"

#include <QByteArray>
#include <QDateTime>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QStringList>
#include <optional>

// The file a run sent, as it was when the run started.
struct FileFacts {
    QString path;
    firmware::Format format = firmware::Format::SRecords;
    qint64 size = 0;       // bytes: the whole file
    QByteArray sha256;     // of those bytes
    QByteArray sentSha256; // of what was sent: the file's bytes, or the S-records made from them
    qint64 lines = 0;      // lines a transfer sends, blank ones included
    qint64 records = 0;    // of them, well-formed S-records
};

// What the board's application said once the image was in (--expect), apart from whether the image
// went in.
struct BootCheck {
    enum class Verdict {
        Booted, // a line matched the expected greeting
        Fault,  // a line matched the fault expression
        Silent, // nothing matched within the bound
    };
    Verdict verdict = Verdict::Silent;
    QString expected;              // the expression
    QString line;                  // the line that matched; for Silent the last line said, if any
    QMap<QString, QString> groups; // the greeting's named groups
    double seconds = 0;            // from the closing "P" to the line, or to the bound
    int withinSeconds = 0;         // the bound

    bool booted() const { return verdict == Verdict::Booted; }
    // "booted", "fault", "silent": the word of the JSON, the history and the journal.
    QString word() const;
    // Why the board is not proven to boot, in a sentence; empty when it booted.
    QString note() const;
};

// One run, as a front end records it once the run has ended.
struct RunSummary {
    QString file;                   // as chosen for the run
    std::optional<FileFacts> facts; // of the snapshot the run took at its start
    qint64 linesSent = 0;
    qint64 bytesSent = 0; // line feeds included
    QDateTime started;    // UTC
    QDateTime ended;      // UTC; invalid while the run is on
    RunResult result = RunResult::Cancelled;
    EndCause cause = EndCause::Aborted;
    QString note; // what the end told the operator besides its caption: the file and the reason…
    // With an expected greeting, what the application said; none without.
    std::optional<BootCheck> boot;
    // Signs that a programmed board may not hold what it was sent, each a sentence.
    QStringList warnings;

    double seconds() const {
        return ended.isValid() ? static_cast<double>(started.msecsTo(ended)) / 1000.0 : 0.0;
    }
};

Q_DECLARE_METATYPE(RunSummary)
