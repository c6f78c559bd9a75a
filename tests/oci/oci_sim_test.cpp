// Output programs against the virtual device: loading every group, readiness, and the preview
// against what the device drives onto its channels.
#include "../core/api_fixture.h"

#include <kestrel_sim/firmware.h>

#include "kestrel/oci/oci_configurator.h"
#include "oci_helpers.h"

namespace {

using namespace core_test;
using namespace oci_test;

// The output program classes over the internals of an open handle, as the core owns them.
struct host {
    explicit host(api_handle& h)
        : dev(h.internals().device), loader(dev.com, dev.device_caps, dev.status),
          oc(dev.device_caps, dev.device_config, dev.cfg_loader, loader, dev.stat_ctrl,
             h.internals().trs_man, dev.log) {}

    kestrel::core& dev;
    kestrel::oci_loader_t loader;
    kestrel::oci_configurator oc;
};

class oci_sim : public on_bus {
protected:
    std::shared_ptr<kestrel_sim::firmware> plug_and_open(api_handle& h, const std::string& sn) {
        bus::instance().plug(sn);
        EXPECT_EQ(h.open(sn), OHWAPI_OK);
        return bus::instance().firmware(sn);
    }
};

TEST_F(oci_sim, every_group_is_loaded_and_reports_ready) {
    api_handle h(kestrel_three);
    auto fw = plug_and_open(h, "7302103000007");
    host o(h);
    auto& acq = fw->acq();
    EXPECT_FALSE(o.dev.stat_ctrl.oci_ready());

    const std::vector<oci::word> prog{hold(5, {0, 20, 40}, true), hold(7, {17, 35, 53}), loop(3),
                                      end()};
    ASSERT_TRUE(o.oc.start_oci_chunk(prog));
    EXPECT_TRUE(o.oc.wait_oci_ready(5000));
    for (unsigned g = 0; g < 3; ++g) {
        SCOPED_TRACE(g);
        // Bridge g serves configuration entry g: natural group 2 - g.
        std::vector<uint32_t> expected;
        o.loader.build_loading_vector(prog, static_cast<uint8_t>(2 - g));
        for (size_t i = 0; i < prog.size(); ++i) {
            uint32_t w = 0;
            for (size_t b = 0; b < 4; ++b)
                w |= uint32_t{o.loader.loading_vector[16 * i + 4 * b]} << (8 * b);
            expected.push_back(w);
        }
        EXPECT_EQ(acq.output_words(g), expected);
        const auto st = acq.output_status(g);
        EXPECT_TRUE(st.ready);
        EXPECT_FALSE(st.loading);
        EXPECT_EQ(st.bad_addresses, 0u);
    }
    EXPECT_EQ(acq.output_words(0)[0], 0x00000005u | 1u << 14); // channel 40 = bit 4 of ef
    EXPECT_EQ(acq.output_words(2)[1], 0x30000007u | 1u << 27); // channel 17
    EXPECT_TRUE(fw->oci_start_flag());

#if defined(__SANITIZE_THREAD__)
    // Under the thread sanitizer the virtual device decodes 3.7 MB a group too slowly for
    // the link's fixed time-outs once other tests share the machine.
    h.close();
    GTEST_SKIP() << "largest program: too slow under the thread sanitizer";
#endif
    // The largest program goes to every group; one word more is refused and leaves the
    // engines loading, so they stop reporting ready.
    std::vector<oci::word> big(kestrel::oci_loader_t::oci_chunk_max_size, hold(1, {0}));
    big.back() = end();
    ASSERT_TRUE(o.oc.start_oci_chunk(big));
    EXPECT_TRUE(o.oc.wait_oci_ready(5000));
    for (unsigned g = 0; g < 3; ++g) {
        EXPECT_EQ(acq.output_status(g).words, big.size());
        EXPECT_EQ(acq.output_status(g).bad_addresses, 0u);
    }
    big.push_back(end());
    EXPECT_FALSE(o.oc.start_oci_chunk(big));
    EXPECT_TRUE(eventually([&] { return !o.dev.stat_ctrl.oci_ready(); }));
    EXPECT_FALSE(o.oc.wait_oci_ready(0));
    for (unsigned g = 0; g < 3; ++g) {
        EXPECT_TRUE(acq.output_status(g).loading);
        EXPECT_FALSE(acq.output_status(g).ready);
        EXPECT_EQ(acq.output_status(g).loading_words, 0u);
    }
    h.close();
}

TEST_F(oci_sim, engine_that_never_leaves_ready_is_reported) {
    api_handle h(kestrel_one);
    auto fw = plug_and_open(h, "7302101000001");
    host o(h);
    ASSERT_TRUE(o.oc.start_oci_chunk({hold(1), end()}));
    ASSERT_TRUE(o.oc.wait_oci_ready(5000));
    // Readiness packets lost from now on: the host keeps seeing a ready engine.
    bus::instance().drop_replies("7302101000001", 71, -1);
    try {
        o.oc.start_oci_chunk({hold(2), end()});
        ADD_FAILURE() << "no exception";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::not_responding);
    }
    h.close();
}

