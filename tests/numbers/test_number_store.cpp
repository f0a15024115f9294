// A batch's numbers on disk, shared by processes: reserve, commit and give back; several processes
// at once; a process that dies holding a number; a file a person broke.
#include "TestFiles.h"
#include "numbers/NumberStore.h"

#include <QSet>
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using Reservation = NumberStore::Reservation;

QString reserved(NumberStore &store) {
    auto taken = store.reserve({});
    if (const QString *why = std::get_if<QString>(&taken))
        return QStringLiteral("refused: ") + *why;
    return std::get<Reservation>(taken).text;
}

// Runs `body` in a child process, which ends without a word to anyone: as if killed.
template <typename Body> void inChild(Body body) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        body();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
}

} // namespace

TEST(NumberStore, aNumberIsGivenOnceAndOneGivenBackGoesToTheNextBoard) {
    ScratchFolder folder;
    NumberStore store = NumberStore::counter(folder.path(QStringLiteral("counter")), 1000, 2);
    auto first = std::get<Reservation>(store.reserve({}));
    auto second = std::get<Reservation>(store.reserve({}));
    EXPECT_EQ(first.text, QStringLiteral("1000"));
    EXPECT_EQ(second.text, QStringLiteral("1002"));
    EXPECT_TRUE(store.release(first).isEmpty());
    EXPECT_TRUE(store.commit(second).isEmpty());
    EXPECT_EQ(reserved(store), QStringLiteral("1000")) << "the number given back comes first";
    EXPECT_EQ(reserved(store), QStringLiteral("1004"));
    // A value the layout refuses is not taken.
    EXPECT_TRUE(std::holds_alternative<QString>(
        store.reserve([](const firmware::SerialValue &) { return QStringLiteral("too wide"); })));
    EXPECT_EQ(std::get<Reservation>(store.peek()).text, QStringLiteral("1006"));

    // A list gives its values in order, each once; the values used are kept beside it.
    const QString list = folder.writeFile("# MAC addresses\n70:B3:D5:00:12:34\n70b3d5001235\n",
                                          QStringLiteral("macs"));
    NumberStore macs = NumberStore::list(list, true);
    const auto mac = std::get<Reservation>(macs.reserve({}));
    EXPECT_EQ(mac.text, QStringLiteral("70:B3:D5:00:12:34"));
    EXPECT_TRUE(macs.commit(mac).isEmpty());
    EXPECT_EQ(reserved(macs), QStringLiteral("70:B3:D5:00:12:35"));
    EXPECT_TRUE(reserved(macs).startsWith(QStringLiteral("refused: every value of")));
    EXPECT_TRUE(readFile(NumberStore::usedPath(list)).contains("used=70:B3:D5:00:12:34\n"));
}

TEST(NumberStore, processesTakingNumbersAtOnceNeverShareOne) {
    ScratchFolder folder;
    const QString path = folder.path(QStringLiteral("counter"));
    constexpr int Children = 4;
    constexpr int Each = 15;
    int results[2];
    ASSERT_EQ(::pipe(results), 0);
    std::vector<pid_t> children;
    for (int c = 0; c < Children; ++c) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            NumberStore store = NumberStore::counter(path, 1, 1);
            for (int i = 0; i < Each; ++i) {
                const auto taken = store.reserve({});
                const quint64 value = std::holds_alternative<Reservation>(taken)
                                          ? std::get<quint64>(std::get<Reservation>(taken).value)
                                          : 0;
                (void)store.commit(std::get<Reservation>(taken));
                (void)::write(results[1], &value, sizeof value);
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(results[1]);
    for (const pid_t child : children)
        ::waitpid(child, nullptr, 0);
    QSet<quint64> seen;
    quint64 value = 0;
    while (::read(results[0], &value, sizeof value) == sizeof value) {
        EXPECT_FALSE(seen.contains(value)) << value << " was given twice";
        seen.insert(value);
    }
    ::close(results[0]);
    EXPECT_EQ(seen.size(), Children * Each);
    NumberStore store = NumberStore::counter(path, 1, 1);
    EXPECT_EQ(reserved(store), QString::number(Children * Each + 1)) << "and none was lost";
}

TEST(NumberStore, aRunThatDiedHoldingANumberLeavesItSkippedAndSaysSoOnce) {
    ScratchFolder folder;
    const QString path = folder.path(QStringLiteral("counter"));
    inChild([&] {
        NumberStore store = NumberStore::counter(path, 1000, 1);
        (void)store.reserve({}); // 1000, then killed before its board was programmed
    });
    NumberStore store = NumberStore::counter(path, 1000, 1);
    EXPECT_EQ(reserved(store), QStringLiteral("1001"));
    const QStringList notes = store.takeNotes();
    ASSERT_EQ(notes.size(), 1);
    EXPECT_TRUE(notes.first().startsWith(
        QStringLiteral("serial 1000 was held by a run that did not end (pid ")));
    EXPECT_TRUE(notes.first().endsWith(QStringLiteral("): skipped")));
    EXPECT_EQ(reserved(store), QStringLiteral("1002"));
    EXPECT_TRUE(store.takeNotes().isEmpty()) << "said once";
    EXPECT_TRUE(readFile(path).contains("skipped=1000 "));
}

TEST(NumberStore, aFileAPersonBrokeIsRefusedAndLeftAsItIs) {
    ScratchFolder folder;
    for (const QByteArray &broken :
         {QByteArray("next=1005\nstep=1\nnxt=7\n"), QByteArray("next=ten\nstep=1\n"),
          QByteArray("step=1\n"), QByteArray("next=5\nnext=6\nstep=1\n")}) {
        SCOPED_TRACE(broken.toStdString());
        const QString path = folder.writeFile(broken, QStringLiteral("counter"));
        NumberStore store = NumberStore::counter(path, 1, 1);
        EXPECT_TRUE(reserved(store).contains(QStringLiteral("correct the file")));
        EXPECT_EQ(readFile(path), broken);
    }
    const QString list = folder.writeFile("1\n2\n1\n", QStringLiteral("list"));
    NumberStore repeated = NumberStore::list(list, false);
    EXPECT_TRUE(reserved(repeated).contains(QStringLiteral("a second time")));
}
