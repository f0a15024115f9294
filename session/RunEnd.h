#pragma once

#include "session/SessionTypes.h"

#include <QString>
#include <optional>

// What the operator is told of a run's end, by its cause: one row each, which the session shows and
// every front end words the same (the window, the command line, the desktop notification, the run
// history).
struct RunEnd {
    // What becomes of the start button, which read CANCEL or counted down.
    enum class StartButton {
        Keep,          // as it was (it was enabled as CANCEL)
        Enable,        // enabled
        EnableIfReady, // enabled exactly when the port is open and a file is chosen
        OnlyIfReady,   // enabled when the port is open and a file is chosen, else left as it was
    };

    RunResult result;
    std::optional<Stage> stage; // the status line the end leaves; none keeps what it showed
    bool dotTimeoutBox;         // the critical box DotTimeoutText
    const char *fixedNote;      // the end's own note; null: the run's note, if any
    bool noteOnTop;             // the note goes to the top of the log, not at its end
    StartButton startButton;
    // The end in a line, for a notification or a summary ("Programming FAILLED"); null: an end
    // the operator made and needs no word about.
    const char *summary;

    // The note shown: the fixed one, with the run's own on a line of its own after it.
    QString note(const QString &runNote) const {
        if (!fixedNote)
            return runNote;
        const QString fixed = QString::fromUtf8(fixedNote);
        return runNote.isEmpty() ? fixed : fixed + QLatin1Char('\n') + runNote;
    }
    // Why, in a line, for a notification: the box's text, else the note.
    QString reason(const QString &runNote) const {
        return dotTimeoutBox ? QString::fromLatin1(DotTimeoutText) : note(runNote);
    }

    static constexpr const char *ProgrammedText = "PROGRAMMED";
    static constexpr const char *NotBootedText = "PROGRAMMED, not proven to boot";
    static constexpr const char *FailedText = "Programming FAILLED";
    static constexpr const char *DotTimeoutText = "Error: DOT Timeout";
    static constexpr const char *NoBootPromptText = "Restart to bootprogram failled!";
    // Put at the top of the log by CANCEL: two lines.
    static constexpr const char *CancelText =
        "Ohjelmointi keskeytetty! Ole hyvä ja ohjelmoi laite uudelleen.\n"
        "Kytke laitteesta virrat pois ja takasin päälle!";
};

const RunEnd &runEnd(EndCause cause);
