// Putting the guest's kernel-log clock on the host's: the logs both sides write, and the bounds
// they give.

#include "ClockExchange.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace pellora::driver;

namespace {

// The kernel log's way of printing a time: seconds, six digits of microseconds, right-aligned.
std::string stamped(std::int64_t micros, const std::string &text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%5lld.%06lld] ",
                  static_cast<long long>(micros / 1'000'000),
                  static_cast<long long>(micros % 1'000'000));
    return stamp + text + "\n";
}

TEST(ClockExchange, ReadsTheTimeDmesgPrints) {
    EXPECT_EQ(kernelLogMicros("[    0.000000] Linux version 6.1.0"), 0);
    EXPECT_EQ(kernelLogMicros("[   12.345678] usb 1-1: new full-speed USB device"), 12'345'678);
    EXPECT_EQ(kernelLogMicros("[123456.000001] x"), 123'456'000'001);
    EXPECT_EQ(kernelLogMicros(stamped(95'000'250, "y")), 95'000'250);
    EXPECT_EQ(kernelLogMicros("Starting systemd-udevd version 252"), std::nullopt);
    EXPECT_EQ(kernelLogMicros("[   12.3456] four digits"), std::nullopt);
    EXPECT_EQ(kernelLogMicros("[   12.345678 no close"), std::nullopt);
    EXPECT_EQ(kernelLogMicros("[  -1.000000] negative"), std::nullopt);
}

TEST(ClockExchange, PairsTheGuestsStampsWithTheHostsByRoundAndSession) {
    std::string kernel =
        stamped(10'000'000, "usb 1-1: FTDI USB Serial Device converter now "
                            "attached to ttyUSB0") +
        stamped(20'000'000, sentLine("before", 1)) + stamped(20'002'000, backLine("before", 1)) +
        stamped(20'003'000, sentLine("before", 2)) + // never came back
        stamped(20'010'000, sentLine("before", 3)) + stamped(20'011'500, backLine("before", 3)) +
        stamped(30'000'000, sentLine("after", 1)) + // another session
        stamped(30'001'000, backLine("after", 1)) +
        stamped(20'020'000, sentLine("before", 4)) + // the host never took it
        stamped(20'021'000, backLine("before", 4));
    const std::string host = "1 1700000000001000\n"
                             "2 1700000000004000\n"
                             "3 1700000000011000\n"
                             "garbage\n";
    const std::vector<Exchange> exchanges = readExchanges(kernel, "before", host);
    ASSERT_EQ(exchanges.size(), 2u);
    EXPECT_EQ(exchanges[0].round, 1);
    EXPECT_EQ(exchanges[0].guestSent, 20'000'000);
    EXPECT_EQ(exchanges[0].hostTook, 1'700'000'000'001'000);
    EXPECT_EQ(exchanges[0].guestBack, 20'002'000);
    EXPECT_EQ(exchanges[1].round, 3);
    EXPECT_EQ(readExchanges(kernel, "after", "1 1700000000000500\n").size(), 1u);

    // A round seen twice on either side cannot be told apart: it is left out.
    kernel += stamped(20'030'000, sentLine("before", 3));
    EXPECT_EQ(readExchanges(kernel, "before", host).size(), 1u);
    EXPECT_EQ(readExchanges(kernel, "before", host + "1 1700000000001100\n").size(), 0u);
}

TEST(ClockExchange, BoundsTheOffsetByEveryExchange) {
    // The host's clock runs 1,699,999,980 s ahead of the guest's; each exchange takes its own
    // time each way.
    constexpr std::int64_t Offset = 1'699'999'980'000'000;
    const auto exchange = [](int round, std::int64_t sent, std::int64_t there, std::int64_t back) {
        return Exchange{round, sent, sent + there + Offset, sent + there + back};
    };
    const std::vector<Exchange> exchanges{
        exchange(1, 20'000'000, 900, 1'100), // offset within [-1100, +900] around the true one
        exchange(2, 20'005'000, 300, 2'000), // [-2000, +300]
        exchange(3, 20'010'000, 1'500, 200), // [-200, +1500]
    };
    const auto bounds = offsetBounds(exchanges);
    ASSERT_TRUE(bounds);
    EXPECT_EQ(bounds->low, Offset - 200);
    EXPECT_EQ(bounds->high, Offset + 300);

    const auto one = offsetBounds(std::span{exchanges}.first(1));
    ASSERT_TRUE(one);
    EXPECT_EQ(one->low, Offset - 1'100);
    EXPECT_EQ(one->high, Offset + 900);
}

TEST(ClockExchange, GivesNoBoundsWithoutExchangesOrWhenTheyContradict) {
    EXPECT_FALSE(offsetBounds({}));
    // The host took the second byte 5 ms later against the guest's clock than the first: the
    // clocks moved apart by more than the exchanges' own spans.
    const std::vector<Exchange> drifted{{1, 1'000, 11'000 + 500, 2'000},
                                        {2, 3'000, 13'000 + 5'500, 4'000}};
    EXPECT_FALSE(offsetBounds(drifted));
    // An echo back before it was sent is a wrong stamp.
    const std::vector<Exchange> backwards{{1, 2'000, 10'000, 1'000}};
    EXPECT_FALSE(offsetBounds(backwards));
}

} // namespace
