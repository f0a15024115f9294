// The program against the simulator with firmware files that Debian's binutils and srecord make:
// the image the device receives equals the image objcopy (or readelf's program headers) decodes
// from the same file, holds as many data bytes as srec_info counts in it (holes stay holes), and
// ends with the start address the file gives.
#include "CliProcess.h"
#include "TestFiles.h"
#include "Wait.h"

#include <QDir>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <functional>
#include <map>
#include <ostream>

namespace {

// What a third party decodes from a file: the image from its lowest address to its highest with
// 0xFF in the holes, the data bytes in it, and its start address.
struct Decoded {
    QByteArray image;
    quint64 lowest = 0;
    quint64 dataBytes = 0;
    quint64 start = 0;
};

// The tools of this machine, run with a bound; every failure is a test failure that names it.
class Tools {
public:
    explicit Tools(const QString &folder) : folder_(folder) {}

    static bool have(const QString &program) {
        return !QStandardPaths::findExecutable(program).isEmpty();
    }
    QString path(const QString &name) const { return QDir(folder_).filePath(name); }

    // The program's standard output; fails the test when it does not end with status 0.
    QByteArray run(const QString &program, const QStringList &arguments) const {
        QProcess process;
        process.setWorkingDirectory(folder_);
        process.start(program, arguments);
        const bool ended = waitForEnd(process, 60'000);
        const QByteArray out = process.readAllStandardOutput();
        EXPECT_TRUE(ended && process.exitStatus() == QProcess::NormalExit &&
                    process.exitCode() == 0)
            << program.toStdString() << ' ' << arguments.join(' ').toStdString() << ": "
            << process.readAllStandardError().toStdString();
        return out;
    }

    // objcopy's binary of `file` (read as `format`, or by its own guess), 0xFF in the holes.
    QByteArray objcopyImage(const QString &objcopy, const QString &file,
                            const QString &format = {}) const {
        QStringList arguments;
        if (!format.isEmpty())
            arguments << QStringLiteral("-I") << format;
        const QString out = file + QStringLiteral(".oracle.bin");
        run(objcopy, arguments << QStringLiteral("-O") << QStringLiteral("binary")
                               << QStringLiteral("--gap-fill") << QStringLiteral("0xFF") << file
                               << out);
        return readFile(out);
    }

    // srec_info's data ranges and start address of an S-record or Intel HEX file.
    Decoded srecInfo(const QString &file, const QString &format) const {
        Decoded d;
        const QString info = QString::fromLatin1(run(QStringLiteral("srec_info"), {file, format}));
        static const QRegularExpression Range(QStringLiteral("([0-9A-F]+) - ([0-9A-F]+)"));
        bool first = true;
        for (auto it = Range.globalMatch(info); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const quint64 low = m.captured(1).toULongLong(nullptr, 16);
            d.dataBytes += m.captured(2).toULongLong(nullptr, 16) - low + 1;
            d.lowest = first ? low : std::min(d.lowest, low);
            first = false;
        }
        static const QRegularExpression Start(
            QStringLiteral("Execution Start Address: ([0-9A-F]+)"));
        if (const QRegularExpressionMatch m = Start.match(info); m.hasMatch())
            d.start = m.captured(1).toULongLong(nullptr, 16);
        return d;
    }

private:
    QString folder_;
};

// An ELF linked by the MIPS binutils in `bits` and byte order, its two sections run at other
// addresses than they are loaded at (VMA 0x20000000, LMA 0x9000), each alone in its segment.
QString linkedElf(const Tools &t, int bits, bool bigEndian) {
    const QString endian = bigEndian ? QStringLiteral("big") : QStringLiteral("little");
    const QString target = QStringLiteral("elf%1-trad%2mips").arg(bits).arg(endian);
    const QString emulation = QStringLiteral("elf%1%2tsmip")
                                  .arg(bits)
                                  .arg(bigEndian ? QLatin1Char('b') : QLatin1Char('l'));
    writeFileAt(t.path(QStringLiteral("text.bin")), randomData(300, 31));
    writeFileAt(t.path(QStringLiteral("data.bin")), randomData(200, 32));
    for (const auto &[name, section] : {std::pair{"text", ".text,alloc,load,contents,code"},
                                        std::pair{"data", ".rodata,alloc,load,contents,readonly"}})
        t.run(QStringLiteral("mips-linux-gnu-objcopy"),
              {QStringLiteral("-I"), QStringLiteral("binary"), QStringLiteral("-O"), target,
               QStringLiteral("--rename-section"),
               QStringLiteral(".data=") + QString::fromLatin1(section),
               QStringLiteral("%1.bin").arg(QLatin1String(name)),
               QStringLiteral("%1.o").arg(QLatin1String(name))});
    writeFileAt(t.path(QStringLiteral("link.ld")),
                "PHDRS { text PT_LOAD; data PT_LOAD; }\n"
                "SECTIONS {\n"
                "  .text 0x8000 : AT(0x8000) { text.o(.text) } :text\n"
                "  .rodata 0x20000000 : AT(0x9000) { data.o(.rodata) } :data\n"
                "  /DISCARD/ : { *(*) }\n"
                "}\n");
    const QString elf = t.path(QStringLiteral("app.elf"));
    t.run(QStringLiteral("mips-linux-gnu-ld"),
          {QStringLiteral("-m"), emulation, QStringLiteral("-T"), QStringLiteral("link.ld"),
           QStringLiteral("--entry=0x8010"), QStringLiteral("-o"), elf, QStringLiteral("text.o"),
           QStringLiteral("data.o")});
    return elf;
}

// objcopy of a linked ELF: the sections at their load addresses, which here are the segments.
Decoded decodeLinkedElf(const Tools &t, const QString &elf) {
    const QString srec = elf + QStringLiteral(".srec");
    t.run(QStringLiteral("mips-linux-gnu-objcopy"),
          {QStringLiteral("-O"), QStringLiteral("srec"), elf, srec});
    Decoded d = t.srecInfo(srec, QStringLiteral("-motorola"));
    d.image = t.objcopyImage(QStringLiteral("mips-linux-gnu-objcopy"), elf);
    return d;
}

// readelf's program headers: each loadable segment's file contents at its physical address.
Decoded decodeByProgramHeaders(const Tools &t, const QString &elf) {
    const QString headers =
        QString::fromLatin1(t.run(QStringLiteral("readelf"), {QStringLiteral("-lhW"), elf}));
    const QByteArray file = readFile(elf);
    static const QRegularExpression Load(
        QStringLiteral(R"(LOAD\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+))"));
    std::map<quint64, QByteArray> segments;
    Decoded d;
    for (auto it = Load.globalMatch(headers); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        const qsizetype size = m.captured(3).toLongLong(nullptr, 16);
        if (size > 0)
            segments[m.captured(2).toULongLong(nullptr, 16)] =
                file.mid(m.captured(1).toLongLong(nullptr, 16), size);
    }
    if (segments.empty())
        return d;
    d.lowest = segments.begin()->first;
    const auto &[last, lastBytes] = *segments.rbegin();
    d.image = QByteArray(static_cast<qsizetype>(last - d.lowest) + lastBytes.size(), '\xFF');
    for (const auto &[address, bytes] : segments) {
        d.image.replace(static_cast<qsizetype>(address - d.lowest), bytes.size(), bytes);
        d.dataBytes += static_cast<quint64>(bytes.size());
    }
    static const QRegularExpression Entry(QStringLiteral("Entry point address:\\s+0x([0-9a-f]+)"));
    d.start = Entry.match(headers).captured(1).toULongLong(nullptr, 16);
    return d;
}

struct Case {
    const char *name;
    QStringList tools; // needed besides the program
    std::function<QString(const Tools &)> make;
    std::function<Decoded(const Tools &, const QString &file)> decode;
    const char *format; // the word the JSON gives it
    QStringList options = {};
};

void PrintTo(const Case &c, std::ostream *out) {
    *out << c.name;
}

const QString True = QStringLiteral("/bin/true");
const QString Objcopy = QStringLiteral("objcopy");
const QString SrecCat = QStringLiteral("srec_cat");

// objcopy's `format` of /bin/true's loadable sections.
std::function<QString(const Tools &)> trueAs(const QString &format, const QString &name) {
    return [=](const Tools &t) {
        t.run(Objcopy, {QStringLiteral("-O"), format, True, name});
        return t.path(name);
    };
}

// A srec_cat image as Intel HEX: srec_cat's generator arguments, then its output options.
std::function<QString(const Tools &)> generated(const QString &arguments) {
    return [=](const Tools &t) {
        t.run(SrecCat, arguments.split(QLatin1Char(' ')) + QStringList{QStringLiteral("-o"),
                                                                       QStringLiteral("image.hex"),
                                                                       QStringLiteral("-intel")});
        return t.path(QStringLiteral("image.hex"));
    };
}

Decoded hexByObjcopy(const Tools &t, const QString &file) {
    Decoded d = t.srecInfo(file, QStringLiteral("-intel"));
    d.image = t.objcopyImage(Objcopy, file, QStringLiteral("ihex"));
    return d;
}

const Case Cases[] = {
    {"/bin/true's sections as objcopy's Intel HEX (extended segment and start segment records)",
     {Objcopy, QStringLiteral("srec_info")},
     trueAs(QStringLiteral("ihex"), QStringLiteral("true.hex")),
     hexByObjcopy,
     "intel-hex"},
    {"/bin/true's sections as objcopy's S-records, sent as they are",
     {Objcopy, QStringLiteral("srec_info")},
     trueAs(QStringLiteral("srec"), QStringLiteral("true.srec")),
     [](const Tools &t, const QString &file) {
         Decoded d = t.srecInfo(file, QStringLiteral("-motorola"));
         d.image = t.objcopyImage(Objcopy, file, QStringLiteral("srec"));
         return d;
     },
     "s-record"},
    {"/bin/true's sections as objcopy's binary, at 0x08000000",
     {Objcopy},
     trueAs(QStringLiteral("binary"), QStringLiteral("true.bin")),
     [](const Tools &, const QString &file) {
         const QByteArray bytes = readFile(file);
         return Decoded{bytes, 0x08000000, static_cast<quint64>(bytes.size()), 0};
     },
     "binary",
     {QStringLiteral("--binary-base"), QStringLiteral("0x08000000")}},
    {"/bin/true as an ELF program: its loadable segments, headers and all",
     {QStringLiteral("readelf")},
     [](const Tools &) { return True; },
     decodeByProgramHeaders,
     "elf"},
    {"srec_cat image with holes, 64 bytes a record",
     {SrecCat, Objcopy, QStringLiteral("srec_info")},
     generated(QStringLiteral("-generate 0x1000 0x1400 -repeat-string Hello -generate 0x2000 "
                              "0x2100 -constant 0x55 -generate 0x2180 0x2181 -constant 0")),
     hexByObjcopy,
     "intel-hex",
     {QStringLiteral("--record-bytes"), QStringLiteral("64")}},
    {"srec_cat image across 64 KiB (extended linear address records)",
     {SrecCat, Objcopy, QStringLiteral("srec_info")},
     generated(QStringLiteral("-generate 0xFF00 0x10100 -repeat-data 1 2 3 5 7 11 13 -generate "
                              "0x20000 0x20010 -constant 7")),
     hexByObjcopy,
     "intel-hex"},
    {"srec_cat image above 16 MiB with a start linear address",
     {SrecCat, Objcopy, QStringLiteral("srec_info")},
     generated(QStringLiteral("-generate 0x08000000 0x08001000 -repeat-string firmware -generate "
                              "0x08100000 0x08100040 -constant 0xA5 "
                              "-execution-start-address=0x08000123")),
     hexByObjcopy,
     "intel-hex"},
    {"srec_cat segmented image (extended segment address records)",
     {SrecCat, Objcopy, QStringLiteral("srec_info")},
     [](const Tools &t) {
         t.run(SrecCat, QStringLiteral("-generate 0xFFF0 0x10020 -repeat-string segment -generate "
                                       "0x30000 0x30100 -constant 1 -o image.hex -intel "
                                       "-address-length=3")
                            .split(QLatin1Char(' ')));
         return t.path(QStringLiteral("image.hex"));
     },
     hexByObjcopy,
     "intel-hex"},
    {"an ELF linked 32-bit little-endian",
     {QStringLiteral("mips-linux-gnu-ld")},
     [](const Tools &t) { return linkedElf(t, 32, false); },
     decodeLinkedElf,
     "elf"},
    {"an ELF linked 32-bit big-endian",
     {QStringLiteral("mips-linux-gnu-ld")},
     [](const Tools &t) { return linkedElf(t, 32, true); },
     decodeLinkedElf,
     "elf"},
    {"an ELF linked 64-bit little-endian",
     {QStringLiteral("mips-linux-gnu-ld")},
     [](const Tools &t) { return linkedElf(t, 64, false); },
     decodeLinkedElf,
     "elf"},
    {"an ELF linked 64-bit big-endian",
     {QStringLiteral("mips-linux-gnu-ld")},
     [](const Tools &t) { return linkedElf(t, 64, true); },
     decodeLinkedElf,
     "elf"},
};

class FirmwareOracle : public CliRig, public ::testing::WithParamInterface<Case> {};

} // namespace

TEST_P(FirmwareOracle, theDeviceGetsTheImageTheToolsDecode) {
    const Case &c = GetParam();
    for (const QString &tool : c.tools)
        if (!Tools::have(tool))
            GTEST_SKIP() << tool.toStdString()
                         << " is not installed (scripts/install-deps.sh --test)";
    const Tools tools(dir.path());
    const QString file = c.make(tools);
    const Decoded expected = c.decode(tools, file);
    ASSERT_FALSE(expected.image.isEmpty()) << "the oracle decoded nothing";

    SimProcess &sim = startSim();
    Cli cli(QStringList{QStringLiteral("--device"), sim.slavePath(), QStringLiteral("--file"), file,
                        QStringLiteral("--speed"), QStringLiteral("auto"), QStringLiteral("--json"),
                        QStringLiteral("--no-history")} +
            c.options);
    ASSERT_EQ(cli.finish(), 0) << cli.err.toStdString();
    ASSERT_TRUE(sim.waitForRuns(1, 5000));
    const QJsonObject summary = sim.summary().value_or(QJsonObject{});
    EXPECT_EQ(summary.value(QStringLiteral("bad_lines")).toInt(-1), 0);
    EXPECT_TRUE(sim.image() == expected.image) << "the image differs from the oracle's";
    EXPECT_EQ(summary.value(QStringLiteral("min_address")).toInteger(),
              static_cast<qint64>(expected.lowest));
    EXPECT_EQ(summary.value(QStringLiteral("data_bytes")).toInteger(),
              static_cast<qint64>(expected.dataBytes))
        << "no byte invented for a hole, none lost";
    EXPECT_EQ(summary.value(QStringLiteral("start_address")).toInteger(-1),
              static_cast<qint64>(expected.start));

    const QJsonObject board = cli.json().at(0).toObject();
    EXPECT_EQ(board.value(QStringLiteral("format")).toString(), QString::fromLatin1(c.format));
    EXPECT_EQ(board.value(QStringLiteral("sha256")).toString(), sha256sum(file));
    if (QString::fromLatin1(c.format) == QStringLiteral("s-record"))
        return;
    // What the file became, said before the power cycle, with the narrowest records that hold it.
    const quint64 highest = std::max<quint64>(
        expected.lowest + static_cast<quint64>(expected.image.size()) - 1, expected.start);
    const char type = highest <= 0xFFFF ? '1' : highest <= 0xFFFFFF ? '2' : '3';
    const QRegularExpression note(QStringLiteral("%1: .*, sent as [0-9,]+ S%2 records\\n.*Switch")
                                      .arg(QRegularExpression::escape(QFileInfo(file).fileName()))
                                      .arg(QLatin1Char(type)),
                                  QRegularExpression::DotMatchesEverythingOption);
    EXPECT_TRUE(QString::fromLocal8Bit(cli.err).contains(note)) << cli.err.toStdString();
    EXPECT_NE(board.value(QStringLiteral("sent_sha256")).toString(),
              board.value(QStringLiteral("sha256")).toString());
}

INSTANTIATE_TEST_SUITE_P(
    Files, FirmwareOracle, ::testing::ValuesIn(Cases),
    [](const ::testing::TestParamInfo<Case> &info) {
        QString name = QString::fromLatin1(info.param.name);
        name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9]+")), QStringLiteral("_"));
        return QStringLiteral("%1_%2").arg(info.index).arg(name.left(40)).toStdString();
    });
