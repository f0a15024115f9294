#pragma once

#include "session/FileCheck.h"

#include <QString>

// What --check prints on standard output for `path`, one "Name: value" line per fact and the
// refused lines, ending with the verdict.
QString checkReportText(const QString &path, const FileCheck::Report &report);

// --check's exit status: 0 when the file would be sent, the file error otherwise.
int checkExitCode(const FileCheck::Report &report);
