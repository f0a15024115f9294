#pragma once

#include "cli/BoardRun.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// The end of a command-line run: a table for the operator, JSON for scripts.

// "programmed", "no-boot-prompt", "ack-timeout", "port-error", "file-error", "interrupted".
QString resultName(int exitCode);

// One row per board, columns aligned.
QString resultTable(const QList<BoardResult> &results);

// One board's object: board (from 1), device, port (or null), result, exit_code, lines,
// lines_total, bytes, seconds, sha256 (of the file as read, or null), and error when the run could
// not start.
QJsonObject resultObject(const BoardResult &result);
// An array with one such object per board.
QByteArray resultJson(const QList<BoardResult> &results);

// The run history's lines as a table, oldest first: start (UTC), program, device, file name, the
// start of the SHA-256, result, exit code, lines and bytes sent, seconds.
QString historyTable(const QList<QJsonObject> &lines);
