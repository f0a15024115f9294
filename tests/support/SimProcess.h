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

// Runs the device simulator for a test. Every wait is bounded by the timeout it is given. The
// simulator's stderr is forwarded, so --verbose logs land in the test output.
class SimProcess {
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    static QString executablePath();

    // Starts the simulator with `arguments`, adding --summary and --image in a private folder
    // unless the arguments name them, and waits for its "PTY <path>" line.
    bool start(const QStringList &arguments = {}, int timeoutMs = 5000);

    QString slavePath() const { return slavePath_; }
    QString summaryPath() const { return summaryPath_; }
    QString imagePath() const { return imagePath_; }
    // A path inside the private folder, e.g. for --link.
    QString tempPath(const QString &name) const;
    QString errorString() const { return error_; }

    // The first stdout line starting with `prefix`, waiting for it if needed.
    std::optional<QByteArray> waitForLine(QByteArrayView prefix, int timeoutMs = 5000);
    // Waits for the stdout report of completed run number `runs`.
    bool waitForRuns(int runs, int timeoutMs = 5000);
    QByteArrayList outputLines();

    // The summary JSON and image as last written, nothing when missing or unreadable.
    std::optional<QJsonObject> summary() const;
    std::optional<QByteArray> image() const;

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
    QByteArray partial_;
    QByteArrayList lines_;
    QString slavePath_;
    QString summaryPath_;
    QString imagePath_;
    QString error_;
};
