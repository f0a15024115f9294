// --check: a file read as the streamer reads it, what its records hold, and the program's report
// and exit status.
#include "FirmwareFiles.h"
#include "SRecordWriter.h"
#include "TestFiles.h"
#include "Wait.h"
#include "firmware/FileCheck.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using SRecordWriter::record;

QByteArray bytes(int count, char value) {
    return QByteArray(count, value);
}

// S1, S2 and S3 data out of order, with a gap, records that touch, records that overlap, a blank
// line, two lines the streamer refuses, a count and an end record.
QByteArray mixedFile() {
    QByteArray badChecksum = record('1', 0x2000, bytes(4, 1));
    badChecksum.back() = badChecksum.back() == '0' ? '1' : '0';
    const QList<QByteArray> lines = {
        record('0', 0, "hdr"),
        record('1', 0x1000, bytes(16, 1)),
        record('1', 0x1010, bytes(16, 2)), // touches the one before
        "",
        record('2', 0x012000, bytes(8, 3)),
        record('3', 0x08000000, bytes(32, 4)),
        record('3', 0x08000010, bytes(32, 5)), // overlaps the one before by 16 bytes
        badChecksum,
        "hello",
        record('3', 0x00011FF8, bytes(8, 6)), // touches the S2 range from below
        record('5', 6, {}),
        record('8', 0x012000, {}),
    };
    QByteArray file;
    for (qsizetype i = 0; i < lines.size(); ++i)
        file += lines[i] + (i % 2 ? "\r\n" : "\n");
    return file;
}

