#pragma once

#include "cli/BoardRun.h"

#include <QByteArray>
#include <QList>
#include <QString>

// The end of a command-line run: a table for the operator, JSON for scripts.

// "programmed", "no-boot-prompt", "ack-timeout", "port-error", "file-error", "interrupted".
QString resultName(int exitCode);

// One row per board, columns aligned.
QString resultTable(const QList<BoardResult> &results);

// An array with one object per board: board (from 1), device, port (or null), result, exit_code,
// lines, lines_total, bytes, seconds, and error when the run could not start.
QByteArray resultJson(const QList<BoardResult> &results);
