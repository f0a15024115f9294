#pragma once

#include "serial/SerialDevices.h"
#include "session/RunSummary.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// Where a run was made: the program that ran it, the port it ran on, and what the front end knows
// of the board.
struct RunOrigin {
    QString program; // "tarnix-pellora" (the window) or "tarnix-pellora-cli"
    QString version;
    QString device;                         // the device path opened
    int portNumber = 0;                     // 0 when the device was not given by number
    std::optional<int> exitCode;            // the command line's
    std::optional<int> board;               // the command line's board number
    QString serial;                         // the board's own number, if it was given one
    QString serialAddress;                  // where it was written
    std::optional<AdapterIdentity> adapter; // the port's USB adapter, where the kernel knows it
};

// The line the history keeps for an ended run: start, end, program, version, host, device, port,
// file, format, file_size, sha256 (of the file), sent_sha256 (of what was sent: the file's bytes,
// or the S-records made from them), records, lines_sent, lines_total, bytes_sent, result,
// exit_code, seconds, board, note (what the end told the operator, in plain text), serial,
// serial_address, boot (with --expect: result, expected, line, groups,
// seconds), warnings, adapter (vendor_id, product_id, serial, by_path). What the run never learnt
// (a port number, the window's exit code, a serial number, an adapter) is null.
QJsonObject historyLine(const RunSummary &run, const RunOrigin &origin);

// The run history: one JSON object per line in a file both front ends append to. Each line goes out
// in one write to the file opened for appending, so the lines of several writers (processes, or
// boards of one process) never interleave. Past a size limit the file becomes "<path>.1" (the one
// before is dropped) under an exclusive lock, so that two writers never both rotate. A history
// that cannot be written never fails a run: the caller reports the first failure and carries on.
class RunHistory {
public:
    static constexpr qint64 DefaultRotateBytes = 10 * 1024 * 1024;

    // $XDG_STATE_HOME/tarnix-pellora/history.jsonl, ~/.local/state/... when that is unset.
    static QString defaultPath();

    explicit RunHistory(QString path, qint64 rotateBytes = DefaultRotateBytes);

    const QString &path() const { return path_; }
    QString previousPath() const { return path_ + QStringLiteral(".1"); }

    // False when the line could not be written (the folder cannot be made, the file opened or
    // written).
    bool append(const QJsonObject &line);
    // Why the history could not be written, the first time only; empty otherwise.
    QString takeWarning();

    // The last `count` lines that hold a JSON object, oldest first, from the file and, when it has
    // fewer, the one before it. A missing file holds none; nothing (and `error` set) when the file
    // exists and cannot be read.
    static QList<QJsonObject> readLast(const QString &path, int count, QString *error = nullptr);

private:
    QString appendLine(const QByteArray &line);

    QString path_;
    qint64 rotateBytes_;
    QString warning_;
    bool failedOnce_ = false;
};

// The boot check as the JSON result and the history hold it: result ("booted", "fault",
// "silent"), expected, line, groups, seconds; null without one.
QJsonValue bootObject(const std::optional<BootCheck> &boot);
// The adapter: vendor_id, product_id, serial, by_path (null where unknown); null without one.
QJsonValue adapterObject(const std::optional<AdapterIdentity> &adapter);
