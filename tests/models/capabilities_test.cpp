#include <gtest/gtest.h>

#include "fxt/capabilities.h"
#include "hw/exception.h"
#include "kestrel/capabilities.h"

using hw::model_t;

TEST(Capabilities, AcquisitionLimitsPerModel) {
    const std::tuple<model_t, size_t, int> rows[] = {{model_t::kestrel_one, 18, 1},
                                                     {model_t::kestrel_two, 36, 2},
                                                     {model_t::kestrel_three, 54, 3}};
    for (auto [model, channels, groups] : rows) {
        kestrel::capabilities c(model);
        EXPECT_EQ(c.channels, channels);
        EXPECT_EQ(c.groups_count, groups);
        EXPECT_EQ(c.clk_out_count, 2 * groups);
        EXPECT_EQ(c.ch_factory(model), channels);
        EXPECT_EQ(c.min_sampling_freq, 3921568u);
        EXPECT_FALSE(c.supported_io_types.exists(oci::io_t::open_drain_no_pull));
        EXPECT_TRUE(c.supported_io_types.exists(oci::io_t::push_pull));
        EXPECT_TRUE(c.supported_io_types.exists(oci::io_t::open_drain_pull_up));
        EXPECT_TRUE(c.supported_io_types.exists(oci::io_t::floating));
    }
}

TEST(Capabilities, UnknownModelIsAProgrammingError) {
    EXPECT_DEATH(kestrel::capabilities c(model_t::na), "false");
}

TEST(Capabilities, TriggerWordMapFillsBitsZeroToSixtyTwo) {
    for (model_t model : {model_t::kestrel_one, model_t::kestrel_two, model_t::kestrel_three}) {
        fxt::capabilities c(model);
        const fxt::map& m = c.trig_word_map;
        EXPECT_EQ(m.mask.bit_pos, 45);
        EXPECT_EQ(m.mask.width, 18);
        EXPECT_EQ(m.static_value.bit_pos, 27);
        EXPECT_EQ(m.static_value.width, 18);
        EXPECT_EQ(m.tmin.width, 11);
        EXPECT_EQ(m.tmax.width, 11);
        // The fields tile the word without overlap and leave bit 63 free.
        const fxt::reg fields[] = {m.ignore_tmin,
                                   m.ignore_tmax,
                                   m.tmin,
                                   m.tmax,
                                   m.check_logic_change_only,
                                   m.dont_reset_time,
                                   m.dont_wait_for_change,
                                   m.static_value,
                                   m.mask};
        uint64_t used = 0;
        for (const auto& f : fields) {
            EXPECT_EQ(used & f.mask(), 0u);
            used |= f.mask();
        }
        EXPECT_EQ(used, (1ULL << 63) - 1);
        EXPECT_EQ(c.n_channels, kestrel::capabilities(model).channels);
        EXPECT_EQ(c.max_steps, 256);
        EXPECT_TRUE(c.supports(fxt::mode_t::EXT_FALLING));
        EXPECT_FALSE(c.supports(fxt::mode_t::BUS));
        EXPECT_FALSE(c.supports(fxt::mode_t::TRGBOX));
        EXPECT_EQ(c.supported_modes.front(), fxt::mode_t::RISING);
    }
    EXPECT_THROW(fxt::capabilities(model_t::na), hw::exception);
}
