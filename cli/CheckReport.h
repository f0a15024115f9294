#pragma once

#include "session/FileSnapshot.h"

#include <QString>

// What --check prints on standard output for a file read as a run reads it: one "Name: value" line
// per fact (its format and, for a converted file, the S-records made from it) and the refused
// lines, ending with the verdict.
QString checkReportText(const FileSnapshot &file);

// --check's exit status: 0 when the file would be sent, the file error otherwise.
int checkExitCode(const FileSnapshot &file);
