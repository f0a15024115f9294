#pragma once

#include "numbers/NumberStore.h"
#include "session/FileSnapshot.h"

#include <QString>

// With --serial: where the next board's number would go, and where it comes from.
struct SerialCheck {
    firmware::SerialLayout layout;
    NumberStore *store = nullptr;
};

// What --check prints on standard output for a file read as a run reads it: one "Name: value" line
// per fact (its format and, for a converted file, the S-records made from it) and the refused
// lines; with `serial`, the number the next board would get and every line it changes, nothing
// reserved; ending with the verdict. And its exit status: 0 when the file would be sent (with the
// next board's number, when one is asked for), the file error otherwise.
struct CheckReport {
    QString text;
    int exitCode = 0;
};
CheckReport checkReport(const FileSnapshot &file, const std::optional<SerialCheck> &serial = {});
