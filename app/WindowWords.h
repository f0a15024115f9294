#pragma once

#include <QString>
#include <QStringList>

class QTime;

// The window's words that are not in its layout table.

// The caption's progress text ("progress: 33.3%", in the user's locale).
QString progressText(double percent);
// The window's own statuses, so that the caption never shows the last run's end or progress
// while it is no longer true: START, CANCEL, and a followed port that is away.
QString waitingRestartStatus();
QString cancelledStatus();
QString portAwayStatus();
// The entries of the file dialog's filter: every format the tool reads, the classic entry, all
// files.
QStringList firmwareFileFilters();
// Texts of the speed list, in order.
QStringList speedListItems();
// The caption's time of day: the locale's long time form without a time zone.
QString captionTime(const QTime &time);
// The user guide "Help" shows: fifteen lines joined by CR LF.
QString userGuideText();
