// tarnix-pellora-cli: the window's programming session, run from a terminal.
#include "cli/CheckReport.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/PortList.h"
#include "cli/Programmer.h"
#include "cli/Report.h"
#include "cli/Station.h"
#include "platform/SignalWatcher.h"
#include "platform/StandardDescriptors.h"
#include "session/RunHistory.h"

#include <QCoreApplication>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {
void print(std::FILE *stream, const QByteArray &text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fflush(stream);
}
} // namespace

int main(int argc, char *argv[]) {
    reopenClosedStandardDescriptors();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarnix-pellora-cli"));
    QCoreApplication::setOrganizationName(QStringLiteral("Tarnix"));

    const ParsedArguments parsed = parseArguments(QCoreApplication::arguments());
    if (!parsed.options) {
        print(stderr, QStringLiteral("tarnix-pellora-cli: %1\nTry 'tarnix-pellora-cli --help'.\n")
                          .arg(parsed.error)
                          .toLocal8Bit());
        return ExitCode::Usage;
    }
    const CliOptions &options = *parsed.options;
    switch (options.action) {
    case CliOptions::Action::Help:
        print(stdout, usageText().toLocal8Bit());
        return 0;
    case CliOptions::Action::Version:
        print(stdout, versionText().toLocal8Bit());
        return 0;
    case CliOptions::Action::ListPorts:
        print(stdout, portListing().toLocal8Bit());
        return 0;
    case CliOptions::Action::Check: {
        // The file read and judged exactly as a run reads and judges it at its start.
        const FileCheck::Report report = FileCheck::check(options.checkFile);
        if (!report.error.isEmpty()) {
            print(stderr,
                  QStringLiteral("tarnix-pellora-cli: %1\n").arg(report.error).toLocal8Bit());
            return ExitCode::FileError;
        }
        print(stdout, checkReportText(options.checkFile, report).toLocal8Bit());
        return checkExitCode(report);
    }
    case CliOptions::Action::History: {
        QString error;
        const QList<QJsonObject> lines =
            RunHistory::readLast(options.historyPath, options.historyCount, &error);
        if (!error.isEmpty()) {
            print(stderr, QStringLiteral("tarnix-pellora-cli: %1\n").arg(error).toLocal8Bit());
            return ExitCode::FileError;
        }
        if (lines.isEmpty()) {
            print(
                stderr,
                QStringLiteral("No runs recorded in %1\n").arg(options.historyPath).toLocal8Bit());
            return 0;
        }
        print(stdout, historyTable(lines).toLocal8Bit());
        return 0;
    }
    case CliOptions::Action::Program:
        break;
    }

    // A reader of the JSON that goes away must not kill the run.
    std::signal(SIGPIPE, SIG_IGN);
    Console console(Console::standardError(), Console::standardErrorIsTerminal());
    Programmer programmer(options, console);
    // A closed terminal or a dropped ssh session (SIGHUP) ends a run as Ctrl-C does: nothing more
    // is sent, and the table, the JSON and the history are written.
    SignalWatcher interrupts({SIGINT, SIGTERM, SIGHUP});
    if (options.repeat) {
        Station station(programmer, console, STDIN_FILENO,
                        options.json
                            ? Station::Sink([](const QByteArray &line) { print(stdout, line); })
                            : Station::Sink());
        QObject::connect(&interrupts, &SignalWatcher::received, &station, &Station::interrupt);
        QObject::connect(&station, &Station::finished, &app, &QCoreApplication::exit);
        QTimer::singleShot(0, &station, &Station::start);
        return QCoreApplication::exec();
    }
    QObject::connect(&interrupts, &SignalWatcher::received, &programmer, &Programmer::interrupt);
    QObject::connect(&programmer, &Programmer::finished, &app, &QCoreApplication::exit);
    QTimer::singleShot(0, &programmer, &Programmer::start);
    const int code = QCoreApplication::exec();

    print(stderr, resultTable(programmer.results()).toLocal8Bit());
    if (options.json)
        print(stdout, resultJson(programmer.results()));
    return code;
}
