#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <optional>

// Runs the device simulator for a test or a benchmark. Every wait is bounded by the timeout it is
// given and processes Qt events meanwhile, so a window or session in the same process keeps
// running. Without --verbose the simulator's stderr is forwarded to the caller's; with it, the log
// is kept for log(), badLines() and linesReceived().
class SimProcess {
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    static QString executablePath();

    // Starts the simulator with `arguments`, adding --summary and --image in a private folder
    // unless the arguments name them, and waits for the line naming its line ("PTY <path>",
    // "SOCKET <path>" or "TTY <path>").
    bool start(const QStringList &arguments = {}, int timeoutMs = 5000);

    // The pty's first slave (see waitForPlug for later ones); empty when the simulator was given a
    // socket or a tty.
    QString slavePath() const { return slavePath_; }
    QString summaryPath() const { return summaryPath_; }
    QString imagePath() const { return imagePath_; }
    // A path inside the private folder, e.g. for --link.
    QString tempPath(const QString &name) const;
    QString errorString() const { return error_; }

    // The first stdout line starting with `prefix`, waiting for it if needed.
    std::optional<QByteArray> waitForLine(QByteArrayView prefix, int timeoutMs = 5000);
    // The same for the `n`-th such line, counting from 1.
    std::optional<QByteArray> waitForNthLine(QByteArrayView prefix, int n, int timeoutMs = 5000);
    // The slave of the pty that came back after replug number `replug` ("PLUGGED <path>").
    std::optional<QString> waitForPlug(int replug, int timeoutMs = 5000);
    // How long after a pty came back the host's first probe on it came, in ms as the device saw
    // it, from the `n`-th such report ("FIRST_PROBE_AFTER_PLUG_MS <ms>"; a port never probed
    // has none).
    std::optional<int> waitForFirstProbeAfterPlug(int n, int timeoutMs = 5000);
    // Waits for the stdout report of completed run number `runs`.
    bool waitForRuns(int runs, int timeoutMs = 5000);
    // Runs completed so far, from the stdout reports.
    int completedRuns();
    QByteArrayList outputLines();

    // The summary JSON and image as last written, nothing when missing or unreadable.
    std::optional<QJsonObject> summary() const;
    std::optional<QByteArray> image() const;

    // From the --verbose log. The summary describes the latest run only, and a run that a fault
    // cut short is replaced by the next one, so these count over every run so far.
    // Lines the device found malformed.
    int badLines();
    // Lines the device took in, good or bad.
    int linesReceived();
    // The end of the log, for failure messages.
    QString log();

    bool isRunning() const;
    bool waitForExit(int timeoutMs = 5000);
    // Exit status after a normal exit, -1 while running or after a crash.
    int exitCode() const;
    // SIGTERM, a bounded wait, then SIGKILL. True when it exited by itself with status 0.
    bool stop(int timeoutMs = 3000);

private:
    void collectOutput();

    QTemporaryDir dir_;
    std::unique_ptr<QProcess> process_;
    bool keepLog_ = false;
    QByteArray partial_;
    QByteArrayList lines_;
    QByteArray log_;
    QString slavePath_;
    QString summaryPath_;
    QString imagePath_;
    QString error_;
};
