// A board's own number written into what it is sent, held against srec_cat's own patching of the
// same file (-exclude, -generate): the memory both give is the same, and an S-record file keeps
// every line but those the number changes or adds.
#include "SRecordWriter.h"
#include "TestFiles.h"
#include "Wait.h"
#include "firmware/SerialPatch.h"

#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>

using namespace firmware;

namespace {

int run(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!waitForEnd(process, 30'000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

SerialLayout layout(const char *text) {
    return std::get<SerialLayout>(SerialLayout::parse(QString::fromLatin1(text)));
}

} // namespace

TEST(SerialPatch, theNumberIsWhereSrecCatPutsItAndNoOtherLineChanges) {
    if (QStandardPaths::findExecutable(QStringLiteral("srec_cmp")).isEmpty())
        GTEST_SKIP() << "srecord is not installed";
    ScratchFolder folder;
    SRecordWriter::Options withCount;
    withCount.countRecord = true;
    const QByteArray data = randomData(64, 5); // 0x1000..0x103F in records of 16 bytes
    const QByteArray srec = SRecordWriter::file(data, 0x1000);
    QByteArray noEnd = srec;
    noEnd.truncate(noEnd.lastIndexOf("S9"));
    const struct Case {
        const char *name;
        QByteArray file;
        const char *layout;
        SerialValue value;
        QByteArray bytes; // what the value is written as
        qsizetype changed, added;
        bool countChanged;
        const char *intel = nullptr; // the file as Intel HEX instead, made by srec_cat from `file`
    } cases[] = {
        {"le inside one record", srec, "0x1004:le:4", quint64{1003},
         QByteArray::fromHex("EB030000"), 1, 0, false},
        {"be across two records", srec, "0x100F:be:2", quint64{0x1234}, QByteArray::fromHex("1234"),
         2, 0, false},
        {"ascii partly past the data", srec, "0x103D:ascii:6", quint64{42}, "000042", 1, 1, false},
        {"hex outside, with a count record", SRecordWriter::file(data, 0x1000, withCount),
         "0x2000:hex:8", quint64{0xBEEF}, "0000BEEF", 0, 1, true},
        {"bcd above 64 KiB in an S1 file", srec, "0x12345:bcd:3", quint64{1003},
         QByteArray::fromHex("001003"), 0, 1, false},
        {"le of 8 bytes, no termination record", noEnd, "0x0800:le:8", quint64{1},
         QByteArray::fromHex("0100000000000000"), 0, 1, false},
        {"bytes from a list", srec, "0x1010:bytes:6", QByteArray::fromHex("70B3D5001234"),
         QByteArray::fromHex("70B3D5001234"), 1, 0, false},
        {"Intel HEX: set in the image", srec, "0x103E:le:4", quint64{1003},
         QByteArray::fromHex("EB030000"), 1, 1, false, "-intel"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const SerialLayout at = layout(c.layout);
        const auto bytes = serialBytes(at, c.value);
        ASSERT_TRUE(std::holds_alternative<QByteArray>(bytes));
        ASSERT_EQ(std::get<QByteArray>(bytes), c.bytes);
        QString original = folder.writeFile(c.file, QStringLiteral("original.srec"));
        if (c.intel) {
            const QString hex = folder.path(QStringLiteral("original.hex"));
            ASSERT_EQ(run(QStringLiteral("srec_cat"),
                          {original, QStringLiteral("-o"), hex, QStringLiteral("-intel")}),
                      0);
            original = hex;
        }
        ConversionOptions keep;
        keep.keepImage = true;
        const CheckedFile checked = checkFile(readFile(original), QStringLiteral("original"), keep);
        ASSERT_TRUE(checked.refusal(original).isEmpty());
        const auto result = patchFile(checked, at.address, c.bytes);
        ASSERT_TRUE(std::holds_alternative<Patched>(result));
        const Patched &patched = std::get<Patched>(result);
        EXPECT_TRUE(patched.file.refusal(original).isEmpty()) << patched.file.bytes.toStdString();
        EXPECT_EQ(patched.lines.changed.size(), c.changed);
        EXPECT_EQ(patched.lines.added.size(), c.added);
        EXPECT_EQ(patched.lines.countLine > 0, c.countChanged);

        // The same memory as srec_cat's own patch of the same file.
        const QString ours = folder.writeFile(patched.file.bytes, QStringLiteral("ours.srec"));
        const QString end = QStringLiteral("0x%1").arg(at.address + c.bytes.size(), 0, 16);
        const QString begin = QStringLiteral("0x%1").arg(at.address, 0, 16);
        QStringList generate = {QStringLiteral("-generate"), begin, end,
                                QStringLiteral("-repeat-data")};
        for (const char byte : c.bytes)
            generate << QString::number(static_cast<quint8>(byte));
        const QString theirs = folder.path(QStringLiteral("theirs.srec"));
        ASSERT_EQ(run(QStringLiteral("srec_cat"),
                      QStringList{original} +
                          (c.intel ? QStringList{QStringLiteral("-intel")} : QStringList{}) +
                          QStringList{QStringLiteral("-exclude"), begin, end} + generate +
                          QStringList{QStringLiteral("-o"), theirs}),
                  0);
        EXPECT_EQ(run(QStringLiteral("srec_cmp"), {ours, theirs}), 0)
            << "ours:\n"
            << readFile(ours).toStdString() << "theirs:\n"
            << readFile(theirs).toStdString();

        // An S-record file: every other line byte for byte.
        if (c.intel)
            continue;
        QList<QByteArray> before = c.file.split('\n');
        QList<QByteArray> after = patched.file.bytes.split('\n');
        for (const qint64 line : patched.lines.changed)
            before[line - 1] = after[line - 1];
        if (const qint64 count = patched.lines.countLine; count > 0)
            before[count - 1 -
                   std::count_if(patched.lines.added.begin(), patched.lines.added.end(),
                                 [&](qint64 added) { return added < count; })] = after[count - 1];
        for (auto it = patched.lines.added.rbegin(); it != patched.lines.added.rend(); ++it)
            after.removeAt(*it - 1);
        if (before.last().isEmpty() != after.last().isEmpty())
            before.append(QByteArray()); // a line end given to a last line without one
        EXPECT_EQ(after, before);
    }
}

TEST(SerialPatch, aNumberThatDoesNotFitItsFormIsRefused) {
    const struct {
        const char *layout;
        SerialValue value;
    } cases[] = {
        {"0x0:le:1", quint64{256}},
        {"0x0:ascii:3", quint64{1000}},
        {"0x0:bcd:1", quint64{100}},
        {"0x0:bytes:6", QByteArray::fromHex("70B3D50012")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.layout);
        EXPECT_TRUE(std::holds_alternative<QString>(serialBytes(layout(c.layout), c.value)));
    }
    EXPECT_TRUE(std::holds_alternative<QString>(SerialLayout::parse(QStringLiteral("0x0:le:9"))));
    EXPECT_TRUE(
        std::holds_alternative<QString>(SerialLayout::parse(QStringLiteral("0xFFFFFFFE:le:4"))));
}