struct preview_case {
    hw::freq sampling_freq;
    bool endless;
};

class preview_vs_device : public oci_sim, public ::testing::WithParamInterface<preview_case> {};

// The preview, sample for sample, against the device's own levels on its output channels
// from the sample where its program started (the trigger: the engines wait for it).
TEST_P(preview_vs_device, preview_equals_the_driven_channels) {
    const auto pc = GetParam();
    api_handle h(kestrel_two);
    auto fw = plug_and_open(h, "7302102000042");
    host o(h);
    auto& cb = o.oc.callbacks;
    auto& cfg = o.dev.device_config;
    // Program channels in both groups, two clock outputs (channel 17: clock 3 of entry 1;
    // channel 26: clock 0 of entry 0), one channel that is not an output.
    const std::vector<size_t> outs{0, 1, 9, 20, 33, 17, 26};
    for (size_t ch : outs)
        ASSERT_TRUE(cb.set_io_type(ch, oci::io_t::push_pull));
    cb.enable_clkout(3, true);
    cb.set_clkout_freq(3, 5000000);
    cb.enable_clkout(0, true);
    cb.set_clkout_freq(0, 2500000);
    cb.set_idle_state(1, true);
    cb.set_idle_state(20, true);

    // (((A B) x2 C) x1 D) once more or for ever, then E: three loop levels, level changes
    // on every channel of both groups.
    std::vector<oci::word> prog{hold(2, {0}, true),
                                hold(3, {0, 9, 5}, true),
                                hold(2, {1, 20}, true),
                                hold(1, {0, 1, 33}),
                                loop(2),
                                hold(5, {9, 33, 20}),
                                loop(1),
                                hold(4, {0, 20}),
                                loop(pc.endless ? 0 : 1),
                                hold(6, {1, 33}),
                                end()};
    ASSERT_TRUE(cb.start_oci_chunk(prog));
    ASSERT_TRUE(cb.wait_oci_ready(5000));

    const isamp n = 3000;
    const double period = 1.0 / pc.sampling_freq;
    ASSERT_TRUE(cb.preview_oci_chunk(prog, n, period));
    auto& man = h.internals().trs_man;
    std::vector<std::vector<bool>> preview;
    for (size_t ch = 0; ch < 36; ++ch)
        preview.push_back(sampled(man, ch, n));

    // Arm the device with the same configuration; the trigger comes at once.
    cfg.sampling_freq = pc.sampling_freq;
    cfg.sampling_depth = 2 * n;
    cfg.post_trig_depth = n + 100;
    o.dev.cfg_loader.set_run_flag(false);
    o.dev.cfg_loader.send_to_device(cfg);
    o.dev.cfg_loader.set_run_flag(true);
    auto& acq = fw->acq();
    ASSERT_TRUE(acq.wait_trigger(10s));
    const auto info = acq.capture();
    ASSERT_TRUE(info.outputs_running);
    EXPECT_EQ(info.program_start_sample, info.trigger_sample);
    const int64_t start = info.program_start_sample;

    for (size_t ch : outs) {
        SCOPED_TRACE(ch);
        std::vector<bool> device(static_cast<size_t>(n));
        for (isamp k = 0; k < n; ++k)
            device[static_cast<size_t>(k)] = acq.level(static_cast<unsigned>(ch), start + k);
        EXPECT_EQ(preview[ch], device);
        // Before the program the channel holds its idle level.
        EXPECT_EQ(acq.level(static_cast<unsigned>(ch), start - 1), ch == 1 || ch == 20);
    }
    // A channel that is not an output is not driven by the preview.
    EXPECT_EQ(preview[5], std::vector<bool>(static_cast<size_t>(n), false));
    // The clocks are really there: 50 samples per period at 250 MHz.
    EXPECT_NE(preview[17], std::vector<bool>(static_cast<size_t>(n), false));
    // Output sync marks the program in every group's stream.
    for (unsigned g = 0; g < 2; ++g) {
        EXPECT_FALSE(acq.output_sync_level(g, start - 1));
        EXPECT_TRUE(acq.output_sync_level(g, start));
    }
    o.dev.cfg_loader.set_run_flag(false);
    h.close();
}

INSTANTIATE_TEST_SUITE_P(rates, preview_vs_device,
                         ::testing::Values(preview_case{250000000, false},
                                           preview_case{250000000, true},
                                           preview_case{100000000, true}));

} // namespace
