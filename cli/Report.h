#pragma once

#include "cli/BoardRun.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The end of a command-line run, on standard output: a table for the operator, JSON for scripts.
// A row and an object carry the same facts of a board run (see resultObject).

// "programmed", "no-boot-prompt", "ack-timeout", "port-error", "file-error", "interrupted": a
// status's word for a board that never ran.
QString resultName(int exitCode);
// The board's result word: the run's, else its status's. A board not proven to boot (status 7)
// was programmed.
QString resultWord(const BoardResult &result);
// "0403:6001:A12345": the adapter's vendor, product and serial number; empty when unknown.
QString adapterText(const std::optional<AdapterIdentity> &adapter);

// A header and one row per board, columns aligned: board, device, result, boot (with --expect),
// exit status, lines sent/total, bytes, seconds, start, end, format, the SHA-256 of the file and
// of what was sent, the serial number and its address, the adapter and its socket (by-path), the
// program's version, the file and the note (the failure, or why the board is not proven to boot,
// and the warnings).
QString resultTable(const QList<BoardResult> &results);

// The table as a person at a terminal reads it, in `width` columns: board, device, result (with
// --expect "booted" or "not-booted" for a programmed board), lines sent/total, seconds and the
// start of the file's SHA-256; a device that would not fit is shortened from the left, and a
// board's notes (its failure, warnings, serial number and the application's greeting) follow its
// row on lines of their own, indented and wrapped.
QString terminalResultTable(const QList<BoardResult> &results, int width);
// The table for where it goes: for a terminal of `terminalWidth` columns, at most 80 of them;
// with 0 (a file, a pipe, or the full table asked for), every fact of a board run on one line.
QString resultTableFor(const QList<BoardResult> &results, int terminalWidth);

// One board run's object: board (counting on over a station's rounds), device, port (or null),
// file, format, sha256 (of the file), sent_sha256 (of what was sent), lines, lines_total, bytes,
// start, end (UTC, ISO 8601), seconds, result, exit_code, error (the failure in plain text, or
// null), version, serial (the board's own number as the counter or list gives it),
// serial_address, boot, warnings and adapter (see bootObject and adapterObject). What a board never
// learnt (a file it never read) is null. The names are documented in the manual page and change
// only with a note in the changelog.
QJsonObject resultObject(const BoardResult &result);
// An array with one such object per board.
QByteArray resultJson(const QList<BoardResult> &results);

// The run history's lines as a table, oldest first: start (UTC), program, device, result, exit
// status, lines sent/total, bytes, seconds, the start of the file's SHA-256, where any run had one
// the boot check's result, the adapter and the serial number with its address, and the file's path,
// last. With a `width` (a terminal's),
// a path that would not fit is shortened from the left.
QString historyTable(const QList<QJsonObject> &lines, int width = 0);
