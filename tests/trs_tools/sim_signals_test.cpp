// The signal tools over channels filled from the virtual device's signal models, sampled
// the way a capture stores them.
#include "kestrel_sim/acquisition.h"
#include "kestrel_sim/bus.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

using kestrel_sim::signal_t;

// Without a capture running, the device's ground truth is sampled at 250 MHz.
constexpr double device_rate = 250e6;

struct SimSignals : ::testing::Test {
    mox::semaphore gui;
    trs::manager man{18, gui};
    kestrel_sim::acquisition* acq = nullptr;
    isamp decimation = 1; // store sample k is device sample offset + k * decimation
    isamp offset = 0;

    void SetUp() override {
        kestrel_sim::bus::instance().reset();
        auto fw = kestrel_sim::bus::instance().firmware(kestrel_sim::default_serial);
        ASSERT_TRUE(fw);
        acq = &fw->acq();
        ASSERT_GE(acq->channels(), 18u);
        acq->reset_signals();
    }

    void use_rate(isamp decim, isamp first = 0) {
        decimation = decim;
        offset = first;
        man.init(decimation / device_rate, trs::manager::all_channels);
    }

    bool truth(unsigned ch, isamp k) const { return acq->level(ch, offset + k * decimation); }

    // Stores `n` samples of channel `ch` as the capture tool does (a fall at sample 0 after
    // the initial level, then every level change). Changes are found by steps of `stride`
    // samples refined by bisection, so `stride` must be shorter than the narrowest pulse.
    void store_channel(unsigned ch, isamp n, isamp stride) {
        trs::builder b = man.create_builder(ch);
        std::vector<trs::edge_t> edges;
        bool cur = truth(ch, 0);
        if (cur) edges.push_back({0, 1});
        for (isamp k = 0; k < n - 1;) {
            isamp hi = std::min(k + stride, n - 1);
            if (truth(ch, hi) == cur) {
                k = hi;
                continue;
            }
            isamp lo = k;
            while (hi - lo > 1) {
                const isamp mid = lo + (hi - lo) / 2;
                (truth(ch, mid) == cur ? lo : hi) = mid;
            }
            cur = !cur;
            edges.push_back({hi, static_cast<uint8_t>(cur)});
            k = hi;
        }
        b.append(0, 0);
        b.append(edges);
        b.append_idle(n, cur);
    }

    // An 8N1 receiver made of the tools: bit time from the estimated rate, each start bit
    // found as the next fall after the previous stop bit, a bit sampler on the middle of
    // its bits. Every level read is checked against the device's ground truth.
    std::vector<uint8_t> receive(unsigned ch, double bit) {
        std::vector<uint8_t> out;
        trs::iterator it = man.create_iterator(ch);
        trs::bitsampler rx = man.create_bitsampler(ch);
        const isamp n = man.maximum_samples_count();
        isamp from = 1; // after the capture's own items at sample 0
        for (;;) {
            it.restart(from, 10.0, 0);
            trs::tr t = it.next();
            while (!(t.pol == trs::value::falling && t.sample >= from) && !t.is_last)
                t = it.next();
            if (t.pol != trs::value::falling || t.sample < from) break;
            if (t.sample + std::llround(10 * bit) > n) break; // the frame is cut off
            rx.init(t.sample + std::llround(bit / 2), std::llround(bit));
            uint8_t byte = 0;
            for (int k = 0; k < 10; ++k) {
                const isamp at = rx.position();
                const uint8_t v = rx.next();
                EXPECT_EQ(v, truth(ch, at) ? 1 : 0) << "sample " << at;
                if (k == 0) {
                    EXPECT_EQ(v, 0) << "start bit at " << t.sample;
                } else if (k == 9) {
                    EXPECT_EQ(v, 1) << "stop bit of the frame at " << t.sample;
                }
                if (k >= 1 && k <= 8) byte = static_cast<uint8_t>(byte | (v << (k - 1)));
            }
            out.push_back(byte);
            from = t.sample + std::llround(9.5 * bit);
        }
        return out;
    }
};

struct uart_case {
    double baud;
    isamp decimation;
};

struct Uart : SimSignals, ::testing::WithParamInterface<uart_case> {};

