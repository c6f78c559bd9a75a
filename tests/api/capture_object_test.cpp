// Capture objects over stores built in memory: the exported reads, exports and lifetime.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "api/capture_object.h"
#include "kestrelapi.h"

#include "../core/scratch.h"

namespace {

using api_utils::capture_object;
using api_utils::live_captures;
using core_test::scratch_dir;

// Channel ch toggles every (ch + 1) * 7 samples over `length` samples; channel 2 stays low.
std::vector<std::unique_ptr<trs::store>> stores(unsigned channels, isamp length) {
    std::vector<std::unique_ptr<trs::store>> v;
    for (unsigned ch = 0; ch < channels; ++ch) {
        auto s = std::make_unique<trs::store>();
        if (ch == 2) {
            s->append_idle(length, 0);
        } else {
            const isamp step = (ch + 1) * 7;
            uint8_t level = 0;
            for (isamp t = step; t < length; t += step)
                s->append(t, level ^= 1);
            s->append_idle(length, level);
        }
        v.push_back(std::move(s));
    }
    return v;
}

kestrelapi_capture make(unsigned channels, isamp length, std::vector<std::string> names = {}) {
    capture_object::info_t info;
    info.samples = length;
    info.trigger_position = 100;
    info.triggered = true;
    info.period = 4e-9;
    info.names = std::move(names);
    return live_captures::instance().add(
        std::make_unique<capture_object>(stores(channels, length), std::move(info)));
}

struct item {
    uint64_t sample;
    uint8_t level;
    bool operator==(const item&) const = default;
};

std::vector<item> read_all(kestrelapi_capture c, uint8_t ch, uint32_t capacity, uint64_t from = 0) {
    std::vector<item> out;
    std::vector<uint64_t> s(capacity);
    std::vector<uint8_t> l(capacity);
    for (;;) {
        uint32_t n = 0;
        EXPECT_EQ(kestrelapi_capture_read(c, ch, from, s.data(), l.data(), capacity, &n),
                  OHWAPI_OK);
        for (uint32_t i = 0; i < n; ++i)
            out.push_back({s[i], l[i]});
        if (n == 0) return out;
        from = s[n - 1] + 1;
    }
}

std::string contents(const std::string& path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

} // namespace

TEST(CaptureObject, ReadsFollowTheStoresAndTheBulkReadRules) {
    const isamp length = 5000;
    const kestrelapi_capture c = make(4, length);
    auto reference = stores(4, length);

    uint64_t samples = 0, trigger = 0, rate = 0;
    uint8_t channels = 0;
    ASSERT_EQ(kestrelapi_capture_info(c, &samples, &trigger, &rate, &channels), OHWAPI_OK);
    EXPECT_EQ(samples, 5000u);
    EXPECT_EQ(trigger, 100u);
    EXPECT_EQ(rate, 250000000u);
    EXPECT_EQ(channels, 4);
    EXPECT_EQ(kestrelapi_capture_info(c, nullptr, &trigger, &rate, &channels),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_info(c, &samples, &trigger, &rate, nullptr),
              OHWAPI_INVALID_ARGUMENT);

    for (uint8_t ch = 0; ch < 4; ++ch) {
        SCOPED_TRACE(int{ch});
        std::vector<uint64_t> s(10000);
        std::vector<uint8_t> l(10000);
        const size_t n = reference[ch]->read(0, s.data(), l.data(), s.size());
        std::vector<item> expected;
        for (size_t i = 0; i < n; ++i)
            expected.push_back({s[i], l[i]});
        EXPECT_EQ(read_all(c, ch, 100000), expected);
        EXPECT_EQ(read_all(c, ch, 1), expected); // capacity 1 goes on item by item
        std::vector<item> tail;
        for (const item& i : expected)
            if (i.sample >= 1000) tail.push_back(i);
        EXPECT_EQ(read_all(c, ch, 3, 1000), tail);
        for (isamp t : {isamp{0}, isamp{6}, isamp{7}, isamp{1234}, length - 1}) {
            uint8_t a = 9, b = 8;
            ASSERT_EQ(kestrelapi_capture_level_at(c, ch, static_cast<uint64_t>(t), &a), OHWAPI_OK);
            ASSERT_TRUE(reference[ch]->level_at(t, b));
            EXPECT_EQ(a, b) << t;
        }
        uint8_t level = 0;
        EXPECT_EQ(kestrelapi_capture_level_at(c, ch, 5000, &level), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_level_at(c, ch, ~uint64_t{0}, &level),
                  OHWAPI_INVALID_ARGUMENT);
        EXPECT_TRUE(read_all(c, ch, 10, ~uint64_t{0}).empty());
    }
    uint64_t s[2];
    uint8_t l[2];
    uint32_t n = 0;
    EXPECT_EQ(kestrelapi_capture_read(c, 4, 0, s, l, 2, &n), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_read(c, 0, 0, nullptr, l, 2, &n), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_read(c, 0, 0, s, nullptr, 2, &n), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_read(c, 0, 0, s, l, 2, nullptr), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_read(c, 0, 0, s, l, 0, &n), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_level_at(c, 4, 0, l), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_level_at(c, 0, 0, nullptr), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
}

TEST(CaptureObject, ExportsChooseTheFormatByExtension) {
    scratch_dir dir;
    const kestrelapi_capture c = make(3, 2000, {"clk", "", "idle"});
    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/a.vcd").c_str(), 0, 0), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/a.CSV").c_str(), 0b101, 0), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/a.sr").c_str(), 0, 0), OHWAPI_OK);
    const std::string vcd = contents(dir.path + "/a.vcd");
    EXPECT_NE(vcd.find(" clk $end"), std::string::npos);
    EXPECT_NE(vcd.find(" ch1 $end"), std::string::npos); // an empty name is the default one
    EXPECT_NE(vcd.find("trigger"), std::string::npos);
    const std::string csv = contents(dir.path + "/a.CSV");
    EXPECT_EQ(csv.rfind("sample,time,channel,level\n", 0), 0u);
    EXPECT_NE(csv.find(",idle,"), std::string::npos);
    EXPECT_EQ(csv.find(",ch1,"), std::string::npos); // not in the mask
    EXPECT_GT(std::filesystem::file_size(dir.path + "/a.sr"), 0u);

    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/a.txt").c_str(), 0, 0),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/none/a.vcd").c_str(), 0, 0),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_export(c, (dir.path + "/b.vcd").c_str(), 0b1000, 0),
              OHWAPI_INVALID_ARGUMENT); // channel 3 is beyond the capture
    EXPECT_EQ(kestrelapi_capture_export(c, nullptr, 0, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_export(c, "", 0, 0), OHWAPI_INVALID_ARGUMENT);
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/a.txt"));
    EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
}

