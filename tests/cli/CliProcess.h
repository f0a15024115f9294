#pragma once

#include "SimProcess.h"
#include "TestFiles.h"
#include "TestPty.h"
#include "Wait.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

// The environment of a run: the caller's, less all that shapes what the program shows, which is set
// here instead: the terminal type (a "dumb" one gets no bar), the locale, no NO_COLOR, a width.
inline QProcessEnvironment runEnvironment(const QString &term = QStringLiteral("xterm-256color")) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &name : env.keys()) {
        if (name.startsWith(QLatin1String("LC_")) || name == QLatin1String("LANG") ||
            name == QLatin1String("LANGUAGE"))
            env.remove(name);
    }
    env.remove(QStringLiteral("NO_COLOR"));
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.insert(QStringLiteral("TERM"), term);
    env.insert(QStringLiteral("COLUMNS"), QStringLiteral("80"));
    env.insert(QStringLiteral("LINES"), QStringLiteral("24"));
    return env;
}

// One run of tarnix-pellora-cli; every wait is bounded.
class Cli {
public:
    explicit Cli(const QStringList &arguments, const QString &stderrFile = {},
                 const QProcessEnvironment &environment = runEnvironment(),
                 const QString &stdoutFile = {}) {
        if (!stderrFile.isEmpty())
            process_.setStandardErrorFile(stderrFile);
        if (!stdoutFile.isEmpty())
            process_.setStandardOutputFile(stdoutFile);
        process_.setProcessEnvironment(environment);
        process_.start(QStringLiteral(PELLORA_CLI_PATH), arguments);
        process_.waitForStarted(5000);
    }
    ~Cli() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            waitForEnd(process_, 3000);
        }
    }

    bool waitForError(QByteArrayView text, int timeoutMs) {
        return waitUntil(
            [&] {
                err += process_.readAllStandardError();
                return err.contains(text);
            },
            timeoutMs);
    }
    bool isRunning() const { return process_.state() != QProcess::NotRunning; }
    void signal(int number) { ::kill(static_cast<pid_t>(process_.processId()), number); }
    // What the operator types.
    void type(const QByteArray &text) {
        process_.write(text);
        process_.waitForBytesWritten(1000);
    }

    // The exit status, or -1 when it did not end by itself in time.
    int finish(int timeoutMs = 30'000) {
        const bool ended = waitForEnd(process_, timeoutMs);
        err += process_.readAllStandardError();
        out += process_.readAllStandardOutput();
        if (!ended || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }
    QJsonArray json() const { return QJsonDocument::fromJson(out).array(); }

    QByteArray out;
    QByteArray err;

private:
    QProcess process_;
};

// What the command line's tests share: simulators started in turn and files in a scratch folder.
class CliRig : public ::testing::Test, public ScratchFolder {
protected:
    SimProcess &startSim(const QStringList &extra = {}) {
        sims.push_back(std::make_unique<SimProcess>());
        SimProcess &sim = *sims.back();
        EXPECT_TRUE(
            sim.start(QStringList{QStringLiteral("--boot-delay"), QStringLiteral("50")} + extra))
            << sim.errorString().toStdString();
        return sim;
    }

    std::vector<std::unique_ptr<SimProcess>> sims;
};
