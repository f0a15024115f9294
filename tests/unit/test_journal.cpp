// A run's entry in the system journal, for each kind of end: its words, its id, its priority, and
// the history line's facts as PELLORA_* fields; and a journal that is not there, or refuses.
#include "session/RunEnd.h"
#include "session/RunHistory.h"
#include "session/RunJournal.h"

#include <gtest/gtest.h>

namespace {

struct RecordingSink final : JournalSink {
    bool available() override { return there; }
    QString send(const JournalEntry &entry) override {
        sent << entry;
        return refusal;
    }
    bool there = true;
    QString refusal;
    QList<JournalEntry> sent;
};

} // namespace

TEST(RunJournal, eachKindOfEndHasItsWordsIdAndPriorityAndTheHistorysFacts) {
    RunSummary run;
    run.file = QStringLiteral("/builds/app.hex");
    run.started = QDateTime::fromString(QStringLiteral("2030-01-02T03:04:05Z"), Qt::ISODate);
    run.ended = run.started.addMSecs(41'200);
    run.linesSent = 515;
    const RunOrigin cli{
        .program = QStringLiteral("tarnix-pellora-cli"),
        .version = QStringLiteral("0.1.0"),
        .device = QStringLiteral("/dev/ttyUSB0"),
        .portNumber = 0,
        .exitCode = 0,
        .board = 2,
        .serial = QStringLiteral("1003"),
        .serialAddress = QStringLiteral("0x0800FFF0"),
        .adapter = AdapterIdentity{
            QStringLiteral("0403"), QStringLiteral("6001"), QStringLiteral("A1B2"), {}}};
    BootCheck fault;
    fault.verdict = BootCheck::Verdict::Fault;
    fault.line = QStringLiteral("HardFault at 0x08001234");
    BootCheck booted;
    booted.verdict = BootCheck::Verdict::Booted;
    booted.groups = {{QStringLiteral("version"), QStringLiteral("2.4.1")}};
    const struct {
        EndCause cause;
        QString note;
        int exitCode;
        std::optional<BootCheck> boot;
        const char *message;
        const char *id;
        const char *priority;
    } cases[] = {
        {EndCause::Booted,
         {},
         0,
         booted,
         "PROGRAMMED /dev/ttyUSB0 app.hex serial 1003 in 41.2 s",
         JournalMessageId::Programmed,
         "5"},
        {EndCause::NotBooted, fault.note(), 7, fault,
         "PROGRAMMED, not proven to boot /dev/ttyUSB0 app.hex serial 1003: Programmed, but the "
         "application reported a fault: \"HardFault at 0x08001234\"",
         JournalMessageId::NotProvenToBoot, "4"},
        {EndCause::AckTimeout,
         QStringLiteral("The device answered 99 of 515 lines (100 sent), then fell silent"),
         4,
         {},
         "Programming FAILLED /dev/ttyUSB0 app.hex serial 1003: The device answered 99 of 515 "
         "lines "
         "(100 sent), then fell silent",
         JournalMessageId::AckTimeout,
         "3"},
        {EndCause::NoBootPrompt,
         {},
         3,
         {},
         "Restart to bootprogram failled! /dev/ttyUSB0 app.hex serial 1003",
         JournalMessageId::NoBootPrompt,
         "3"},
        {EndCause::Aborted,
         {},
         130,
         {},
         "Cancelled /dev/ttyUSB0 app.hex serial 1003",
         JournalMessageId::Cancelled,
         "5"},
        {EndCause::PortLost,
         QStringLiteral("/dev/ttyUSB0: the device disappeared"),
         5,
         {},
         "Programming FAILLED /dev/ttyUSB0 app.hex serial 1003: /dev/ttyUSB0: the device "
         "disappeared",
         JournalMessageId::PortError,
         "3"},
        {EndCause::FileError,
         QStringLiteral("File refused: line 3 is not a valid S-record"),
         6,
         {},
         "Programming FAILLED /dev/ttyUSB0 app.hex serial 1003: File refused: line 3 is not a "
         "valid S-record",
         JournalMessageId::FileError,
         "3"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        run.cause = c.cause;
        run.result = runEnd(c.cause).result;
        run.note = c.note;
        run.boot = c.boot;
        run.warnings = c.cause == EndCause::Booted
                           ? QStringList{QStringLiteral("first"), QStringLiteral("second")}
                           : QStringList{};
        RunOrigin origin = cli;
        origin.exitCode = c.exitCode;
        const JournalEntry entry = journalEntry(historyLine(run, origin));
        EXPECT_EQ(entry.value("MESSAGE"), QByteArray(c.message));
        EXPECT_EQ(entry.value("MESSAGE_ID"), QByteArray(c.id));
        EXPECT_EQ(entry.value("PRIORITY"), QByteArray(c.priority));
        EXPECT_EQ(entry.value("SYSLOG_IDENTIFIER"), "tarnix-pellora-cli");
        EXPECT_EQ(entry.value("PELLORA_RESULT"), toString(run.result).toUtf8());
        EXPECT_EQ(entry.value("PELLORA_EXIT"), QByteArray::number(c.exitCode));
        EXPECT_EQ(entry.value("PELLORA_BOARD"), "2");
        EXPECT_EQ(entry.value("PELLORA_LINES_SENT"), "515");
        EXPECT_EQ(entry.value("PELLORA_SECONDS"), "41.200");
        EXPECT_EQ(entry.value("PELLORA_SERIAL"), "1003");
        EXPECT_EQ(entry.value("PELLORA_ADAPTER_VENDOR_ID"), "0403");
        EXPECT_TRUE(entry.value("PELLORA_ADAPTER_BY_PATH").isEmpty()) << "a null is no field";
        EXPECT_EQ(entry.value("PELLORA_BOOT_RESULT"), c.boot ? c.boot->word().toUtf8() : "");
    }
    // The greeting's groups, and a field a warning.
    run.cause = EndCause::Booted;
    run.result = RunResult::Programmed;
    run.boot = booted;
    run.warnings = {QStringLiteral("first"), QStringLiteral("second")};
    const JournalEntry entry = journalEntry(historyLine(run, cli));
    EXPECT_EQ(entry.value("PELLORA_BOOT_VERSION"), "2.4.1");
    EXPECT_EQ(std::count(entry.fields.begin(), entry.fields.end(),
                         JournalField{"PELLORA_WARNING", "second"}),
              1);
}

TEST(RunJournal, noJournalIsNoFailureAndARefusalIsToldOnce) {
    auto sink = std::make_unique<RecordingSink>();
    RecordingSink &journal = *sink;
    RunJournal runs(std::move(sink));
    journal.there = false;
    runs.record({{QStringLiteral("result"), QStringLiteral("programmed")}});
    EXPECT_TRUE(journal.sent.isEmpty());
    EXPECT_TRUE(runs.takeWarning().isEmpty()) << "a host without a journal is said nothing of";
    journal.there = true;
    journal.refusal = QStringLiteral("Resource temporarily unavailable");
    runs.record({{QStringLiteral("result"), QStringLiteral("programmed")}});
    runs.record({{QStringLiteral("result"), QStringLiteral("programmed")}});
    EXPECT_EQ(journal.sent.size(), 2);
    EXPECT_EQ(runs.takeWarning(), QStringLiteral("Resource temporarily unavailable"));
    EXPECT_TRUE(runs.takeWarning().isEmpty());
}
