#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

// The device simulator for the fault rows. Unlike SimProcess it keeps the simulator's own log
// (--verbose): the summary only describes the latest run, and a run that a fault cut short is
// replaced by the next one, so the malformed lines of every run are counted from the log instead.
class DeviceSim {
public:
    DeviceSim() = default;
    ~DeviceSim();
    DeviceSim(const DeviceSim &) = delete;
    DeviceSim &operator=(const DeviceSim &) = delete;

    // Starts the simulator with `arguments`, linked at `link` (which may already hold a link of an
    // earlier simulator), and waits for its pty.
    bool start(const QString &link, const QStringList &arguments = {});
    QString slavePath() const { return slavePath_; }
    QString errorString() const { return error_; }

    // Lines the device found malformed, in every run so far.
    int badLines();
    // Lines the device took in, good or bad, in every run so far.
    int linesReceived();
    // Runs the device completed so far.
    int completedRuns();
    // Waits for the report of completed run number `runs`.
    bool waitForRuns(int runs, int timeoutMs = 5000);
    // The image programmed by the latest completed run.
    std::optional<QByteArray> image() const;

    bool running() const { return process_.state() != QProcess::NotRunning; }
    bool waitForExit(int timeoutMs = 5000);
    int exitCode() const;
    // SIGTERM and a bounded wait (SIGKILL after it).
    void stop();

    // The simulator's log so far, for failure messages.
    QString log();

private:
    void collect();

    QTemporaryDir dir_;
    QProcess process_;
    QByteArray out_;
    QByteArray err_;
    QString slavePath_;
    QString error_;
};
