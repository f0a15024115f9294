#pragma once

#include <QString>
#include <QStringList>

class QTime;

// The window's words that are not in its layout table.

// The caption's progress text ("progress: 33.3%", in the user's locale).
QString progressText(double percent);
// Texts of the speed list, in order.
QStringList speedListItems();
// The caption's time of day: the locale's long time form without a time zone.
QString captionTime(const QTime &time);
// The user guide "Help" shows: fifteen lines joined by CR LF.
QString userGuideText();
