// The window's S-record check against the device's own rule (the simulator's line checker, written
// separately from the device's side): a line the device would count as malformed must never pass,
// and a line it takes must never be refused.
#include "SRecordWriter.h"
#include "firmware/SRecordCheck.h"
#include "sim/SRecordLine.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

namespace {

bool deviceTakes(const QByteArray &line) {
    return pellora::sim::checkLine(
               std::string_view(line.constData(), static_cast<std::size_t>(line.size())))
        .ok();
}

} // namespace

TEST(FaultRecordCheck, agreesWithTheDeviceOnNamedShapes) {
    const QByteArray good = SRecordWriter::record('1', 0x1000, QByteArray("\x01\x02\x03", 3));
    const struct {
        const char *name;
        QByteArray line;
    } cases[] = {
        {"S0", SRecordWriter::record('0', 0, "hdr")},
        {"S1", good},
        {"S2", SRecordWriter::record('2', 0x123456, "abc")},
        {"S3", SRecordWriter::record('3', 0x08000000, QByteArray(32, '\x5a'))},
        {"S5", SRecordWriter::record('5', 3, {})},
        {"S6", SRecordWriter::record('6', 70000, {})},
        {"S7", SRecordWriter::record('7', 0x08000000, {})},
        {"S8", SRecordWriter::record('8', 0x1000, {})},
        {"S9", SRecordWriter::record('9', 0x1000, {})},
        {"the longest", SRecordWriter::record('1', 0, QByteArray(252, '\x11'))},
        {"lower-case hex", good.toLower().replace('s', 'S')},
        {"type 4", QByteArray(good).replace(1, 1, "4")},
        {"lower-case s", QByteArray(good).replace(0, 1, "s")},
        {"trailing space", good + ' '},
        {"odd length", good.chopped(1)},
        {"one byte short", good.chopped(2)},
        {"bad checksum", good.chopped(1) + (good.endsWith('0') ? "1" : "0")},
        {"type only", "S1"},
        {"count only", "S103"},
        {"data past 4 GiB", SRecordWriter::record('3', 0xFFFFFFF0, QByteArray(32, '\0'))},
        {"last byte at 4 GiB", SRecordWriter::record('3', 0xFFFFFFE0, QByteArray(32, '\0'))},
        {"too long", "S1" + QByteArray(600, 'A')},
        {"S9 with a data byte", SRecordWriter::record('9', 0x1000, "x")},
        {"S5 with data", SRecordWriter::record('5', 3, "xy")},
        {"S8 with data", SRecordWriter::record('8', 0x1000, "x")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SRecordCheck::problem(c.line).isEmpty(), deviceTakes(c.line))
            << c.line.constData();
    }
}

TEST(FaultRecordCheck, agreesWithTheDeviceOnDamagedRecords) {
    // Records damaged the ways a file goes wrong: a changed, dropped or added character, a cut.
    QRandomGenerator random(7);
    const char alphabet[] = "0123456789ABCDEFabcdefS \t:xG\x01\xff";
    int taken = 0;
    for (int i = 0; i < 20'000; ++i) {
        const char type = "012356789"[random.bounded(9)];
        const quint32 address = type == '1' || type == '5' || type == '9' ? random.bounded(0x10000u)
                                : type == '2' || type == '6' || type == '8'
                                    ? random.bounded(0x1000000u)
                                    : random.generate();
        const bool data = type >= '1' && type <= '3';
        QByteArray payload(data ? static_cast<int>(random.bounded(40u)) : 0, '\0');
        for (char &b : payload)
            b = static_cast<char>(random.bounded(256));
        QByteArray line;
        try {
            line = SRecordWriter::record(type, address, payload);
        } catch (const std::exception &) {
            continue;
        }
        const auto at = static_cast<int>(random.bounded(line.size()));
        const char c = alphabet[random.bounded(static_cast<int>(sizeof alphabet - 1))];
        switch (random.bounded(5)) {
        case 0:
            line[at] = c;
            break;
        case 1:
            line.remove(at, 1);
            break;
        case 2:
            line.insert(at, c);
            break;
        case 3:
            line.truncate(at);
            break;
        default:
            break; // left whole
        }
        if (line.isEmpty())
            continue;
        taken += deviceTakes(line) ? 1 : 0;
        ASSERT_EQ(SRecordCheck::problem(line).isEmpty(), deviceTakes(line)) << line.constData();
    }
    EXPECT_GT(taken, 1000) << "whole records are among the cases";
}