TEST(CaptureObject, UnknownNullAndFreedCapturesAreRefused) {
    const kestrelapi_capture c = make(2, 100);
    ASSERT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
    uint64_t a = 0, b = 0, r = 0, s[1];
    uint8_t ch = 0, l[1];
    uint32_t n = 0;
    auto* unknown = reinterpret_cast<kestrelapi_capture>(&a);
    for (kestrelapi_capture x : {c, kestrelapi_capture{nullptr}, unknown}) {
        EXPECT_EQ(kestrelapi_capture_free(x), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_info(x, &a, &b, &r, &ch), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_read(x, 0, 0, s, l, 1, &n), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_level_at(x, 0, 0, l), OHWAPI_INVALID_ARGUMENT);
        EXPECT_EQ(kestrelapi_capture_export(x, "/tmp/x.vcd", 0, 0), OHWAPI_INVALID_ARGUMENT);
    }
    EXPECT_THROW(capture_object({}, {}), std::invalid_argument);
    capture_object::info_t no_rate;
    EXPECT_THROW(capture_object(stores(1, 10), no_rate), std::invalid_argument);
}

TEST(CaptureObject, SeveralThreadsReadWhileAFreeWaitsForThem) {
    const isamp length = 200000;
    const kestrelapi_capture c = make(3, length);
    const auto expected = read_all(c, 0, 4096);
    std::atomic<int> mismatches{0}, refused{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            for (int round = 0; round < 5; ++round) {
                std::vector<uint64_t> s(777);
                std::vector<uint8_t> l(777);
                std::vector<item> got;
                uint64_t from = 0;
                for (;;) {
                    uint32_t n = 0;
                    const auto rc =
                        kestrelapi_capture_read(c, 0, from, s.data(), l.data(), 777, &n);
                    if (rc != OHWAPI_OK) {
                        ++refused;
                        return;
                    }
                    for (uint32_t i = 0; i < n; ++i)
                        got.push_back({s[i], l[i]});
                    if (n == 0) break;
                    from = s[n - 1] + 1;
                }
                if (got != expected) ++mismatches;
            }
        });
    for (auto& r : readers)
        r.join();
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(refused, 0);

    // A free waits for the call in progress: while a lease is held, the capture stays whole
    // and new calls are refused.
    {
        live_captures::lease held = live_captures::instance().acquire(c);
        ASSERT_TRUE(held);
        std::atomic<bool> freed{false};
        std::thread freer([&] {
            EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_OK);
            freed = true;
        });
        uint64_t a, b, r;
        uint8_t ch;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (kestrelapi_capture_info(c, &a, &b, &r, &ch) == OHWAPI_OK &&
               std::chrono::steady_clock::now() < end)
            std::this_thread::yield();
        EXPECT_FALSE(freed);
        uint8_t level = 9;
        EXPECT_TRUE((*held).level_at(0, 7, level)); // still there to read
        EXPECT_EQ(level, 1);
        { live_captures::lease gone = std::move(held); }
        freer.join();
        EXPECT_TRUE(freed);
    }
    EXPECT_EQ(kestrelapi_capture_free(c), OHWAPI_INVALID_ARGUMENT);
}
