#pragma once

#include <QString>
#include <QStringList>

// The command line's bash completion, driven as bash drives it: the completion file sourced, the
// command line's words in COMP_WORDS, the index of the word being completed in COMP_CWORD, the
// completion function called and COMPREPLY read back.
struct CompletionResult {
    QStringList replies;
    QString errors; // what bash printed on stderr
};

// `words` starts with the program's name and ends with the word being completed; file names are
// completed in `workingDir` (the test's own folder when empty).
CompletionResult bashComplete(const QStringList &words, const QString &workingDir = {});

// The serial devices the completion offers for a /dev and a /sys folder.
CompletionResult bashCompletionDevices(const QString &devRoot, const QString &sysRoot);
