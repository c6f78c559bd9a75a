#include <gtest/gtest.h>

#include <stdexcept>

#include "kestrel/status.h"

using kestrel::status_t;

namespace {

using bytes = std::vector<uint8_t>;

bytes port(uint8_t detected, uint8_t temperature) {
    return {1, detected, 0, temperature, 1, 1, 0};
}

// One group record of the given revision, with its version code.
bytes group(uint8_t revision, uint8_t version, uint8_t tail = 0) {
    bytes g = {revision, 1, 1, 0};
    if (revision > 1) g.push_back(1); // oci_paused
    bytes rest = {0, 0, 1, version, 2, 0x5A};
    g.insert(g.end(), rest.begin(), rest.end());
    for (auto p : {port(1, 40), port(0, 41)})
        g.insert(g.end(), p.begin(), p.end());
    if (revision > 2) {
        g.push_back(tail);
        g.push_back(1);
    }
    return g;
}

bytes record(std::vector<bytes> groups) {
    bytes r = {1, 2, 7, 0x34, 0x12, 30, 1, 0, static_cast<uint8_t>(groups.size())};
    for (auto& g : groups)
        r.insert(r.end(), g.begin(), g.end());
    return r;
}

} // namespace

TEST(Status, RecordDecodesEveryRevision) {
    status_t s(kestrel::capabilities(hw::model_t::kestrel_two), {});
    bytes r = record({group(3, 0x23, 0), group(3, 0x11, 1)});
    ASSERT_EQ(r.size(), 9u + 2 * 27);
    size_t i = 0;
    s.pull_from_vector(r, i);
    EXPECT_EQ(i, r.size());
    const auto rec = s.get();
    EXPECT_EQ(rec.mb_version.maj, 2);
    EXPECT_EQ(rec.mb_version.min, 7);
    EXPECT_EQ(rec.mb_version.build, 0x1234);
    EXPECT_TRUE(rec.main_pll_locked);
    EXPECT_FALSE(rec.fpga_pll_locked);
    ASSERT_EQ(rec.groups.size(), 2u);
    EXPECT_EQ(rec.groups[0].version, 0x23);
    EXPECT_FALSE(rec.groups[0].in_only_probe);
    EXPECT_TRUE(rec.groups[1].in_only_probe);
    EXPECT_TRUE(rec.groups[1].in_only_fw);
    EXPECT_TRUE(rec.groups[0].trigged);
    EXPECT_TRUE(rec.groups[0].oci_paused);
    EXPECT_EQ(rec.groups[0].ports[1].temperature, 41);
    EXPECT_TRUE(rec.groups[0].ports[0].detected);
    EXPECT_EQ(rec.groups[0].buffered_data_size(), 64000000u);

    // Revision 1 carries no oci_paused byte: the earlier value stays.
    bytes r1 = record({group(1, 0x24), group(2, 0x25)});
    ASSERT_EQ(r1.size(), 9u + 24 + 25);
    i = 0;
    s.pull_from_vector(r1, i);
    EXPECT_TRUE(s.get().groups[0].oci_paused);
    EXPECT_TRUE(s.get().groups[1].in_only_probe); // not carried by revision 2
    EXPECT_EQ(s.get().groups[0].version, 0x24);
}

TEST(Status, MalformedRecordsChangeNothing) {
    status_t s(kestrel::capabilities(hw::model_t::kestrel_one), {});
    bytes good = record({group(3, 0x23)});
    size_t i = 0;
    s.pull_from_vector(good, i);

    for (size_t cut = 0; cut < good.size(); ++cut) {
        bytes shorter(good.begin(), good.begin() + static_cast<long>(cut));
        size_t j = 0;
        EXPECT_THROW(s.pull_from_vector(shorter, j), std::exception) << cut;
        EXPECT_EQ(j, 0u);
    }
    bytes bad_marker = record({group(3, 0x42)});
    bad_marker[9 + 11] = 0; // marker of port 0
    size_t j = 0;
    EXPECT_THROW(s.pull_from_vector(bad_marker, j), std::invalid_argument);
    bad_marker = record({group(3, 0x42)});
    bad_marker[0] = 2;
    EXPECT_THROW(s.pull_from_vector(bad_marker, j), std::invalid_argument);
    // Readers still see the last good record whole, and only it counts as news: the
    // capture trusts a trigger only from a record published after it armed the device.
    EXPECT_EQ(s.get().groups[0].version, 0x23);
    EXPECT_EQ(s.published(), 1u);
    i = 0;
    s.pull_from_vector(good, i);
    EXPECT_EQ(s.published(), 2u);
    EXPECT_EQ(s.get().groups.size(), 1u);
}

TEST(Status, ReadinessMaskAndLargeBacklogs) {
    status_t s(kestrel::capabilities(hw::model_t::kestrel_three), {});
    s.set_oci_ready(0b101);
    const auto g = s.groups();
    EXPECT_TRUE(g[0].oci_ready);
    EXPECT_FALSE(g[1].oci_ready);
    EXPECT_TRUE(g[2].oci_ready);
    status_t::group big;
    big.data_abailable = 255;
    EXPECT_EQ(big.buffered_data_size(), 8160000000ULL);
}