TEST_P(Uart, RateAndBytes) {
    const auto [baud, decim] = GetParam();
    use_rate(decim);
    const std::vector<uint8_t> text = {'K', 'e', 's', 't', 'r', 'e', 'l', 0x00, 0xFF, 0x55, 0xA5};
    const double bit_s = 1.0 / baud;
    acq->set_signal(3, signal_t::uart(text, baud, 2, false, 4 * bit_s));
    acq->set_signal(4, signal_t::constant(true));
    const double rate = device_rate / static_cast<double>(decim);
    const double bit = rate / baud; // samples per bit
    const isamp n = std::llround((4 + 12.0 * static_cast<double>(text.size()) + 8) * bit);
    store_channel(3, n, std::max<isamp>(1, static_cast<isamp>(bit / 4)));
    store_channel(4, n, n);

    const trs::auto_baud est = man.get_baud(3);
    EXPECT_EQ(est.nearest, static_cast<hw::freq>(baud)) << "real " << est.real;
    const double found_bit = rate / est.nearest;
    EXPECT_EQ(receive(3, found_bit), text);
    EXPECT_TRUE(receive(4, found_bit).empty()); // an idle line holds no frames
}

INSTANTIATE_TEST_SUITE_P(Rates, Uart,
                         ::testing::Values(uart_case{9600, 1},    // 26042 samples per bit
                                           uart_case{9600, 250},  // 1 MHz: 104 per bit
                                           uart_case{115200, 1},  // 2170 per bit
                                           uart_case{115200, 25}) // 10 MHz: 87 per bit
);

// A capture that begins anywhere inside a frame still gives the rate: the pulse cut by the
// start of the capture is not measured.
TEST_F(SimSignals, RateFromACaptureStartedMidFrame) {
    const std::vector<uint8_t> text = {0x3C, 0x99, 0x0F};
    for (double baud : {9600.0, 115200.0}) {
        const double bit = device_rate / baud;
        acq->set_signal(0, signal_t::uart(text, baud, 2, true, 0));
        for (double into : {0.2, 0.45, 0.9, 3.3, 6.7}) {
            SCOPED_TRACE(std::to_string(baud) + " baud, " + std::to_string(into) + " bits in");
            // Frames repeat; start 7 frames on plus `into` bits.
            use_rate(1, std::llround((7 * 12 + into) * bit));
            const isamp n = std::llround(40 * 12 * bit);
            store_channel(0, n, static_cast<isamp>(bit / 4));
            const trs::auto_baud est = man.get_baud(0);
            EXPECT_EQ(est.nearest, static_cast<hw::freq>(baud)) << "real " << est.real;
            EXPECT_NEAR(static_cast<double>(est.shortest), bit, 1.0);
        }
    }
}

// A parallel bus driven by the device's counter model on scattered channels: the words come
// out one per count, in order, each at the sample where the count changed.
TEST_F(SimSignals, BusFollowsACounter) {
    const std::vector<unsigned> lines = {1, 4, 6, 9, 11, 16};
    const double step_s = 0.8e-6; // 200 samples
    for (unsigned k = 0; k < lines.size(); ++k)
        acq->set_signal(lines[k], signal_t::counter(k, step_s));
    acq->set_signal(2, signal_t::square(0.1e-6)); // a busy channel outside the bus
    use_rate(1);
    const int counts = 64 + 5; // through one wrap of the six bits
    const isamp n = (counts - 1) * 200 + 100;
    for (unsigned ch : lines)
        store_channel(ch, n, 50);
    store_channel(2, n, 5);

    // Listed out of order: bit k is the k-th lowest channel.
    trs::bus_iterator bus = man.create_bus_iterator({16, 11, 9, 6, 4, 1});
    ASSERT_EQ(bus.width(), lines.size());
    std::vector<unsigned long> words;
    std::vector<isamp> at;
    while (bus.current_tr_is_not_last()) {
        const trs::bus_iterator::btr w = bus.next();
        words.push_back(w.bits.to_ulong());
        at.push_back(w.sample);
        for (unsigned k = 0; k < lines.size(); ++k)
            EXPECT_EQ(w.bits[k], truth(lines[k], w.sample)) << "line " << lines[k];
    }
    ASSERT_EQ(words.size(), static_cast<size_t>(counts));
    for (int c = 0; c < counts; ++c) {
        EXPECT_EQ(words[c], static_cast<unsigned long>(c % 64)) << "count " << c;
        EXPECT_EQ(at[c], c * 200);
    }
}

} // namespace
