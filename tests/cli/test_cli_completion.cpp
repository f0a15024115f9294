// The command line's options as its manual page and its bash completion offer them, held against
// the program's one table of options; and the completion run through bash as a shell runs it: the
// values the program accepts, firmware files and folders, the serial devices present (their list
// is checked against the program's own in tests/unit/test_port_menu.cpp).
#include "BashCompletion.h"

#include "cli/CliOptions.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QSet<QString> asSet(const QStringList &list) {
    return {list.begin(), list.end()};
}

// Each option's names ("--help", "-h") with the value --help shows for it ("" for a flag).
QMap<QString, QString> optionsInTable() {
    QMap<QString, QString> options;
    for (const CliOption &option : cliOptions()) {
        const QString value = QString::fromLatin1(option.valueName ? option.valueName : "");
        options.insert(QStringLiteral("--") + QString::fromLatin1(option.name), value);
        if (option.shortName)
            options.insert(QStringLiteral("-") + QString::fromLatin1(option.shortName), value);
    }
    return options;
}

// The same from the manual page's OPTIONS section: the line after each .TP names an option and its
// value, e.g. `.BI \-\-port " N"`, `.BR \-h ", " \-\-help`, `.BR \-\-history " [" \fIN\fP ]`.
QMap<QString, QString> optionsInManualPage() {
    QFile file(QStringLiteral(PELLORA_CLI_MANUAL_PATH));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
    const QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    QMap<QString, QString> options;
    const qsizetype section = lines.indexOf(QStringLiteral(".SH OPTIONS"));
    EXPECT_GE(section, 0) << "no OPTIONS section";
    for (qsizetype i = section + 1;
         i + 1 < lines.size() && !lines[i].startsWith(QStringLiteral(".SH ")); ++i) {
        if (lines[i] != QStringLiteral(".TP"))
            continue;
        QString tag = lines[i + 1].section(QLatin1Char(' '), 1);
        for (const char *markup : {"\\fI", "\\fB", "\\fP", "\"", ","})
            tag.remove(QString::fromLatin1(markup));
        tag.replace(QStringLiteral("\\-"), QStringLiteral("-"));
        QStringList names;
        QString value;
        for (const QString &word : tag.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            if (word.startsWith(QLatin1Char('-')))
                names << word;
            else
                value += word;
        }
        for (const QString &name : names)
            options.insert(name, value);
    }
    return options;
}

// One line an option, for a readable failure.
std::string listed(const QMap<QString, QString> &options) {
    QString text;
    for (auto it = options.begin(); it != options.end(); ++it)
        text += it.key() + QLatin1Char(' ') + it.value() + QLatin1Char('\n');
    return text.toStdString();
}

CompletionResult complete(const QStringList &words, const QString &workingDir = {}) {
    return bashComplete(QStringList{QStringLiteral("tarnix-pellora-cli")} + words, workingDir);
}

} // namespace

TEST(CliOptions, theManualPageDescribesEveryOptionOfTheTableWithItsValue) {
    const QMap<QString, QString> table = optionsInTable();
    ASSERT_TRUE(table.contains(QStringLiteral("--device")) && table.contains(QStringLiteral("-h")));
    EXPECT_EQ(listed(optionsInManualPage()), listed(table));
    // --help is made from the same table.
    for (const QString &name : table.keys())
        EXPECT_TRUE(usageText().contains(name)) << name.toStdString();
}

TEST(BashCompletion, offersEveryOptionTheProgramTakesAndNoOther) {
    const QStringList names = optionsInTable().keys();
    const CompletionResult all = complete({QString()});
    EXPECT_EQ(all.errors, QString());
    EXPECT_EQ(asSet(all.replies), asSet(names));

    EXPECT_EQ(asSet(complete({QStringLiteral("--his")}).replies),
              QSet<QString>({"--history", "--history-file"}));
    // After a flag, the next option; after a finished value too.
    EXPECT_EQ(asSet(complete({QStringLiteral("--json"), QStringLiteral("--no-")}).replies),
              QSet<QString>({"--no-history", "--no-journal"}));
    EXPECT_EQ(
        asSet(complete({QStringLiteral("--speed"), QStringLiteral("auto"), QStringLiteral("--j")})
                  .replies),
        QSet<QString>({"--json"}));
    // A number is not guessed, and a word that is no option gets nothing.
    EXPECT_TRUE(complete({QStringLiteral("--port"), QString()}).replies.isEmpty());
    EXPECT_TRUE(complete({QStringLiteral("--boot-timeout"), QString()}).replies.isEmpty());
    EXPECT_TRUE(complete({QStringLiteral("--binary-base"), QString()}).replies.isEmpty());
    EXPECT_TRUE(complete({QStringLiteral("--record-bytes"), QString()}).replies.isEmpty());
    EXPECT_TRUE(complete({QStringLiteral("x")}).replies.isEmpty());
}

