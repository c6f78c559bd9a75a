#include "mox/console.h"
#include "mox/progress.h"
#include "mox/semaphore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct sink {
    std::vector<std::string> lines;
    mox::console::tx_fn fn() {
        return [this](std::string_view s) { lines.emplace_back(s); };
    }
};

TEST(Console, ColouredLineIsOneCall) {
    sink out;
    mox::console c(out.fn(), "update", mox::console::colors::green, mox::console::all, "\n", " : ");
    c.log("sending fpga.bin");
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(out.lines[0], "\033[38;5;10mupdate : sending fpga.bin\033[0m\n");

    c.log("second");
    ASSERT_EQ(out.lines.size(), 2u);
    EXPECT_EQ(out.lines[1], "\033[38;5;10mupdate : second\033[0m\n") << "nothing carried over";

    c.log_error("failed");
    c.log_warning("slow");
    EXPECT_EQ(out.lines[2], "\033[38;5;9mupdate : failed\033[0m\n");
    EXPECT_EQ(out.lines[3], "\033[38;5;202mupdate : slow\033[0m\n");
}

TEST(Console, PlainAndSilentConsoles) {
    sink out;
    mox::console plain(out.fn(), "hash", mox::console::colors::none, mox::console::intermediate,
                       "\r\n", "> ");
    plain.log("ok");
    plain.log_error("bad");
    EXPECT_EQ(out.lines, (std::vector<std::string>{"hash> ok\r\n", "hash> bad\r\n"}));

    sink silent_out;
    mox::console silent(silent_out.fn(), "x", mox::console::colors::cyan, mox::console::none, "\n",
                        ": ");
    silent.log("a");
    silent.log_error("b");
    silent.log_warning("c");
    EXPECT_TRUE(silent_out.lines.empty());
}

TEST(Console, ColourIndices) {
    using c = mox::console::colors;
    EXPECT_EQ(c::get_col(c::none), "15");
    EXPECT_EQ(c::get_col(c::saumon), "217");
    EXPECT_EQ(c::get_col(c::green), "10");
    EXPECT_EQ(c::get_col(c::gray), "250");
    EXPECT_EQ(c::get_col(c::sky), "39");
}

TEST(ConsoleDeathTest, UnknownColourIsAProgrammingError) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    using c = mox::console::colors;
    EXPECT_DEATH(c::get_col(static_cast<c::color>(15)), "assertion failed");
}

TEST(Progress, ClampsAndSignalsChangesOnly) {
    mox::semaphore notif(1, 0);
    mox::progress<uint8_t, 100> p(notif);
    EXPECT_EQ(p.value(), 0);
    EXPECT_FALSE(p.set(0));
    EXPECT_FALSE(notif.take(0));

    EXPECT_TRUE(p.set(150));
    EXPECT_EQ(p.value(), 100);
    EXPECT_TRUE(notif.take(0));
    EXPECT_FALSE(p.set(100));
    EXPECT_FALSE(p.set(200));
    EXPECT_FALSE(notif.take(0)) << "same value twice gives the semaphore once";

    EXPECT_TRUE(p.set(42));
    EXPECT_TRUE(p.set(43));
    EXPECT_EQ(p.value(), 43);
    EXPECT_TRUE(notif.take(0));
    EXPECT_FALSE(notif.take(0)) << "a burst coalesces into one wake-up";
}

} // namespace
