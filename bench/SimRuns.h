#pragma once

// Shared by the benchmarks that time a transfer against the device simulator: the image, the
// simulator's start and verdict, and the bare sender every front end is compared with.
#include "SimProcess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtGlobal>
#include <vector>

// The simulator's restart into its bootloader, short so that the fixed part of a run stays small.
inline constexpr int BootDelayMs = 20;

// CPU time of this process: unlike wall time, not inflated when other processes take the cores.
double cpuSeconds();

struct Timing {
    bool ok = false;
    double seconds = 0;
    double cpu = 0; // of the sender, over the same span
    qint64 lines = 0;
    qint64 bytes = 0; // file bytes and line feeds sent
    // When each line was handed over, in ns on one steady clock; filled where the sender can be
    // watched.
    std::vector<qint64> lineNs;
};

// S3 records of `perRecord` random bytes (the same bytes on every call) at 0x08000000, an S7 end,
// and an S0 first with `header`.
QList<QByteArray> makeLines(qint64 dataBytes, int perRecord, bool header = false);
// The lines, each with a line feed, as image.srec in `dir`; empty when it cannot be written.
QString writeLines(const QTemporaryDir &dir, const QList<QByteArray> &lines);

// Starts the simulator with a short boot delay added to `arguments`; says why on stderr if not.
bool startSim(SimProcess &sim, QStringList arguments);
// The device completed a run of exactly `lines` lines, none malformed.
bool deviceHappy(SimProcess &sim, qint64 lines);

// How the bare sender waits for a line's ".".
enum class BareWait {
    BlockingRead, // the reference: the least a sender can do
    // poll() on the tty, then a read: what any program built on an event loop does, the least such
    // a program can do
    PollThenRead,
    // Qt's event loop: a socket notifier on the tty, the next line written from its handler, and
    // a 3 s watchdog restarted on each answer: the least a program built on Qt can do
    QtEventLoop,
};

// The reference: a bare sender on the raw tty of a fresh simulator, one write per line, then a
// wait for its ".". Timed from the first line written to the last "." read.
Timing runBareSender(const QList<QByteArray> &lines, const QStringList &simArguments,
                     BareWait wait = BareWait::BlockingRead);

double median(std::vector<double> values);

struct Gaps {
    double medianMs = 0;
    double longestMs = 0;
};
// The intervals between consecutive times of `ns`.
Gaps gapsBetween(const std::vector<qint64> &ns);