TEST(BashCompletion, offersTheValuesOfSpeedAndResetThatTheProgramAccepts) {
    const CompletionResult speeds = complete({QStringLiteral("--speed"), QString()});
    EXPECT_EQ(speeds.errors, QString());
    EXPECT_EQ(speeds.replies, QStringList({"20", "40", "60", "80", "100", "auto"}));
    const CompletionResult lines = complete({QStringLiteral("--reset"), QString()});
    EXPECT_EQ(lines.replies, QStringList({"dtr", "rts"}));
    // Every value offered is one the parser takes.
    for (const auto &[option, values] : {std::pair{QStringLiteral("--speed"), speeds.replies},
                                         std::pair{QStringLiteral("--reset"), lines.replies}})
        for (const QString &value : values) {
            const ParsedArguments parsed =
                parseArguments({QStringLiteral("tarnix-pellora-cli"), QStringLiteral("--device"),
                                QStringLiteral("/dev/null"), QStringLiteral("--file"),
                                QStringLiteral("app.srec"), option, value});
            EXPECT_TRUE(parsed.options) << option.toStdString() << ' ' << value.toStdString()
                                        << ": " << parsed.error.toStdString();
        }

    EXPECT_EQ(complete({QStringLiteral("--speed"), QStringLiteral("a")}).replies,
              QStringList({"auto"}));
    EXPECT_EQ(complete({QStringLiteral("--reset"), QStringLiteral("r")}).replies,
              QStringList({"rts"}));
    // --speed=... reaches the function as "--speed" "=" "...".
    EXPECT_EQ(
        complete({QStringLiteral("--speed"), QStringLiteral("="), QStringLiteral("1")}).replies,
        QStringList({"100"}));
    EXPECT_EQ(complete({QStringLiteral("--reset"), QStringLiteral("=")}).replies,
              QStringList({"dtr", "rts"}));
}

TEST(BashCompletion, offersFirmwareFilesAndFoldersForAFileAndAnyFileForALog) {
    QTemporaryDir dir;
    for (const char *name :
         {"app.srec", "BOOT.S19", "a.s28", "b.S37", "c.mot", "with space.srec", "app.hex",
          "app.IHX", "app.elf", "app.axf", "image.bin", "notes.txt", "srec", "app.srec.bak"})
        QFile(dir.filePath(QString::fromLatin1(name))).open(QIODevice::WriteOnly);
    QDir(dir.path()).mkpath(QStringLiteral("builds/2024"));

    const QSet<QString> sRecords({"app.srec", "BOOT.S19", "a.s28", "b.S37", "c.mot",
                                  "with space.srec", "app.hex", "app.IHX", "app.elf", "app.axf",
                                  "image.bin", "builds"});
    for (const char *option : {"--file", "--check"}) {
        const CompletionResult files =
            complete({QString::fromLatin1(option), QString()}, dir.path());
        EXPECT_EQ(files.errors, QString());
        EXPECT_EQ(asSet(files.replies), sRecords) << option;
    }
    EXPECT_EQ(complete({QStringLiteral("--file"), QStringLiteral("builds/")}, dir.path()).replies,
              QStringList({"builds/2024"}));
    EXPECT_EQ(asSet(complete({QStringLiteral("--file"), QStringLiteral("a")}, dir.path()).replies),
              QSet<QString>({"app.srec", "a.s28", "app.hex", "app.IHX", "app.elf", "app.axf"}));
    // A path given in full, as from another folder.
    EXPECT_EQ(complete({QStringLiteral("--file"), dir.filePath(QStringLiteral("c"))}).replies,
              QStringList({dir.filePath(QStringLiteral("c.mot"))}));

    const CompletionResult logs =
        complete({QStringLiteral("--log"), QStringLiteral("n")}, dir.path());
    EXPECT_EQ(logs.replies, QStringList({"notes.txt"}));
    EXPECT_EQ(complete({QStringLiteral("--history-file"), QStringLiteral("n")}, dir.path()).replies,
              QStringList({"notes.txt"}));
}

TEST(BashCompletion, offersTheSerialDevicesOfThisMachineForADevice) {
    const CompletionResult present =
        bashCompletionDevices(QStringLiteral("/dev"), QStringLiteral("/sys"));
    EXPECT_EQ(present.errors, QString());
    const CompletionResult offered = complete({QStringLiteral("--device"), QString()});
    EXPECT_EQ(offered.errors, QString());
    EXPECT_EQ(asSet(offered.replies), asSet(present.replies));
    EXPECT_EQ(offered.replies.size(), asSet(offered.replies).size()) << "each device once";
    for (const QString &device : offered.replies)
        EXPECT_TRUE(device.startsWith(QStringLiteral("/dev/"))) << device.toStdString();
    // The typed start of a path narrows the list.
    const CompletionResult builtin =
        complete({QStringLiteral("--device"), QStringLiteral("/dev/ttyS")});
    for (const QString &device : builtin.replies)
        EXPECT_TRUE(device.startsWith(QStringLiteral("/dev/ttyS"))) << device.toStdString();
}