class FileCheckTest : public ::testing::Test, public ScratchFolder {
protected:
    // The program's exit status and standard output.
    std::pair<int, QString> run(const QString &path, const QStringList &options = {}) {
        QProcess cli;
        cli.start(QStringLiteral(PELLORA_CLI_PATH),
                  QStringList{QStringLiteral("--check"), path} + options);
        EXPECT_TRUE(waitForEnd(cli, 10'000));
        err = QString::fromLocal8Bit(cli.readAllStandardError());
        return {cli.exitCode(), QString::fromLocal8Bit(cli.readAllStandardOutput())};
    }

    QString err;
};

} // namespace

TEST_F(FileCheckTest, linesAreCountedAsTheStreamerSendsThem) {
    const QByteArray s1 = record('1', 0, bytes(4, 7));
    const QByteArray s9 = record('9', 0, {});
    const struct {
        const char *name;
        QByteArray file;
        qint64 lines;
        qint64 refusedLine; // 0: none
    } cases[] = {
        {"CR, no final terminator", s1 + '\r' + s9, 2, 0},
        {"a single-byte last line is not sent", s1 + '\n' + s9 + "\nX", 2, 0},
        {"a two-byte last line is", s1 + '\n' + s9 + "\nXY", 3, 3},
        {"blank lines", s1 + "\r\n\r\n\n" + s9, 4, 0},
        {"blank lines after the last record are not sent", s1 + '\n' + s9 + "\n\n\r\n", 2, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const FileCheck::Report report = FileCheck::scan(c.file);
        EXPECT_EQ(report.lines, c.lines);
        EXPECT_EQ(report.wouldSend(), c.refusedLine == 0);
        if (c.refusedLine != 0 && !report.refused.isEmpty()) {
            EXPECT_EQ(report.refused.first().number, c.refusedLine);
        }
    }
}

// What a run refuses at its start, --check refuses too, with the same reason (exit status 6).
TEST_F(FileCheckTest, filesThatCannotProgramADeviceAreRefused) {
    const QByteArray s1 = record('1', 0, bytes(4, 7));
    const struct {
        const char *name;
        QByteArray file;
        const char *row;
    } cases[] = {
        {"empty", "", "Problem:         the file is empty\n"},
        {"header only", record('0', 0, "hdr") + '\n',
         "Problem:         no data record (S1, S2 or S3)\n"},
        {"blank lines only", "\n\r\n\n", "Problem:         no S-record in it\n"},
        {"no data record",
         record('0', 0, "hdr") + '\n' + record('5', 0, {}) + '\n' + record('9', 0, {}) + '\n',
         "Problem:         no data record (S1, S2 or S3)\n"},
        {"an S9 with a data byte", s1 + '\n' + record('9', 0, "x") + '\n',
         "  line 2: byte count wrong for an S9 record\n"},
        {"an S7 with data", s1 + '\n' + record('7', 0, "xy") + '\n',
         "  line 2: byte count wrong for an S7 record\n"},
        {"an S5 with data", s1 + '\n' + record('5', 1, "x") + '\n',
         "  line 2: byte count wrong for an S5 record\n"},
        {"a record after the termination record", s1 + '\n' + record('9', 0, {}) + '\n' + s1,
         "  line 3: follows the termination record on line 2\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const auto [code, out] = run(writeFile(c.file));
        EXPECT_EQ(code, 6);
        EXPECT_TRUE(out.contains(QString::fromLatin1(c.row))) << out.toStdString();
        EXPECT_TRUE(out.contains(QStringLiteral("would be refused")));
    }
}

TEST_F(FileCheckTest, theProgramReportsAndExitsByWhetherTheFileWouldBeSent) {
    const QString mixed = writeFile(mixedFile());
    auto [code, out] = run(mixed);
    EXPECT_EQ(code, 6);
    for (const char *row :
         {"Lines:           12 (1 blank)\n",
          "Records:         S0 1, S1 2, S2 1, S3 3, S5 1, S8 1\n",
          "Address ranges:  0x00001000-0x0000101F, 0x00011FF8-0x00012007, 0x08000000-0x0800002F\n",
          "Data:            112 bytes (96 bytes of address space; overlapping records write 16",
          "Start address:   0x012000 (S8, line 12)\n", "Refused lines:   2\n",
          "  line 8: bad checksum\n  line 9: no record mark\n"})
        EXPECT_TRUE(out.contains(QString::fromLatin1(row))) << row << "\n" << out.toStdString();

    // The digest against coreutils, when it is there.
    const QString sha256sum = QStandardPaths::findExecutable(QStringLiteral("sha256sum"));
    if (!sha256sum.isEmpty()) {
        QProcess reference;
        reference.start(sha256sum, {mixed});
        ASSERT_TRUE(waitForEnd(reference, 10'000));
        const QString digest = QString::fromLatin1(reference.readAllStandardOutput().left(64));
        EXPECT_TRUE(out.contains(QStringLiteral("SHA-256:         ") + digest + QLatin1Char('\n')))
            << digest.toStdString() << "\n"
            << out.toStdString();
    }

    // "abc", the standard's first test vector: not an S-record, so refused.
    std::tie(code, out) = run(writeFile("abc", QStringLiteral("abc.srec")));
    EXPECT_EQ(code, 6);
    EXPECT_TRUE(out.contains(
        QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad")))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("line 1: no record mark")));

    std::tie(code, out) =
        run(writeFile(SRecordWriter::file(bytes(100, 9), 0x4000), QStringLiteral("good.srec")));
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(out.contains(QStringLiteral("Address ranges:  0x4000-0x4063\n")));
    EXPECT_TRUE(out.contains(QStringLiteral("Result:          would be sent\n")));

    std::tie(code, out) = run(dir.filePath(QStringLiteral("missing.srec")));
    EXPECT_EQ(code, 6);
    EXPECT_TRUE(out.isEmpty());
    EXPECT_TRUE(err.contains(QStringLiteral("no such file")));
}

// Every format --check knows, each shown with what it would send, and a refusal in each of its rows
// ("Problem:" for the file, "Refused lines:" for its lines); every look-alike's words are held
// where a file is recognised.
TEST_F(FileCheckTest, everyFormatAndEveryLookAlike) {
    using FirmwareFiles::hexRecord;
    const QByteArray image = QByteArray("firmware") + bytes(32, '\x90');
    QByteArray hex;
    for (const int at : {0, 16, 32})
        hex += hexRecord(0, static_cast<quint16>(0x4000 + at), image.mid(at, 16)) + '\n';
    hex += hexRecord(5, 0, QByteArray::fromHex("00004010")) + '\n' + FirmwareFiles::hexEnd() + '\n';
    QByteArray cutHex = hex;
    cutHex.remove(cutHex.indexOf('\n', cutHex.indexOf('\n') + 1) - 6, 6); // line 2
    const QByteArray elf = FirmwareFiles::elf(
        {.entry = 0x4004, .segments = {{.physicalAddress = 0x4000, .contents = image}}});
    const QByteArray srec = SRecordWriter::file(image, 0x4000);
    QByteArray blanks = srec;
    blanks.insert(blanks.indexOf('\n', blanks.indexOf('\n') + 1), "  ");
    const QString SentAsTheyAre =
        QStringLiteral("Format:          Motorola S-records, sent as they are\n");
    const QString Made = QStringLiteral("S-records made from it\n");
    const struct {
        const char *name;
        QByteArray content;
        QStringList options;
        int status;
        QStringList rows;
    } cases[] = {
        {"f.srec", srec, {}, 0, {SentAsTheyAre, "Address ranges:  0x4000-0x4027\n"}},
        {"f.hex",
         hex,
         {},
         0,
         {"Format:          Intel HEX, sent as " + Made, "Records:         S0 1, S1 3, S9 1\n",
          "Address ranges:  0x4000-0x4027\n",
          "Start address:   0x4010 (the start linear address record, line 4; sent in an S9 "
          "record)\n"}},
        {"f.elf",
         elf,
         {},
         0,
         {"Format:          ELF, sent as " + Made, "Address ranges:  0x4000-0x4027\n",
          "Start address:   0x4004 (the ELF entry point; sent in an S9 record)\n"}},
        {"f.bin",
         image,
         {"--binary-base", "0x4000", "--record-bytes", "8"},
         0,
         {"Format:          raw binary, sent as " + Made, "Records:         S0 1, S1 5, S9 1\n",
          "Address ranges:  0x4000-0x4027\n",
          "Start address:   0x0000 (none in a raw binary; sent in an S9 record)\n"}},
        {"f.bin",
         image,
         {},
         6,
         {"Problem:         f.bin is a raw binary, which holds no addresses: tarnix-pellora-cli "
          "sends one with the address of its first byte, --binary-base ADDRESS"}},
        {"f.hex",
         cutHex,
         {},
         6,
         {"Refused lines:   1\n  line 2 is cut short: it holds 13 of the 16 data bytes its "
          "count announces\n"}},
        {"f.srec", blanks, {}, 6, {"  line 2 has 2 blanks after its checksum\n"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name + (" " + c.options.join(' ')).toStdString());
        const QString file = writeFile(c.content, QString::fromLatin1(c.name));
        const auto [code, out] = run(file, c.options);
        EXPECT_EQ(code, c.status);
        EXPECT_TRUE(out.contains(QStringLiteral("SHA-256:         ") + sha256sum(file) + '\n'));
        EXPECT_EQ(out.contains(QStringLiteral("Sent SHA-256:")),
                  c.status == 0 && !c.rows.contains(SentAsTheyAre));
        for (const QString &row : c.rows)
            EXPECT_TRUE(out.contains(row)) << row.toStdString() << "\n" << out.toStdString();
    }
}
