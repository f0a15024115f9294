// What a run records of itself (the file as the counting pass read it, lines and bytes sent), and
// the run history file: whole lines from concurrent writers, rotation, an unwritable folder.
#include "SRecordWriter.h"
#include "SessionRig.h"
#include "TestFiles.h"
#include "session/RunHistory.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The digest as the run records it: bytes.
QByteArray digestOf(const QString &file) {
    return QByteArray::fromHex(sha256sum(file).toLatin1());
}

class RunSummaryTest : public SessionRig {
protected:
    void SetUp() override { speed(-1); } // back to back
};

class RunHistoryTest : public ::testing::Test, public ScratchFolder {
protected:
    static QJsonObject entry(int writer, int number, qsizetype padding = 0) {
        return {{QStringLiteral("writer"), writer},
                {QStringLiteral("number"), number},
                {QStringLiteral("padding"), QString(padding, QLatin1Char('x'))}};
    }
    static QList<QByteArray> linesOf(const QString &file) {
        QList<QByteArray> lines = readFile(file).split('\n');
        if (!lines.isEmpty() && lines.constLast().isEmpty())
            lines.removeLast();
        return lines;
    }
};

} // namespace

TEST_F(RunSummaryTest, aRunRecordsTheWholeFileAsReadAndWhatItSent) {
    if (sha256sum(QStringLiteral("/dev/null")).isEmpty())
        GTEST_SKIP() << "no sha256sum here";
    // CR LF ends, a blank line, and a last single byte that is neither counted nor sent but is part
    // of the file.
    QByteArray content;
    int lines = 0;
    for (; content.size() < 150'000; ++lines)
        content += SRecordWriter::record('1', static_cast<quint32>(lines * 16),
                                         QByteArray(16, static_cast<char>(lines))) +
                   (lines == 0 ? "\r\n\r\n" : "\r\n");
    content += "S";
    const QString file = useFile(content);
    runToTheEnd();
    control.feed(QByteArray(lines, '.') + "P"); // every line but the blank one answered

    ASSERT_EQ(ends.size(), 1);
    const RunSummary *run = &ends.constLast();
    EXPECT_EQ(run->result, RunResult::Programmed);
    ASSERT_TRUE(run->facts.has_value());
    EXPECT_EQ(run->facts->sha256, digestOf(file));
    EXPECT_EQ(run->facts->size, content.size());
    EXPECT_EQ(run->facts->records, lines);
    EXPECT_EQ(run->facts->lines, lines + 1);
    EXPECT_EQ(run->linesSent, lines + 1);
    EXPECT_EQ(run->bytesSent, control.written.size());
    EXPECT_TRUE(run->started.isValid() && run->ended.isValid());
    EXPECT_LE(run->started, run->ended);
}

TEST_F(RunSummaryTest, aRunThatNeverSentTheFileStillNamesIt) {
    if (sha256sum(QStringLiteral("/dev/null")).isEmpty())
        GTEST_SKIP() << "no sha256sum here";
    // Cancelled before the device asked for the file: the file was read at START all the same.
    const QString file = useFile(TwoLineImage);
    session->start();
    session->cancel();
    ASSERT_EQ(ends.size(), 1);
    const RunSummary &cancelled = ends.constLast();
    EXPECT_EQ(cancelled.result, RunResult::Cancelled);
    ASSERT_TRUE(cancelled.facts.has_value());
    EXPECT_EQ(cancelled.facts->sha256, digestOf(file));
    EXPECT_EQ(cancelled.facts->lines, 2);
    EXPECT_EQ(cancelled.linesSent, 0);
    EXPECT_EQ(cancelled.file, file);
}

// A file in another format: the run sends the S-records made from it, and the history keeps the
// file's own format, size and digest beside the digest of what went to the device. The log says
// what the file became before the countdown.
TEST_F(RunSummaryTest, aConvertedFileRecordsTheFileAndTheRecordsSent) {
    if (sha256sum(QStringLiteral("/dev/null")).isEmpty())
        GTEST_SKIP() << "no sha256sum here";
    const QByteArray hex = ":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n";
    const QString file = useFile(hex);
    press();
    EXPECT_TRUE(view.log.contains(
        QStringLiteral("image.srec: Intel HEX, 16 bytes in 1 range, sent as 1 S1 record")))
        << view.log.toStdString();
    session->cancel();
    runToTheEnd();
    control.feed("..P");

    ASSERT_EQ(ends.size(), 2);
    const RunSummary &run = ends.constLast();
    EXPECT_EQ(run.result, RunResult::Programmed);
    // The header names the file; the data and the end are those of the same image as S-records.
    EXPECT_EQ(control.written, SRecordWriter::record('0', 0, "image.srec") + '\n' + TwoLineImage);
    ASSERT_TRUE(run.facts.has_value());
    EXPECT_EQ(run.facts->format, firmware::Format::IntelHex);
    EXPECT_EQ(run.facts->size, hex.size());
    EXPECT_EQ(run.facts->sha256, digestOf(file));
    EXPECT_EQ(run.facts->sentSha256,
              QCryptographicHash::hash(control.written, QCryptographicHash::Sha256));
    const QJsonObject line = historyLine(run, {});
    EXPECT_EQ(line.value(QStringLiteral("format")).toString(), QStringLiteral("intel-hex"));
    EXPECT_EQ(line.value(QStringLiteral("sha256")).toString(), sha256sum(file));
    EXPECT_EQ(line.value(QStringLiteral("sent_sha256")).toString().toLatin1(),
              run.facts->sentSha256.toHex());
    EXPECT_EQ(line.value(QStringLiteral("lines_sent")).toInteger(), 3);
    EXPECT_EQ(line.value(QStringLiteral("lines_total")).toInteger(), 3);
    EXPECT_EQ(line.value(QStringLiteral("file_size")).toInteger(), hex.size());
}

TEST_F(RunHistoryTest, eightWritersAtOnceLeaveEveryLineWhole) {
    constexpr int Writers = 8;
    constexpr int LinesEach = 40;
    const QString file = path(QStringLiteral("deep/folder/history.jsonl"));
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([&file, w] {
            RunHistory history(file, qint64(1) << 40); // no rotation here
            // Lines far longer than a pipe buffer or a stdio buffer: a writer that split them
            // would interleave.
            for (int n = 0; n < LinesEach; ++n)
                EXPECT_TRUE(history.append(entry(w, n, 40'000 + w * 1000 + n)));
        });
    for (std::thread &t : threads)
        t.join();

    std::set<std::pair<int, int>> seen;
    const QList<QByteArray> lines = linesOf(file);
    ASSERT_EQ(lines.size(), Writers * LinesEach);
    for (const QByteArray &line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const int w = o.value(QStringLiteral("writer")).toInt(-1);
        const int n = o.value(QStringLiteral("number")).toInt(-1);
        ASSERT_EQ(o.value(QStringLiteral("padding")).toString().size(), 40'000 + w * 1000 + n);
        seen.insert({w, n});
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(Writers * LinesEach));
}

TEST_F(RunHistoryTest, theFileRotatesPastItsLimitKeepingOnePreviousFile) {
    const QString file = path(QStringLiteral("history.jsonl"));
    const qsizetype lineSize =
        QJsonDocument(entry(0, 1, 250)).toJson(QJsonDocument::Compact).size() + 1;
    RunHistory history(file, 3 * lineSize + 10);
    for (int n = 1; n <= 7; ++n)
        ASSERT_TRUE(history.append(entry(0, n, 250)));
    const auto numbers = [](const QList<QByteArray> &lines) {
        QList<int> list;
        for (const QByteArray &line : lines)
            list << QJsonDocument::fromJson(line).object().value(QStringLiteral("number")).toInt();
        return list;
    };
    // 1-3 filled the first file; 4 rotated it; 7 rotated again and dropped 1-3.
    EXPECT_EQ(numbers(linesOf(history.previousPath())), QList<int>({4, 5, 6}));
    EXPECT_EQ(numbers(linesOf(file)), QList<int>({7}));

    // Reading reaches into the previous file only as far as needed, and skips what is no object.
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("{ cut\n");
    f.close();
    const auto read = [&](int count) {
        QList<int> list;
        for (const QJsonObject &o : RunHistory::readLast(file, count))
            list << o.value(QStringLiteral("number")).toInt();
        return list;
    };
    EXPECT_EQ(read(2), QList<int>({6, 7}));
    EXPECT_EQ(read(20), QList<int>({4, 5, 6, 7}));
    QString error;
    EXPECT_TRUE(RunHistory::readLast(path(QStringLiteral("none.jsonl")), 5, &error).isEmpty());
    EXPECT_TRUE(error.isEmpty()) << "no history yet is no error";
}

TEST_F(RunHistoryTest, anUnwritableHistoryFailsEachLineButWarnsOnce) {
    QFile blocker(path(QStringLiteral("state")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
    blocker.close();
    RunHistory history(path(QStringLiteral("state/tarnix-pellora/history.jsonl")));
    EXPECT_FALSE(history.append(entry(0, 1)));
    const QString warning = history.takeWarning();
    EXPECT_TRUE(warning.contains(path(QStringLiteral("state")))) << warning.toStdString();
    EXPECT_FALSE(history.append(entry(0, 2)));
    EXPECT_TRUE(history.takeWarning().isEmpty());

    if (::geteuid() == 0)
        return; // root writes into a read-only folder
    QDir().mkpath(path(QStringLiteral("ro")));
    QFile::setPermissions(path(QStringLiteral("ro")),
                          QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    RunHistory readOnly(path(QStringLiteral("ro/history.jsonl")));
    EXPECT_FALSE(readOnly.append(entry(0, 1)));
    EXPECT_TRUE(readOnly.takeWarning().contains(QStringLiteral("Permission denied")));
    QFile::setPermissions(path(QStringLiteral("ro")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}
