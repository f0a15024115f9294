// tarnix-pellora-cli: the window's programming session, run from a terminal.
#include "cli/CheckReport.h"
#include "cli/CliOptions.h"
#include "cli/Console.h"
#include "cli/ExitCodes.h"
#include "cli/PortList.h"
#include "cli/Programmer.h"
#include "cli/Report.h"
#include "cli/Station.h"
#include "clock/QtTimers.h"
#include "platform/SignalWatcher.h"
#include "platform/StandardDescriptors.h"
#include "session/FileSnapshot.h"
#include "session/RunHistory.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {
void print(std::FILE *stream, const QByteArray &text) {
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stream);
    std::fflush(stream);
}

// The columns of the terminal `fd` writes to; 0 when it writes elsewhere (a file, a pipe).
int terminalWidth(int fd) {
    if (::isatty(fd) != 1)
        return 0;
    struct winsize size {};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    const int columns = qEnvironmentVariableIntValue("COLUMNS");
    return columns > 0 ? columns : 80;
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
        firmware::ConversionOptions conversion = options.conversion;
        conversion.keepImage = options.serial.has_value();
        const auto file = FileSnapshot::take(options.checkFile, conversion);
        if (const QString &error = file->report.error; !error.isEmpty()) {
            print(stderr, QStringLiteral("tarnix-pellora-cli: %1\n").arg(error).toLocal8Bit());
            return ExitCode::FileError;
        }
        std::optional<NumberStore> store = numberStoreFor(options);
        std::optional<SerialCheck> serial;
        if (store)
            serial = SerialCheck{*options.serial, &*store};
        const CheckReport report = checkReport(*file, serial);
        print(stdout, report.text.toLocal8Bit());
        return report.exitCode;
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
        print(stdout, historyTable(lines, terminalWidth(STDOUT_FILENO)).toLocal8Bit());
        return 0;
    }
    case CliOptions::Action::Program:
        break;
    }

    // A reader of the JSON that goes away must not kill the run.
    std::signal(SIGPIPE, SIG_IGN);
    QtTimerFactory timers;
    Console console(Console::standardError(), Console::standardErrorIsTerminal(),
                    [&timers] { return timers.now(); });
    Programmer programmer(options, console, timers);
    // A closed terminal or a dropped ssh session (SIGHUP) ends a run as Ctrl-C does: nothing more
    // is sent, and the table, the JSON and the history are written.
    SignalWatcher interrupts({SIGINT, SIGTERM, SIGHUP});
    // The table for the stream it goes to: on a terminal one a person reads there, unless --wide.
    const int tableWidth =
        options.wide ? 0 : terminalWidth(options.json ? STDERR_FILENO : STDOUT_FILENO);
    if (options.repeat) {
        Station station(
            programmer, console, timers, STDIN_FILENO,
            [](const QByteArray &results) { print(stdout, results); }, options.json, tableWidth);
        if (options.onPlug)
            station.startOnPlug();
        QObject::connect(&interrupts, &SignalWatcher::received, &station, &Station::interrupt);
        QObject::connect(&station, &Station::finished, &app, &QCoreApplication::exit);
        QMetaObject::invokeMethod(&station, &Station::start, Qt::QueuedConnection);
        return QCoreApplication::exec();
    }
    QObject::connect(&interrupts, &SignalWatcher::received, &programmer, &Programmer::interrupt);
    QObject::connect(&programmer, &Programmer::finished, &app, &QCoreApplication::exit);
    QMetaObject::invokeMethod(&programmer, &Programmer::start, Qt::QueuedConnection);
    const int code = QCoreApplication::exec();

    // The result alone on standard output, so that "> result.txt" keeps it; with the JSON there,
    // the operator reads the table with the progress.
    const QByteArray table = resultTableFor(programmer.results(), tableWidth).toLocal8Bit();
    if (options.json) {
        print(stderr, table);
        print(stdout, resultJson(programmer.results()));
    } else {
        print(stdout, table);
    }
    return code;
}
