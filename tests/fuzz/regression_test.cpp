// Replays every fuzz target over its seeds and over the inputs the fuzzer found faults
// with (crashes/<target>/), so that each fixed fault stays fixed in the normal builds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "targets.h"

namespace {

std::vector<uint8_t> read_file(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

class fuzz_inputs : public ::testing::TestWithParam<kestrel_fuzz::target> {};

TEST_P(fuzz_inputs, seeds_and_found_faults_run_clean) {
    const auto& t = GetParam();
    for (const auto& s : kestrel_fuzz::seeds(t.name))
        EXPECT_EQ(t.fn(s.data(), s.size()), 0);
    // Found faults, and a few inputs of a long run kept for the paths they reach.
    for (const char* kept : {KESTREL_FUZZ_CRASHES, KESTREL_FUZZ_CORPUS}) {
        const auto dir = std::filesystem::path(kept) / t.name;
        if (!std::filesystem::exists(dir)) continue;
        for (const auto& e : std::filesystem::directory_iterator(dir)) {
            SCOPED_TRACE(e.path().string());
            const auto in = read_file(e.path());
            EXPECT_EQ(t.fn(in.data(), in.size()), 0);
        }
    }
}

// Short and empty inputs reach every early exit.
TEST_P(fuzz_inputs, every_short_input) {
    const auto& t = GetParam();
    EXPECT_EQ(t.fn(nullptr, 0), 0);
    for (unsigned b = 0; b < 256; b += 5) {
        const uint8_t one[3] = {static_cast<uint8_t>(b), static_cast<uint8_t>(255 - b), 0x55};
        EXPECT_EQ(t.fn(one, 1), 0);
        EXPECT_EQ(t.fn(one, 3), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(targets, fuzz_inputs, ::testing::ValuesIn(kestrel_fuzz::all_targets),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace

#include <cstring>

#include "api/api_handles.h"

namespace {

// Found by fuzz_settings: a bool field holding another byte than 0 or 1 was loaded as a
// bool (undefined behaviour); any non-zero byte now reads as true.
TEST(fuzz_found, bool_fields_of_the_settings_take_any_byte) {
    api_utils::api_handles h(hw::model_t::kestrel_one);
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    s.timebase_src = TIMEBASE_INTERNAL;
    std::memset(&s.ext_trig_50r, 0x20, 1);
    std::memset(&s.ext_trig_out_polarity, 0x80, 1);
    std::memset(&s.oci_clk_out_enable, 0x02, sizeof s.oci_clk_out_enable);
    const kestrel::config cfg = h.get_cfg(s);
    EXPECT_TRUE(cfg.global_trigger.ext_in_50r);
    EXPECT_TRUE(cfg.global_trigger.trig_out_polarity);
    EXPECT_TRUE(cfg.groups.front().oci_parameters.clk_out_enable[1]);
}

} // namespace
