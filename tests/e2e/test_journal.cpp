// Runs of both programs in the system journal, then carried to a collector as docs/fleet.md sets
// one up: systemd-journal-upload to systemd-journal-remote on the loopback, where they arrive with
// their fields intact; and the message catalog that explains each kind of entry. Where the machine
// runs no journal the test starts journald for its own use, which takes root.
#include "CliProcess.h"
#include "SettingsFile.h"
#include "WindowRig.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const QString JournalSocket = QStringLiteral("/run/systemd/journal/socket");
const QString Systemd = QStringLiteral("/lib/systemd/");

// A program's standard output, or nothing when it fails.
std::optional<QByteArray> output(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!waitForEnd(process, 30'000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}

// The entries of a journal (the system's, or the file `file`) that name `firmware`.
QList<QJsonObject> entries(const QString &firmware, const QString &file = {}) {
    QStringList arguments = {QStringLiteral("-o"), QStringLiteral("json"),
                             QStringLiteral("--no-pager"),
                             QStringLiteral("PELLORA_FILE=") + firmware};
    if (!file.isEmpty())
        arguments.prepend(QStringLiteral("--file=") + file);
    QList<QJsonObject> found;
    const auto text = output(QStringLiteral("journalctl"), arguments);
    for (const QByteArray &line : text.value_or(QByteArray()).split('\n'))
        if (const QJsonDocument entry = QJsonDocument::fromJson(line); entry.isObject())
            found << entry.object();
    return found;
}

// Whether journald takes datagrams at its socket: a socket left by one that ended takes none.
bool journalListens() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = JournalSocket.toLocal8Bit();
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const bool listens = ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return listens;
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

class Journal : public WindowRig {
protected:
    void SetUp() override {
        WindowRig::SetUp();
        for (const char *tool :
             {"systemd-journald", "systemd-journal-remote", "systemd-journal-upload"})
            if (!QFileInfo::exists(Systemd + QString::fromLatin1(tool)))
                GTEST_SKIP() << tool << " is not installed (scripts/install-deps.sh --test)";
        if (!journalListens()) {
            if (::geteuid() != 0)
                GTEST_SKIP() << "no journal runs here, and starting one takes root";
            journald.start(Systemd + QStringLiteral("systemd-journald"), {});
            startedJournal = true;
            ASSERT_TRUE(waitUntil(journalListens, 10'000));
        }
        if (!output(QStringLiteral("journalctl"), {QStringLiteral("-n"), QStringLiteral("0")}))
            GTEST_SKIP() << "the journal cannot be read by this user";
    }
    void TearDown() override {
        for (QProcess *process : {&upload, &remote, &journald}) {
            process->terminate();
            waitForEnd(*process, 5000);
        }
        // The journal this test started leaves no socket behind: the programs would take it for one
        // that runs.
        if (startedJournal)
            for (const char *socket : {"socket", "stdout", "dev-log"})
                QFile::remove(QStringLiteral("/run/systemd/journal/") +
                              QString::fromLatin1(socket));
        WindowRig::TearDown();
    }

    QProcess journald, remote, upload;
    bool startedJournal = false;
};

} // namespace

TEST_F(Journal, bothProgramsRunsReachTheJournalAndACollectorWithTheirFields) {
    // Both programs read this settings file; the tests' own keep their runs out of the journal.
    storeSetting(QStringLiteral("History/Journal"), QStringLiteral("true"));
    const QString firmware = writeFile(srec(randomData(512, 51)), QStringLiteral("fleet.srec"));
    // Where the collector takes over: after what the journal held before these runs.
    const QByteArray before =
        output(QStringLiteral("journalctl"), {QStringLiteral("-n"), QStringLiteral("1"),
                                              QStringLiteral("-o"), QStringLiteral("json")})
            .value_or(QByteArray());
    const QString cursor = QJsonDocument::fromJson(before.trimmed())
                               .object()
                               .value(QStringLiteral("__CURSOR"))
                               .toString();

    // The command line: one board programmed with --no-journal (first, so that an entry it sent
    // would be among those read below), one programmed, one that stops answering.
    const struct {
        QStringList device, options;
        int exitCode;
    } boards[] = {
        {{}, {QStringLiteral("--no-journal")}, 0},
        {{},
         {QStringLiteral("--serial"), QStringLiteral("0x08000000:le:4"),
          QStringLiteral("--serial-counter"), path(QStringLiteral("counter")),
          QStringLiteral("--serial-start"), QStringLiteral("1003")},
         0},
        {{QStringLiteral("--stop-ack-after"), QStringLiteral("5")}, {}, 4},
    };
    for (const auto &board : boards) {
        SimProcess device;
        ASSERT_TRUE(device.start(board.device));
        Cli cli(QStringList{QStringLiteral("--device"), device.slavePath(),
                            QStringLiteral("--file"), firmware, QStringLiteral("--speed"),
                            QStringLiteral("auto"), QStringLiteral("--no-history")} +
                board.options);
        EXPECT_EQ(cli.finish(), board.exitCode) << cli.err.toStdString();
    }
    // The window: one board programmed.
    startDevice();
    openWindow();
    choose(firmware);
    ASSERT_EQ(run(), Programmed);

    QList<QJsonObject> sent;
    ASSERT_TRUE(waitUntil([&] { return (sent = entries(firmware)).size() == 3; }, 10'000))
        << sent.size() << " entries";
    const struct {
        const char *program, *result, *exit, *priority, *id;
    } expected[] = {
        {"tarnix-pellora-cli", "programmed", "0", "5", JournalMessageId::Programmed},
        {"tarnix-pellora-cli", "ack-timeout", "4", "3", JournalMessageId::AckTimeout},
        {"tarnix-pellora", "programmed", nullptr, "5", JournalMessageId::Programmed},
    };
    for (qsizetype i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const QJsonObject &entry = sent[i];
        const auto field = [&](const char *name) {
            return entry.value(QLatin1String(name)).toString();
        };
        EXPECT_EQ(field("SYSLOG_IDENTIFIER"), QLatin1String(expected[i].program));
        EXPECT_EQ(field("PELLORA_RESULT"), QLatin1String(expected[i].result));
        EXPECT_EQ(field("PELLORA_EXIT"), QLatin1String(expected[i].exit ? expected[i].exit : ""));
        EXPECT_EQ(field("PRIORITY"), QLatin1String(expected[i].priority));
        EXPECT_EQ(field("MESSAGE_ID"), QLatin1String(expected[i].id));
        EXPECT_EQ(field("PELLORA_SHA256").size(), 64);
        EXPECT_TRUE(field("MESSAGE").contains(QStringLiteral("fleet.srec")))
            << field("MESSAGE").toStdString();
    }
    EXPECT_TRUE(sent[1]
                    .value(QStringLiteral("PELLORA_NOTE"))
                    .toString()
                    .contains(QStringLiteral("then fell silent")));

    // The collector on the loopback, and the station's uploader pointed at it.
    const int port = freePort();
    const QString collected = path(QStringLiteral("remote/fleet.journal"));
    QDir().mkpath(path(QStringLiteral("remote")));
    remote.start(Systemd + QStringLiteral("systemd-journal-remote"),
                 {QStringLiteral("--listen-http=127.0.0.1:%1").arg(port),
                  QStringLiteral("--split-mode=none"), QStringLiteral("--output=") + collected});
    ASSERT_TRUE(remote.waitForStarted());
    const QString state = path(QStringLiteral("upload.state"));
    if (!cursor.isEmpty())
        writeFileAt(state, "LAST_CURSOR=" + cursor.toUtf8() + '\n');
    QStringList uploadArguments = {QStringLiteral("--url=http://127.0.0.1:%1").arg(port),
                                   QStringLiteral("--save-state=") + state};
    // Give the collector its moment to listen.
    ASSERT_TRUE(waitUntil(
        [&] {
            upload.start(Systemd + QStringLiteral("systemd-journal-upload"), uploadArguments);
            return !waitForEnd(upload, 1000);
        },
        10'000));
    QList<QJsonObject> arrived;
    ASSERT_TRUE(waitUntil(
        [&] {
            return QFileInfo::exists(collected) &&
                   (arrived = entries(firmware, collected)).size() == 3;
        },
        30'000))
        << arrived.size() << " entries at the collector";
    for (qsizetype i = 0; i < 3; ++i) {
        for (auto it = sent[i].begin(); it != sent[i].end(); ++it) {
            if (it.key().startsWith(QLatin1String("PELLORA_")) ||
                it.key() == QLatin1String("MESSAGE") || it.key() == QLatin1String("MESSAGE_ID")) {
                EXPECT_EQ(arrived[i].value(it.key()), it.value()) << it.key().toStdString();
            }
        }
    }

    // docs/fleet.md's questions, on the collected journal.
    const auto count = [&](const QStringList &match) {
        return output(QStringLiteral("journalctl"),
                      QStringList{QStringLiteral("--file=") + collected, QStringLiteral("-o"),
                                  QStringLiteral("cat"), QStringLiteral("--no-pager")} +
                          match)
            .value_or(QByteArray())
            .count('\n');
    };
    EXPECT_EQ(count({QStringLiteral("PELLORA_FILE=") + firmware, QStringLiteral("PRIORITY=3")}), 1)
        << "every failure";
    EXPECT_EQ(count({QStringLiteral("PELLORA_SHA256=") +
                     sent[0].value(QStringLiteral("PELLORA_SHA256")).toString()}),
              3)
        << "every run of one file";
    EXPECT_EQ(
        count({QStringLiteral("PELLORA_FILE=") + firmware, QStringLiteral("PELLORA_SERIAL=1003")}),
        1)
        << "the board that got serial 1003";
    EXPECT_EQ(
        count({QStringLiteral("PELLORA_FILE=") + firmware,
               QStringLiteral("_HOSTNAME=") + sent[0].value(QStringLiteral("_HOSTNAME")).toString(),
               QStringLiteral("MESSAGE_ID=") + QString::fromLatin1(JournalMessageId::Programmed)}),
        2)
        << "this station's programmed runs";

    // The catalog explains each kind of entry.
    const QString root = path(QStringLiteral("root"));
    QDir().mkpath(root + QStringLiteral("/usr/lib/systemd/catalog"));
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(PELLORA_CATALOG_PATH),
                    root + QStringLiteral("/usr/lib/systemd/catalog/tarnix-pellora.catalog")));
    ASSERT_TRUE(output(QStringLiteral("journalctl"),
                       {QStringLiteral("--root=") + root, QStringLiteral("--update-catalog")}));
    for (const char *id :
         {JournalMessageId::Programmed, JournalMessageId::NotProvenToBoot,
          JournalMessageId::AckTimeout, JournalMessageId::NoBootPrompt, JournalMessageId::Cancelled,
          JournalMessageId::PortError, JournalMessageId::FileError})
        EXPECT_TRUE(output(QStringLiteral("journalctl"),
                           {QStringLiteral("--root=") + root, QStringLiteral("--dump-catalog"),
                            QString::fromLatin1(id)})
                        .value_or(QByteArray())
                        .contains("Subject: "))
            << id;
}
