// The sampling engine of the virtual device, driven at the raw level: configuration and
// run flag on the control link, sample packets read from pipe 0x82 and decoded here, then
// compared with the engine's ground truth.
#include "kestrel_sim/acquisition.h"
#include "raw_link.h"

#include <filesystem>
#include <map>
#include <optional>
#include <thread>

namespace {

using namespace sim_test;
using namespace std::chrono_literals;
using kestrel_sim::signal_t;

const std::string sn1 = kestrel_sim::default_serial;
const std::string sn3 = "7302103000007";

// ---- configuration payload, laid out here field by field ----

struct fast_t {
    bool ext_enable = false, ext_in_pol = true, skip_change = false, skip_level = false;
    uint32_t mask = 0, level = 0;
};

struct cfg_t {
    unsigned groups = 1;
    uint32_t freq = 250000000;
    int64_t depth = 100000;
    int64_t post = 90000;
    std::array<bool, 2> select_fast{};
    std::array<fast_t, 2> fast{};
    std::array<uint8_t, 2> max_steps{};
    uint32_t flex_clk = 250000000;
    uint8_t order = 3;

    // Fast trigger on slot `slot` for channel `ch` of the master group.
    cfg_t& edge(unsigned slot, unsigned ch, bool rising) {
        select_fast[slot] = true;
        fast[slot].mask = ~(1u << ch);
        fast[slot].level = rising ? 1u << ch : 0;
        return *this;
    }
};

bytes config_payload(const cfg_t& c) {
    bytes p{2};
    auto le = [&](uint64_t v, int size) {
        for (int i = 0; i < size; ++i)
            p.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    for (unsigned g = 0; g < c.groups; ++g) {
        const bool master = g + 1 == c.groups;
        p.push_back(2);
        for (int port = 0; port < 2; ++port) {
            p.push_back(1);
            le(1650, 2);
            le(3300, 2);
            p.insert(p.end(), 18, 0);
        }
        p.insert(p.end(), {0, 0, static_cast<uint8_t>(master)});
        p.push_back(2);
        for (int i = 0; i < 2; ++i) {
            p.push_back(1);
            le(c.flex_clk, 4);
            p.push_back(master ? c.max_steps[static_cast<size_t>(i)] : 0);
        }
        for (int i = 0; i < 2; ++i) {
            const auto& f = c.fast[static_cast<size_t>(i)];
            p.insert(p.end(), {1, f.ext_enable, f.ext_in_pol, f.skip_change, f.skip_level});
            le(master ? f.mask : 0, 4);
            le(master ? f.level : 0, 4);
        }
        p.push_back(master && c.select_fast[0]);
        p.push_back(master && c.select_fast[1]);
        p.push_back(c.order);
        p.push_back(0);
        p.insert(p.end(), {2, 0, 1, 1});
        le(0, 4);
        p.insert(p.end(), {0, 0});
        le(0, 8);
        le(0, 8);
        p.push_back(0);
    }
    p.push_back(3);
    le(c.freq, 4);
    le(static_cast<uint64_t>(c.depth), 8);
    le(static_cast<uint64_t>(c.post), 8);
    p.insert(p.end(), {0, 0, 1, 0, 1, 1});
    le(1000, 2);
    p.push_back(0);
    le(0xAABBCCDD, 4);
    return p;
}

// ---- control link with the test's own packet reader ----

struct status_group_t {
    bool overrun = false, trigged = false;
    uint8_t data_available = 0;
};

class link {
public:
    explicit link(const std::string& sn) : h_(open_usb(sn)) {}
    ~link() {
        if (h_ != nullptr) libusb_close(h_);
    }
    bool ok() const { return h_ != nullptr; }

    // Sends and waits for the acknowledgement on `reply_ep`.
    bool exchange(uint8_t ep, const bytes& params) {
        send(h_, frame(ep, params));
        return wait(ep, 3s).has_value();
    }
    void run(const cfg_t& c) {
        ASSERT_TRUE(exchange(10, {0}));
        ASSERT_TRUE(exchange(1, config_payload(c)));
        ASSERT_TRUE(exchange(10, {1}));
    }
    void stop() { ASSERT_TRUE(exchange(10, {0})); }

    std::optional<kestrel_sim::packet_t> wait(uint8_t ep, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        for (;;) {
            for (auto it = packets_.begin(); it != packets_.end(); ++it)
                if (it->endpoint == ep) {
                    auto p = *it;
                    packets_.erase(it);
                    return p;
                }
            if (std::chrono::steady_clock::now() >= end) return std::nullopt;
            pump();
        }
    }
    // The next status record the device sends (pushed or answered).
    std::optional<std::vector<status_group_t>> status(std::chrono::milliseconds bound = 3s) {
        auto p = wait(7, bound);
        if (!p) return std::nullopt;
        std::vector<status_group_t> out;
        const auto& b = p->params;
        for (size_t g = 0, o = 9; g < b.at(8); ++g, o += 27)
            out.push_back({b.at(o + 5) != 0, b.at(o + 7) != 0, b.at(o + 9)});
        return out;
    }
    void drop_pending() { packets_.clear(); }
    // Whether a status record within a generous bound satisfies `pred`.
    template <class P> bool status_until(P pred, std::chrono::seconds bound = 20s) {
        for (const auto end = std::chrono::steady_clock::now() + bound;
             std::chrono::steady_clock::now() < end;) {
            auto s = status();
            if (!s) return false;
            if (pred(*s)) return true;
        }
        return false;
    }

private:
    void pump() {
        auto [r, b] = recv(h_, 50);
        stream_.insert(stream_.end(), b.begin(), b.end());
        while (stream_.size() >= 4) {
            const size_t len = size_t{stream_[2]} << 8 | stream_[3];
            if (stream_.size() < len + 4) break;
            const bytes body(stream_.begin() + 4, stream_.begin() + 4 + static_cast<long>(len) - 2);
            packets_.push_back(
                {body.front(), bytes(body.begin() + 1, body.end() - 1), body.back()});
            stream_.erase(stream_.begin(), stream_.begin() + 4 + static_cast<long>(len));
        }
    }

    libusb_device_handle* h_;
    bytes stream_;
    std::vector<kestrel_sim::packet_t> packets_;
};

// ---- bridges ----

struct bridge {
    void* h = nullptr;
    explicit bridge(unsigned group, uint32_t timeout_ms = 300) {
        const std::string want = "73021010000" + std::to_string(group + 1);
        auto nodes = list_bridges();
        for (size_t i = 0; i < nodes.size(); ++i)
            if (want == nodes[i].sn) {
                EXPECT_EQ(FT_Create(reinterpret_cast<void*>(i), ft_open_by_index, &h), 0u);
                break;
            }
        EXPECT_NE(h, nullptr);
        if (h != nullptr) FT_SetPipeTimeout(h, 0x82, timeout_ms);
    }
    ~bridge() {
        if (h != nullptr) FT_Close(h);
    }
    // One read: status and bytes.
    std::pair<uint32_t, bytes> read(uint32_t len) {
        bytes b(len);
        uint32_t tr = 0;
        const uint32_t st = FT_ReadPipe(h, 0x82, b.data(), len, &tr, nullptr);
        b.resize(tr);
        return {st, b};
    }
};

// ---- the test's own packet decoder: one 19-bit value per sample ----

struct decoded_t {
    std::vector<uint32_t> samples; // bits 0..17 the channels, bit 18 output sync
    int64_t trigger = -1;
    unsigned delta_packets = 0, trig_packets = 0, rfu_packets = 0;
    bool delta_after_delta = false;
    bool delta_first = false;
};

class decoder {
public:
    void feed(const bytes& b) {
        buf_.insert(buf_.end(), b.begin(), b.end());
        size_t i = 0;
        for (; i + 16 <= buf_.size(); i += 16)
            packet(&buf_[i]);
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<long>(i));
    }
    decoded_t d;

private:
    void packet(const uint8_t* p) {
        const int type = p[15] >> 6;
        if (type == 1) {
            const uint32_t n = p[0] | p[1] << 8 | p[2] << 16;
            if (d.samples.empty()) d.delta_first = true;
            if (last_ == 1) d.delta_after_delta = true;
            ++d.delta_packets;
            const uint32_t held = d.samples.empty() ? 0 : d.samples.back();
            d.samples.insert(d.samples.end(), size_t{7} * n, held);
        } else if (type == 2) {
            ++d.trig_packets;
            trig_ = p[0];
        } else if (type == 3) {
            ++d.rfu_packets;
            sync_ = p[0] & 0x7F;
        } else {
            for (unsigned i = 0; i < 7; ++i) {
                uint32_t v = 0;
                for (unsigned j = 0; j < 18; ++j) {
                    const unsigned bit = 18 * i + j;
                    v |= ((p[bit / 8] >> (bit % 8)) & 1u) << j;
                }
                if ((sync_ >> i) & 1) v |= 1u << 18;
                if (d.trigger < 0 && trig_ != 0xFF && ((trig_ >> i) & 1))
                    d.trigger = static_cast<int64_t>(d.samples.size());
                d.samples.push_back(v);
            }
            sync_ = (sync_ & 0x40) ? 0x7F : 0;
        }
        last_ = type;
    }
    bytes buf_;
    int last_ = -1;
    uint8_t trig_ = 0xFF;
    uint8_t sync_ = 0;
};

// Reads a group until its whole capture arrived (or reads stop delivering).
decoded_t read_capture(bridge& br, int64_t total, uint32_t chunk = 1 << 20) {
    decoder dec;
    int idle = 0;
    while (static_cast<int64_t>(dec.d.samples.size()) < total && idle < 10) {
        auto [st, b] = br.read(chunk);
        idle = b.empty() ? idle + 1 : 0;
        dec.feed(b);
    }
    return dec.d;
}

// Runs a capture of group 0 and reads its whole stream from the bridge.
decoded_t run_and_read(link& l, kestrel_sim::acquisition& a, const cfg_t& c,
                       uint32_t timeout_ms = 300) {
    l.run(c);
    EXPECT_TRUE(a.wait_trigger(5s));
    bridge br(0, timeout_ms);
    return read_capture(br, a.capture().total_samples);
}

class acq : public sim {
protected:
    std::shared_ptr<kestrel_sim::firmware> plug_one(const std::string& sn) {
        bus::instance().unplug_all();
        bus::instance().plug(sn);
        return bus::instance().firmware(sn);
    }
    // Levels of the group's channels as the ground truth has them.
    static uint32_t truth(kestrel_sim::acquisition& a, unsigned groups, unsigned group, int64_t i) {
        uint32_t v = 0;
        const unsigned base = (groups - 1 - group) * 18;
        for (unsigned j = 0; j < 18; ++j)
            if (a.level(base + j, i)) v |= 1u << j;
        if (a.output_sync_level(group, i)) v |= 1u << 18;
        return v;
    }
    static int64_t first_mismatch(kestrel_sim::acquisition& a, const decoded_t& d, unsigned groups,
                                  unsigned group) {
        for (size_t i = 0; i < d.samples.size(); ++i)
            if (d.samples[i] != truth(a, groups, group, static_cast<int64_t>(i)))
                return static_cast<int64_t>(i);
        return -1;
    }
};

TEST_F(acq, default_signals_stream_every_channel_of_every_group) {
    auto fw = plug_one(sn3);
    link l(sn3);
    ASSERT_TRUE(l.ok());
    cfg_t c;
    c.groups = 3;
    c.depth = 1000000;
    c.post = 900000;
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    const auto info = fw->acq().capture();
    // No trigger slot in use: it triggers once the pre-trigger history is full.
    EXPECT_EQ(info.trigger_sample, 100000);
    // History, the trigger sample and the post-trigger samples, up to a whole packet.
    EXPECT_EQ(info.total_samples, 1000006);
    for (unsigned g = 0; g < 3; ++g) {
        bridge br(g);
        const auto d = read_capture(br, info.total_samples);
        ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples) << "group " << g;
        EXPECT_EQ(d.trigger, info.trigger_sample);
        EXPECT_FALSE(d.delta_first);
        EXPECT_FALSE(d.delta_after_delta);
        EXPECT_EQ(first_mismatch(fw->acq(), d, 3, g), -1) << "group " << g;
        // Every channel moves, before and after the trigger.
        for (unsigned j = 0; j < 18; ++j) {
            bool before = false, after = false;
            for (size_t i = 1; i < d.samples.size(); ++i)
                if (((d.samples[i] ^ d.samples[i - 1]) >> j) & 1)
                    (static_cast<int64_t>(i) < d.trigger ? before : after) = true;
            EXPECT_TRUE(before && after) << "group " << g << " channel " << j;
        }
        // The stream ends: a further read delivers nothing.
        auto [st, rest] = br.read(4096);
        EXPECT_EQ(st, 19u);
        EXPECT_TRUE(rest.empty());
        EXPECT_EQ(fw->acq().capture().streamed[g], info.total_samples);
    }
    l.stop();
    EXPECT_FALSE(fw->acq().capture().running);
}

TEST_F(acq, idle_stretches_are_delta_packets_never_two_in_a_row) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    for (unsigned ch = 0; ch < 18; ++ch)
        a.set_signal(ch, signal_t::constant(ch % 3 == 0));
    a.set_signal(4, signal_t::square(20e-6, 0.1, 3e-6)); // 5000 samples, 500 high
    link l(sn1);
    cfg_t c;
    c.depth = 400000;
    c.post = 300000;
    c.edge(0, 4, false);
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto info = a.capture();
    bridge br(0);
    const auto d = read_capture(br, info.total_samples);
    ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples);
    EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
    EXPECT_GT(d.delta_packets, 100u);
    EXPECT_FALSE(d.delta_after_delta);
    EXPECT_EQ(d.trigger, info.trigger_sample);
    // The falling edge sits on the trigger sample, even inside a long stretch.
    EXPECT_TRUE((d.samples[static_cast<size_t>(d.trigger) - 1] >> 4) & 1);
    EXPECT_FALSE((d.samples[static_cast<size_t>(d.trigger)] >> 4) & 1);
    // Far fewer bytes than one packet per 7 samples.
    EXPECT_LT(info.bytes.empty() ? 0 : a.capture().bytes[0],
              static_cast<uint64_t>(info.total_samples / 7 * 16 / 10));
}

TEST_F(acq, a_constant_capture_longer_than_one_delta_count) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    for (unsigned ch = 0; ch < 18; ++ch)
        a.set_signal(ch, signal_t::constant(ch == 7));
    link l(sn1);
    cfg_t c;
    c.depth = 300000000; // above 7 * 0xFFFFFF samples
    c.post = 200000000;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto info = a.capture();
    bridge br(0);
    decoder dec;
    // Packets only, no sample array of 300 M entries: count from the raw packets.
    int64_t samples = 0;
    int last = -1;
    bool consecutive = false;
    for (int i = 0; i < 20 && samples < info.total_samples; ++i) {
        auto [st, b] = br.read(1 << 16);
        for (size_t o = 0; o + 16 <= b.size(); o += 16) {
            const int type = b[o + 15] >> 6;
            if (type == 1) samples += 7 * int64_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16);
            if (type == 0) samples += 7;
            consecutive = consecutive || (type == 1 && last == 1);
            last = type;
        }
    }
    EXPECT_EQ(samples, info.total_samples);
    EXPECT_FALSE(consecutive);
    EXPECT_EQ(a.capture().streamed[0], info.total_samples);
}

struct trigger_case {
    const char* name;
    cfg_t cfg;
    // Checked on the decoded samples around the trigger sample t.
    std::function<bool(const decoded_t&, int64_t)> holds;
};

TEST_F(acq, trigger_conditions_place_the_trigger_sample) {
    auto bit = [](const decoded_t& d, int64_t i, unsigned ch) {
        return ((d.samples[static_cast<size_t>(i)] >> ch) & 1) != 0;
    };
    std::vector<trigger_case> cases;
    {
        cfg_t c;
        c.edge(0, 12, true);
        cases.push_back(
            {"rising", c, [&](auto& d, int64_t t) { return bit(d, t, 12) && !bit(d, t - 1, 12); }});
    }
    {
        cfg_t c;
        c.edge(1, 9, false); // slot B alone
        cases.push_back({"falling on B", c,
                         [&](auto& d, int64_t t) { return !bit(d, t, 9) && bit(d, t - 1, 9); }});
    }
    {
        cfg_t c;
        c.edge(0, 3, true);
        c.fast[0].skip_level = true; // any change
        cases.push_back(
            {"change", c, [&](auto& d, int64_t t) { return bit(d, t, 3) != bit(d, t - 1, 3); }});
    }
    {
        cfg_t c;
        c.select_fast[0] = true;
        c.fast[0].mask = ~0x3u; // channels 0 and 1 both high, already or not
        c.fast[0].level = 0x3;
        c.fast[0].skip_change = true;
        cases.push_back(
            {"level", c, [&](auto& d, int64_t t) { return bit(d, t, 0) && bit(d, t, 1); }});
    }
    {
        cfg_t c;
        c.edge(0, 13, true).edge(1, 14, true);
        c.order = 1; // A then B: the first rising edge of 14 after one of 13
        cases.push_back({"a then b", c, [&](auto& d, int64_t t) {
                             if (!(bit(d, t, 14) && !bit(d, t - 1, 14))) return false;
                             for (int64_t i = t - 1; i > 0; --i)
                                 if (bit(d, i, 13) && !bit(d, i - 1, 13)) return true;
                             return false;
                         }});
    }
    {
        cfg_t c;
        c.edge(0, 16, true).edge(1, 11, false);
        c.order = 0; // the earlier of the two
        cases.push_back({"a or b", c, [&](auto& d, int64_t t) {
                             const bool a = bit(d, t, 16) && !bit(d, t - 1, 16);
                             const bool b = !bit(d, t, 11) && bit(d, t - 1, 11);
                             return a || b;
                         }});
    }
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.name);
        auto fw = plug_one(sn1);
        link l(sn1);
        auto c = tc.cfg;
        c.depth = 200000;
        c.post = 150000;
        l.run(c);
        ASSERT_TRUE(fw->acq().wait_trigger(5s));
        const auto info = fw->acq().capture();
        EXPECT_EQ(info.trigger_sample, 50000);
        bridge br(0);
        const auto d = read_capture(br, info.total_samples);
        ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples);
        ASSERT_EQ(d.trigger, 50000);
        EXPECT_TRUE(tc.holds(d, d.trigger));
        EXPECT_EQ(first_mismatch(fw->acq(), d, 1, 0), -1);
        l.stop();
    }
}

TEST_F(acq, trigger_is_the_first_match_after_the_history_is_full) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    // Rising edges every 1000 samples (4 us at 250 MHz), the first at sample 100.
    a.set_signal(2, signal_t::square(4e-6, 0.5, 400e-9));
    link l(sn1);
    cfg_t c;
    c.depth = 30000;
    c.post = 27500; // 2500 samples of history: the edge at 3100 is the first one armed
    c.edge(0, 2, true);
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    EXPECT_EQ(a.capture().first_sample, 3100 - 2500);
    EXPECT_EQ(a.capture().trigger_sample, 2500);
}

TEST_F(acq, external_trigger_input_and_a_trigger_that_cannot_match) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.set_external_input(signal_t::square(8e-6, 0.5, 1e-6)); // rising at 250 + k * 2000
    link l(sn1);
    cfg_t c;
    c.depth = 10000;
    c.post = 9000;
    c.select_fast[0] = true;
    c.fast[0].ext_enable = true;
    c.fast[0].ext_in_pol = false; // falling: at 1250 + k * 2000, armed from sample 1000
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    EXPECT_EQ(a.capture().first_sample, 1250 - 1000);
    EXPECT_TRUE(a.external_level(999));
    EXPECT_FALSE(a.external_level(1000));
    l.stop();

    // A rising edge on a channel that never moves: no trigger, no data, status says so.
    a.set_signal(6, signal_t::constant(false));
    cfg_t never;
    never.edge(0, 6, true);
    l.run(never);
    EXPECT_FALSE(a.wait_trigger(300ms));
    bridge br(0, 100);
    auto [st, b] = br.read(3200);
    EXPECT_EQ(st, 19u);
    EXPECT_TRUE(b.empty());
    l.drop_pending();
    auto s = l.status();
    ASSERT_TRUE(s.has_value());
    EXPECT_FALSE(s->at(0).trigged);
    EXPECT_EQ(s->at(0).data_available, 0);
}

TEST_F(acq, status_records_are_pushed_while_running) {
    auto fw = plug_one(sn3);
    link l(sn3);
    fw->acq().never_trigger(true);
    cfg_t c;
    c.groups = 3;
    l.run(c);
    // Several records without asking, none triggered.
    l.drop_pending();
    for (int i = 0; i < 3; ++i) {
        auto s = l.status();
        ASSERT_TRUE(s.has_value());
        ASSERT_EQ(s->size(), 3u);
        EXPECT_FALSE(s->at(0).trigged);
    }
    l.stop();

    fw->acq().clear_faults();
    c.depth = 2000000;
    c.post = 1000000;
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    // Records sent before the trigger may still be queued.
    std::optional<std::vector<status_group_t>> s;
    for (int i = 0; i < 50; ++i) {
        s = l.status();
        ASSERT_TRUE(s.has_value());
        if (s->at(0).trigged) break;
    }
    for (const auto& g : *s) {
        EXPECT_TRUE(g.trigged);
        EXPECT_GE(g.data_available, 1);
        EXPECT_FALSE(g.overrun);
    }
    // Once a group is drained it reports nothing buffered.
    const auto total = fw->acq().capture().total_samples;
    {
        bridge br(2);
        ASSERT_EQ(static_cast<int64_t>(read_capture(br, total).samples.size()), total);
    }
    // Records queued while reading tell of the stream before the drain: however many
    // there are, a record soon tells of the drain.
    l.drop_pending();
    bool drained = false;
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         !drained && std::chrono::steady_clock::now() < end;) {
        auto r = l.status();
        ASSERT_TRUE(r.has_value());
        drained = r->at(2).data_available == 0 && r->at(0).data_available > 0;
    }
    EXPECT_TRUE(drained);
    // Stopping sends a last record: idle, nothing triggered.
    l.stop();
    bool idle = false;
    for (const auto end = std::chrono::steady_clock::now() + 20s;
         !idle && std::chrono::steady_clock::now() < end;) {
        auto r = l.status(500ms);
        if (!r) break;
        idle = !r->at(0).trigged;
    }
    EXPECT_TRUE(idle);
}

TEST_F(acq, overrun_ends_the_stream_and_is_reported_once_drained) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.overrun_after(0, 70000);
    link l(sn1);
    cfg_t c;
    c.depth = 200000;
    c.post = 100000;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    bridge br(0, 100);
    const auto d = read_capture(br, a.capture().total_samples);
    EXPECT_EQ(d.samples.size(), 70000u);
    EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
    bool reported = false;
    for (int i = 0; i < 50 && !reported; ++i) {
        auto s = l.status();
        ASSERT_TRUE(s.has_value());
        reported = s->at(0).overrun && s->at(0).data_available == 0;
    }
    EXPECT_TRUE(reported);
}

TEST_F(acq, stalled_stream_and_failed_reads_lose_no_data) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.stall_stream(0, 16000, std::chrono::milliseconds(-1));
    a.fail_reads(0, 2, 32);
    link l(sn1);
    cfg_t c;
    c.depth = 100000;
    c.post = 50000;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    {
        bridge br(0, 100);
        // The injected failures come first, with no data.
        for (int i = 0; i < 2; ++i) {
            auto [st, b] = br.read(1 << 20);
            EXPECT_EQ(st, 32u);
            EXPECT_TRUE(b.empty());
        }
        decoder dec;
        // Up to the stall: a short transfer, then time-outs.
        auto [st1, b1] = br.read(1 << 20);
        EXPECT_EQ(st1, 0u);
        EXPECT_EQ(b1.size(), 16000u);
        dec.feed(b1);
        auto [st2, b2] = br.read(1 << 20);
        EXPECT_EQ(st2, 19u);
        EXPECT_TRUE(b2.empty());
        a.clear_faults();
        while (true) {
            auto [st, b] = br.read(1 << 20);
            if (b.empty()) break;
            dec.feed(b);
        }
        ASSERT_EQ(static_cast<int64_t>(dec.d.samples.size()), a.capture().total_samples);
        EXPECT_EQ(first_mismatch(a, dec.d, 1, 0), -1);
        EXPECT_EQ(dec.d.trigger, 50000);
    }

    // A stall with a duration resumes on its own.
    l.stop();
    a.stall_stream(0, 1600, 200ms);
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    bridge br2(0, 5000);
    const auto d = read_capture(br2, a.capture().total_samples);
    EXPECT_EQ(static_cast<int64_t>(d.samples.size()), a.capture().total_samples);
}

TEST_F(acq, run_flag_off_stops_and_drops_unread_samples) {
    auto fw = plug_one(sn1);
    link l(sn1);
    cfg_t c;
    c.depth = 5000000;
    c.post = 4000000;
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    bridge br(0, 100);
    auto [st, b] = br.read(32000);
    EXPECT_EQ(b.size(), 32000u);
    l.stop();
    auto [st2, b2] = br.read(32000);
    EXPECT_EQ(st2, 19u);
    EXPECT_TRUE(b2.empty());
    EXPECT_FALSE(fw->acq().capture().running);
    EXPECT_EQ(fw->acq().capture().runs, 1u);
    // Without a configuration the run flag starts nothing.
    bus::instance().unplug_all();
    bus::instance().plug(sn1);
    link l2(sn1);
    ASSERT_TRUE(l2.exchange(10, {1}));
    EXPECT_FALSE(bus::instance().firmware(sn1)->acq().capture().running);
}

// The test's own view of the framed signals: decode them back from the streamed samples.
std::vector<uint8_t> uart_bytes(const decoded_t& d, unsigned ch, double samples_per_bit) {
    std::vector<uint8_t> out;
    auto at = [&](double i) { return ((d.samples[static_cast<size_t>(i)] >> ch) & 1) != 0; };
    double i = 1;
    while (i + 10 * samples_per_bit < static_cast<double>(d.samples.size())) {
        if (at(i - 1) && !at(i)) {
            uint8_t byte = 0;
            for (int b = 0; b < 8; ++b)
                if (at(i + (1.5 + b) * samples_per_bit)) byte = static_cast<uint8_t>(byte | 1 << b);
            EXPECT_TRUE(at(i + 9.5 * samples_per_bit)) << "stop bit";
            out.push_back(byte);
            i += 9.5 * samples_per_bit;
        } else {
            i += 1;
        }
    }
    return out;
}

std::vector<uint8_t> spi_bytes(const decoded_t& d, unsigned clk, unsigned data, unsigned cs) {
    std::vector<uint8_t> out;
    unsigned bits = 0, value = 0;
    for (size_t i = 1; i < d.samples.size(); ++i) {
        const uint32_t v = d.samples[i], p = d.samples[i - 1];
        if ((v >> cs) & 1) {
            bits = value = 0;
            continue;
        }
        if (((v >> clk) & 1) && !((p >> clk) & 1)) {
            value = value << 1 | ((v >> data) & 1);
            if (++bits == 8) {
                out.push_back(static_cast<uint8_t>(value));
                bits = value = 0;
            }
        }
    }
    return out;
}

TEST_F(acq, uart_spi_random_and_output_sync_signals) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    const std::vector<uint8_t> text{'h', 'e', 'l', 'l', 'o', 0x00, 0xFF, 0xA5};
    a.set_signal(0, signal_t::uart(text, 1e6, 3, false, 10e-6)); // 250 samples per bit
    a.set_spi(1, 2, 3, {0x81, 0x3C, 0xF0}, 5e6);
    a.set_signal(4, signal_t::random(7, 1e-6));
    a.set_output_sync(0, signal_t::square(2.8e-6, 0.5, 1e-7));
    link l(sn1);
    cfg_t c;
    c.depth = 200000;
    c.post = 199000; // the UART starts at sample 2500, after the 1000 of history
    const auto d = run_and_read(l, a, c);
    ASSERT_EQ(static_cast<int64_t>(d.samples.size()), a.capture().total_samples);
    EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
    EXPECT_EQ(uart_bytes(d, 0, 250), text);
    const auto spi = spi_bytes(d, 1, 2, 3);
    ASSERT_GE(spi.size(), 6u);
    for (size_t i = 0; i < spi.size(); ++i)
        EXPECT_EQ(spi[i], (std::vector<uint8_t>{0x81, 0x3C, 0xF0}[i % 3]));
    // Random toggles: about one per 250 samples, never two at the same spacing for long.
    unsigned toggles = 0;
    for (size_t i = 1; i < d.samples.size(); ++i)
        toggles += ((d.samples[i] ^ d.samples[i - 1]) >> 4) & 1;
    EXPECT_GT(toggles, 600u);
    EXPECT_LT(toggles, 1000u);
    EXPECT_GT(d.rfu_packets, 100u);
}

TEST_F(acq, channels_outside_the_tile_that_change_within_a_packet_match_the_ground_truth) {
    // Busy: random toggles every few samples, a fast UART and the output-sync flag at 2.4
    // samples a period change two or more times inside one packet, beside a slow random
    // channel, constant ones and long square waves. Quiet: only the slow ones change, so idle
    // stretches (delta packets) run up to their changes and start again after them. Before
    // and after the trigger, at a whole and a fractional sample period.
    for (const bool busy : {true, false}) {
        for (const uint32_t freq : {250000000u, 33333333u}) {
            SCOPED_TRACE(std::to_string(freq) + (busy ? " busy" : " quiet"));
            auto fw = plug_one(sn1);
            auto& a = fw->acq();
            for (unsigned ch = 0; ch < 18; ++ch)
                a.set_signal(ch, signal_t::constant(ch % 2 == 0));
            a.set_signal(3, signal_t::random(13, 3e-6));
            a.set_signal(7, signal_t::square(7.77e-3, 0.5, 1e-6));
            a.set_signal(17, signal_t::square(1.3e-3, 0.01));
            if (busy) {
                a.set_signal(1, signal_t::random(11, 12e-9));
                a.set_signal(2, signal_t::random(12, 30e-9, true));
                a.set_signal(5, signal_t::uart({0x55, 0x0F, 0xA5}, 50e6, 1, true));
                a.set_output_sync(0, signal_t::square(9.6e-9, 0.5, 2e-9));
            } else {
                a.set_signal(1, signal_t::random(11, 40e-6, true));
                a.set_output_sync(0, signal_t::square(50e-6, 0.3, 7e-6));
            }
            link l(sn1);
            cfg_t c;
            c.freq = freq;
            c.depth = 120000;
            c.post = 100000;
            const auto d = run_and_read(l, a, c);
            ASSERT_EQ(static_cast<int64_t>(d.samples.size()), a.capture().total_samples);
            EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
            EXPECT_FALSE(d.delta_after_delta);
            if (!busy) {
                EXPECT_GT(d.delta_packets, 100u);
            }
            l.stop();
        }
    }
}

// The test's own I2C reader: bytes of each whole transaction, acknowledgement bits dropped.
std::vector<std::vector<uint8_t>> i2c_transactions(const decoded_t& d, unsigned scl, unsigned sda) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> cur;
    bool in = false;
    unsigned bits = 0, value = 0;
    for (size_t i = 1; i < d.samples.size(); ++i) {
        const uint32_t v = d.samples[i], p = d.samples[i - 1];
        const bool c = (v >> scl) & 1, da = (v >> sda) & 1;
        const bool pc = (p >> scl) & 1, pd = (p >> sda) & 1;
        if (c && pc && pd && !da) { // start
            cur.clear();
            in = true;
            bits = value = 0;
        } else if (c && pc && !pd && da) { // stop
            if (in) out.push_back(cur);
            in = false;
        } else if (in && c && !pc) {
            if (++bits <= 8) value = value << 1 | (da ? 1 : 0);
            if (bits == 9) {
                EXPECT_FALSE(da) << "acknowledged";
                cur.push_back(static_cast<uint8_t>(value));
                bits = value = 0;
            }
        }
    }
    return out;
}

TEST_F(acq, signals_chosen_by_description_appear_in_the_capture) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.set_signals("0=clock:1MHz:0.25; 1-3=counter:1us # bits 0..2\n"
                  "4=uart:1MHz:Hi\\x21; 5,6,7=spi:5MHz:0x81,0x3C\n"
                  "8,9=i2c:1MHz:0x50:0x12,0x34; 10=1; 11=low");
    link l(sn1);
    cfg_t c;
    c.freq = 100000000;
    c.depth = 200000;
    c.post = 199000;
    const auto d = run_and_read(l, a, c, 1000);
    ASSERT_EQ(static_cast<int64_t>(d.samples.size()), a.capture().total_samples);
    EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
    auto bit = [&](size_t i, unsigned ch) { return ((d.samples[i] >> ch) & 1) != 0; };
    // Clock: 100 samples a period, 25 of them high; the counter bits count microseconds.
    unsigned high = 0;
    for (size_t i = 1000; i < 2000; ++i)
        high += bit(i, 0) ? 1 : 0;
    EXPECT_EQ(high, 250u);
    const int64_t first = a.capture().first_sample;
    for (size_t i = 0; i < 5000; i += 37) {
        const auto count = static_cast<unsigned>((first + static_cast<int64_t>(i)) / 100);
        for (unsigned b = 0; b < 3; ++b)
            EXPECT_EQ(bit(i, 1 + b), ((count >> b) & 1) != 0) << i;
    }
    const auto text = uart_bytes(d, 4, 100);
    ASSERT_GE(text.size(), 6u);
    const std::vector<uint8_t> hi{'H', 'i', '!'};
    for (size_t i = 0; i + 3 <= text.size(); i += 3)
        EXPECT_EQ(std::vector<uint8_t>(text.begin() + static_cast<long>(i),
                                       text.begin() + static_cast<long>(i) + 3),
                  hi);
    const auto spi = spi_bytes(d, 5, 6, 7);
    ASSERT_GE(spi.size(), 4u);
    for (size_t i = 0; i < spi.size(); ++i)
        EXPECT_EQ(spi[i], i % 2 == 0 ? 0x81 : 0x3C);
    const auto i2c = i2c_transactions(d, 8, 9);
    ASSERT_GE(i2c.size(), 3u);
    for (const auto& t : i2c)
        EXPECT_EQ(t, (std::vector<uint8_t>{0xA0, 0x12, 0x34}));
    for (size_t i = 0; i < d.samples.size(); i += 101) {
        EXPECT_TRUE(bit(i, 10));
        EXPECT_FALSE(bit(i, 11));
    }
}

TEST_F(acq, malformed_signal_descriptions_are_refused_with_their_reason) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    const std::pair<const char*, const char*> cases[] = {
        {"5=sine:1MHz", "unknown signal 'sine'"},
        {"5 clock:1MHz", "expected CHANNELS=SIGNAL"},
        {"5=clock:1MPa", "unknown unit"},
        {"5=clock:-3", "above 0"},
        {"5=clock:1MHz:1.5", "between 0 and 1"},
        {"1,2=spi:1MHz:0x81", "spi takes 3 channels"},
        {"1=i2c:1MHz:0x50:0x01", "i2c takes 2 channels"},
        {"1,2=i2c:1MHz:200:0x01", "address '200'"},
        {"60=1", "channel '60'"},
        {"1=1; 3=0\n1=0", "line 2, '1=0': channel 1 was chosen before"},
        {"2-1=0", "runs backwards"},
        {"4=uart:9600:a\\qb", "unknown escape"},
        {"4=uart:9600:", "data is empty"},
        {"4=uart:9600:0x1FF", "byte '0x1FF'"},
        {"4=counter:5", "unknown unit"},
        {"4,5=can:500k:0x123:0x01", "can takes 1 channels"},
        {"4=can:500k", "expected can:BITRATE:ID[:DATA]"},
        {"4=can:500k:0x20000000", "identifier '0x20000000'"},
        {"4=can:500k:0x123:0,1,2,3,4,5,6,7,8", "at most 8 bytes"},
    };
    for (const auto& [text, reason] : cases) {
        try {
            kestrel_sim::parse_signal_description(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos)
                << text << ": " << e.what();
        }
    }
    // A channel beyond the device, and nothing applied from a refused description.
    const auto before = a.signal(2).kind;
    EXPECT_THROW(a.set_signals("2=1; 18=1"), std::invalid_argument);
    EXPECT_EQ(a.signal(2).kind, before);
    EXPECT_TRUE(kestrel_sim::parse_signal_description("# nothing\n\n ; ").empty());
}

TEST_F(acq, can_frames_by_description_are_the_protocol_s_frames) {
    using kestrel_sim::signal_t;
    const auto with = [](const char* text) {
        return kestrel_sim::parse_signal_description(text).at(0).signals.at(0);
    };
    // Eleven idle bits, then the frame as the protocol builds it: a standard identifier,
    // an extended one above 0x7FF or written with eight digits, data optional.
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> cases = {
        {"4=can:500k:0x123:0xDE,0xAD", signal_t::can_bits(0x123, false, {0xDE, 0xAD})},
        {"4=can:500k:0x1ABCDE01:Hi", signal_t::can_bits(0x1ABCDE01, true, {'H', 'i'})},
        {"4=can:500k:0x00000042:0x55", signal_t::can_bits(0x42, true, {0x55})},
        {"4=can:500k:0x7FF", signal_t::can_bits(0x7FF, false, {})},
    };
    for (const auto& [text, frame] : cases) {
        const signal_t s = with(text);
        ASSERT_EQ(s.kind, signal_t::kind_t::pattern) << text;
        EXPECT_DOUBLE_EQ(s.rate_hz, 500000) << text;
        std::vector<uint8_t> want(11, 1);
        want.insert(want.end(), frame.begin(), frame.end());
        EXPECT_EQ(s.bytes, want) << text;
    }
    // A standard frame of known bits: 0x123, one byte 0x01. SOF, identifier 001 0010 0011,
    // RTR 0, IDE 0, r0 0, DLC 0001, data 0000 0001; a stuff bit after five equal bits.
    const auto bits = signal_t::can_bits(0x123, false, {0x01});
    const std::vector<uint8_t> head = {0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 1, 1, // SOF, identifier
                                       0, 0, 0, 0, 0, 1, // RTR, IDE, r0, DLC 00, stuff
                                       0, 1,             // DLC 01
                                       0, 0, 0, 0, 0, 1, // data 00000, stuff
                                       0, 0, 1};         // data 001
    ASSERT_GE(bits.size(), head.size());
    EXPECT_EQ(std::vector<uint8_t>(bits.begin(), bits.begin() + long(head.size())), head);
    // No six equal bits up to the CRC delimiter; ACK slot dominant; then 10 recessive bits.
    const size_t tail = 1 + 1 + 1 + 7 + 3;
    int run = 0;
    for (size_t i = 0; i + tail < bits.size(); ++i) {
        run = i > 0 && bits[i] == bits[i - 1] ? run + 1 : 1;
        EXPECT_LT(run, 6) << "bit " << i;
    }
    EXPECT_EQ(bits[bits.size() - tail + 1], 0);
}

// The bus listed as a program lists it: its count, or a refusal.
ssize_t listed() {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(nullptr, &list);
    if (n >= 0) libusb_free_device_list(list, 1);
    return n;
}

TEST_F(acq, signals_from_the_environment_or_a_file_and_refusals_that_end_nothing) {
    setenv("KESTREL_SIM_SIGNALS", "3=high; 40=low", 1);
    auto fw = plug_one(sn1); // a one-group device skips channel 40
    // ... but no plugged device has it: the bus refuses to be listed, and says why.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(listed(), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "kestrel_sim: KESTREL_SIM_SIGNALS: channel 40: the plugged devices have channels "
              "0..17\n");
    unsetenv("KESTREL_SIM_SIGNALS");
    EXPECT_EQ(listed(), 1);
    EXPECT_EQ(fw->acq().signal(3).kind, signal_t::kind_t::constant);
    EXPECT_TRUE(fw->acq().signal(3).level);
    EXPECT_EQ(fw->acq().signal(4).kind, signal_t::kind_t::counter); // untouched default

    const std::string path = ::testing::TempDir() + "kestrel_signals.txt";
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs("# bus under test\n6,7=i2c:400k:0x3C:0x00,0xAF\n", f);
        std::fclose(f);
    }
    setenv("KESTREL_SIM_SIGNALS_FILE", path.c_str(), 1);
    fw = plug_one(sn1);
    unsetenv("KESTREL_SIM_SIGNALS_FILE");
    EXPECT_EQ(fw->acq().signal(7).kind, signal_t::kind_t::pattern);

    // A mistake ends nothing: the device keeps its defaults and the bus refuses to be
    // listed, once said on standard error however often it is asked.
    setenv("KESTREL_SIM_SIGNALS", "3=hihg", 1);
    fw = plug_one(sn1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(listed(), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(listed(), LIBUSB_ERROR_INVALID_PARAM);
    const std::string said = ::testing::internal::GetCapturedStderr();
    unsetenv("KESTREL_SIM_SIGNALS");
    EXPECT_EQ(said.rfind("kestrel_sim: KESTREL_SIM_SIGNALS: ", 0), 0u) << said;
    EXPECT_NE(said.find("'3=hihg': unknown signal 'hihg' ("), std::string::npos) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << said;
    EXPECT_EQ(fw->acq().signal(3).kind, signal_t::kind_t::counter);
    EXPECT_EQ(listed(), 1);
}

TEST_F(acq, a_long_capture_streams_through_large_reads) {
    auto fw = plug_one(sn1);
    link l(sn1);
    cfg_t c;
    c.depth = 10000000;
    c.post = 9000000;
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    const auto total = fw->acq().capture().total_samples;
    bridge br(0, 1500);
    int64_t samples = 0;
    for (int i = 0; i < 100 && samples < total; ++i) {
        auto [st, b] = br.read(32000000);
        for (size_t o = 0; o + 16 <= b.size(); o += 16) {
            const int type = b[o + 15] >> 6;
            if (type == 0) samples += 7;
            if (type == 1) samples += 7 * int64_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16);
        }
        // The last transfer is short: it ends when the device has nothing more.
        if (samples >= total) {
            EXPECT_EQ(st, 0u);
        }
    }
    EXPECT_EQ(samples, total);
}

// ---- the bridge and the device's memory ----

using clk = std::chrono::steady_clock;

kestrel_sim::stream_model_t model_with(uint64_t rate, bool paced = false, uint64_t memory = 0,
                                       uint32_t fifo = 0) {
    kestrel_sim::stream_model_t m;
    m.paced = paced;
    m.bridge_bytes_per_s = rate;
    if (memory > 0) m.memory_bytes = memory;
    m.fifo_bytes = fifo;
    return m;
}

int64_t count_samples(const bytes& b) {
    int64_t n = 0;
    for (size_t o = 0; o + 16 <= b.size(); o += 16) {
        const int type = b[o + 15] >> 6;
        if (type == 0) n += 7;
        if (type == 1) n += 7 * int64_t(b[o] | b[o + 1] << 8 | b[o + 2] << 16);
    }
    return n;
}

TEST_F(acq, every_group_matches_the_ground_truth_at_whole_and_fractional_sample_periods) {
    // Tiled channels are laid out from the run's start: the window must line up with them
    // wherever the trigger falls, and sample times must agree at any frequency.
    for (const uint32_t freq : {250000000u, 100000000u, 33333333u, 3921568u}) {
        SCOPED_TRACE(freq);
        auto fw = plug_one(sn3);
        auto& a = fw->acq();
        a.set_output_sync(1, signal_t::square(3.3e-6, 0.3, 1e-7));
        link l(sn3);
        cfg_t c;
        c.groups = 3;
        c.freq = freq;
        c.depth = 150000;
        c.post = 149000;
        c.edge(0, 12, true); // a square wave of the master group
        l.run(c);
        ASSERT_TRUE(a.wait_trigger(5s));
        const auto info = a.capture();
        for (unsigned g = 0; g < 3; ++g) {
            bridge br(g, 1000);
            const auto d = read_capture(br, info.total_samples);
            ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples) << g;
            EXPECT_EQ(d.trigger, info.trigger_sample) << g;
            EXPECT_FALSE(d.delta_after_delta);
            EXPECT_EQ(first_mismatch(a, d, 3, g), -1) << "group " << g;
        }
        l.stop();
    }
}

size_t thread_count() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)e;
        ++n;
    }
    return n;
}

TEST_F(acq, an_unplugged_device_ends_its_sampling_thread_while_a_handle_still_holds_it) {
    const size_t before = thread_count();
    auto fw = plug_one(sn1);
    // A host that never closes its handles keeps the device object alive.
    auto* held = open_usb(sn1);
    ASSERT_NE(held, nullptr);
    {
        link l(sn1);
        l.run(cfg_t{});
        ASSERT_TRUE(fw->acq().wait_trigger(5s));
    }
    EXPECT_GT(thread_count(), before);
    bus::instance().unplug(sn1);
    bool back = false;
    for (const auto end = clk::now() + 10s; !back && clk::now() < end;
         std::this_thread::sleep_for(10ms))
        back = thread_count() <= before;
    EXPECT_TRUE(back);
    EXPECT_FALSE(fw->acq().capture().running);
    libusb_close(held);
}

// A time-out loses nothing; an abort drops the bytes on their way to the host, as a bridge
// does, and says how many.
TEST_F(acq, a_read_ends_at_its_time_out_with_what_arrived_and_an_abort_drops_what_was_on_its_way) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    bus::instance().set_stream_model(model_with(20000000));
    link l(sn1);
    cfg_t c;
    c.depth = 2000000;
    c.post = 1900000;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    bridge br(0, 50);
    decoder dec;
    // 4 MB cannot cross a 20 MB/s bridge in 50 ms: the read ends with what arrived.
    auto [st, b] = br.read(4000000);
    EXPECT_EQ(st, 19u);
    EXPECT_GT(b.size(), 0u);
    EXPECT_LT(b.size(), 3000000u);
    dec.feed(b);
    const uint64_t received = b.size();
    EXPECT_EQ(a.capture().lost_bytes[0], 0u);

    // An abort ends a read that would take seconds, with the bytes that had arrived.
    FT_SetPipeTimeout(br.h, 0x82, 60000);
    bytes big(40000000);
    uint32_t tr = 0, status = 0;
    const auto t0 = clk::now();
    std::thread reader(
        [&] { status = FT_ReadPipe(br.h, 0x82, big.data(), 40000000, &tr, nullptr); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(FT_AbortPipe(br.h, 0x82), 0u);
    reader.join();
    EXPECT_EQ(status, 20u);
    EXPECT_LT(clk::now() - t0, 10s); // the whole read takes two seconds
    EXPECT_LT(tr, 40000000u);
    big.resize(tr);
    dec.feed(big);
    // The stream went on after the time-out: nothing lost or repeated up to the abort.
    EXPECT_GT(dec.d.samples.size(), 0u);
    EXPECT_EQ(first_mismatch(a, dec.d, 1, 0), -1);
    // What the device produced either reached the host or was dropped on its way (none
    // when the abort fell between two slices of the read).
    const auto info = a.capture();
    EXPECT_EQ(info.bytes[0], received + tr + info.lost_bytes[0]);
}

TEST_F(acq, a_bridge_carries_at_most_its_rate) {
    auto fw = plug_one(sn1);
    bus::instance().set_stream_model(model_with(40000000));
    link l(sn1);
    cfg_t c;
    c.depth = 10000000;
    c.post = 9000000;
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    bridge br(0, 20000);
    const auto t0 = clk::now();
    auto [st, b] = br.read(8000000);
    EXPECT_EQ(st, 0u);
    EXPECT_EQ(b.size(), 8000000u);
    EXPECT_GE(clk::now() - t0, 190ms); // 8 MB at 40 MB/s
}

TEST_F(acq, a_stopped_run_leaves_its_fifo_bytes_until_the_host_flushes_or_aborts) {
    auto fw = plug_one(sn1);
    bus::instance().set_stream_model(model_with(0, false, 0, 16384));
    link l(sn1);
    cfg_t c;
    c.depth = 1000000;
    c.post = 900000;
    // The same configuration streams the same bytes every run.
    auto one_run = [&](uint32_t read_len) {
        l.run(c);
        EXPECT_TRUE(fw->acq().wait_trigger(5s));
        bridge br(0, 1000);
        auto [st, b] = br.read(read_len);
        l.stop();
        return b;
    };
    const bytes reference = one_run(48384);
    ASSERT_EQ(reference.size(), 48384u);
    {
        // Not running: only what the FIFO holds.
        bridge probe(0, 100);
        auto [st, stale] = probe.read(20000);
        EXPECT_EQ(st, 19u);
        EXPECT_EQ(stale.size(), 16384u);
    }
    const bytes again = one_run(32000);
    ASSERT_EQ(again, bytes(reference.begin(), reference.begin() + 32000));
    // The next run's first bytes are the stale ones ...
    l.run(c);
    ASSERT_TRUE(fw->acq().wait_trigger(5s));
    {
        bridge br(0, 1000);
        auto [st1, first] = br.read(16384);
        EXPECT_EQ(first, bytes(reference.begin() + 32000, reference.end()));
        auto [st2, next] = br.read(32000);
        EXPECT_EQ(next, bytes(reference.begin(), reference.begin() + 32000));
    }
    l.stop();
    // ... unless the host flushes or aborts the pipe before starting it.
    for (const bool flush : {true, false}) {
        bridge br(0, 1000);
        EXPECT_EQ(flush ? FT_FlushPipe(br.h, 0x82) : FT_AbortPipe(br.h, 0x82), 0u);
        l.run(c);
        ASSERT_TRUE(fw->acq().wait_trigger(5s));
        auto [st3, clean] = br.read(32000);
        EXPECT_EQ(clean, bytes(reference.begin(), reference.begin() + 32000)) << flush;
        l.stop();
    }
}

TEST_F(acq, the_stream_model_comes_from_the_environment_and_malformed_values_are_named) {
    setenv("KESTREL_SIM_PACED", "1", 1);
    setenv("KESTREL_SIM_MEMORY", "64M", 1);
    setenv("KESTREL_SIM_BRIDGE_RATE", "0", 1);
    bus::instance().reset();
    auto m = bus::instance().stream_model();
    EXPECT_TRUE(m.paced);
    EXPECT_EQ(m.memory_bytes, 64000000u);
    EXPECT_EQ(m.bridge_bytes_per_s, 0u);
    EXPECT_EQ(m.fifo_bytes, 16384u); // the hardware's FIFO comes with pacing
    setenv("KESTREL_SIM_FIFO", "0", 1);
    EXPECT_EQ(kestrel_sim::stream_model_t::from_environment().fifo_bytes, 0u);
    for (const auto& [name, value] :
         {std::pair{"KESTREL_SIM_MEMORY", "lots"}, std::pair{"KESTREL_SIM_MEMORY", "-5M"},
          std::pair{"KESTREL_SIM_BRIDGE_RATE", "3X"}, std::pair{"KESTREL_SIM_PACED", "yes"}}) {
        setenv(name, value, 1);
        try {
            kestrel_sim::stream_model_t::from_environment();
            ADD_FAILURE() << name << "=" << value << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
        unsetenv(name);
    }
    for (const char* name :
         {"KESTREL_SIM_PACED", "KESTREL_SIM_MEMORY", "KESTREL_SIM_BRIDGE_RATE", "KESTREL_SIM_FIFO"})
        unsetenv(name);
    bus::instance().reset();
    m = bus::instance().stream_model();
    EXPECT_FALSE(m.paced);
    EXPECT_EQ(m.bridge_bytes_per_s, 360000000u);
}

TEST_F(acq, paced_samples_arrive_at_the_sampling_rate) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    bus::instance().set_stream_model(model_with(360000000, true));
    link l(sn1);
    cfg_t c;
    c.freq = 1000000;
    c.depth = 300000; // 0.3 s of samples, 0.1 s of them before the trigger
    c.post = 200000;
    const auto t0 = clk::now();
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    EXPECT_GE(clk::now() - t0, 95ms);
    bridge br(0, 1000);
    decoder dec;
    for (const auto end = clk::now() + 20s;
         clk::now() < end &&
         static_cast<int64_t>(dec.d.samples.size()) < a.capture().total_samples;) {
        auto [st, b] = br.read(1 << 20);
        dec.feed(b);
    }
    EXPECT_GE(clk::now() - t0, 290ms); // the last sample is taken 0.3 s after the start
    ASSERT_EQ(static_cast<int64_t>(dec.d.samples.size()), a.capture().total_samples);
    EXPECT_EQ(first_mismatch(a, dec.d, 1, 0), -1);
    EXPECT_EQ(dec.d.trigger, 100000);
    auto s = l.status();
    ASSERT_TRUE(s.has_value());
    EXPECT_FALSE(s->at(0).overrun);
}

TEST_F(acq, paced_memory_fills_drains_and_overruns_when_full) {
    auto fw = plug_one(sn3);
    auto& a = fw->acq();
    const uint64_t memory = 100000000;
    bus::instance().set_stream_model(model_with(360000000, true, memory));
    link l(sn3);
    cfg_t c;
    c.groups = 3;
    c.freq = 100000000; // the memory fills in about half a second
    c.depth = 2000000000;
    c.post = c.depth - 1000;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    // Nobody reads: the buffered figure grows with every record until the memory is full.
    std::vector<uint8_t> seen;
    bool overrun = false;
    for (const auto end = clk::now() + 30s; !overrun && clk::now() < end;) {
        auto s = l.status();
        ASSERT_TRUE(s.has_value());
        if (!s->at(0).trigged) continue;
        overrun = s->at(0).overrun && s->at(1).overrun && s->at(2).overrun;
        seen.push_back(s->at(0).data_available);
    }
    ASSERT_TRUE(overrun);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(seen.back(), 4); // 100 MB in units of 32 MB
    EXPECT_LT(seen.front(), 4);
    // The host drains a group: the figure shrinks, and the stream ends where the memory
    // filled up.
    bridge br(0, 1000);
    int64_t samples = 0;
    uint64_t got = 0;
    bool shrank = false;
    for (int i = 0; i < 200; ++i) {
        auto [st, b] = br.read(8000000);
        if (b.empty()) break;
        samples += count_samples(b);
        got += b.size();
        // Records queued while reading tell of earlier moments: one soon tells of this one.
        if (got > 60000000 && !shrank)
            shrank = l.status_until([](const auto& g) {
                return g.at(0).data_available <= 2 && g.at(1).data_available == 4;
            });
    }
    EXPECT_TRUE(shrank);
    EXPECT_LE(got, memory + 32); // and the trigger packet
    EXPECT_GE(got, memory * 9 / 10);
    EXPECT_EQ(samples, a.capture().streamed[0]);
    EXPECT_LT(samples, a.capture().total_samples);
    EXPECT_TRUE(l.status_until(
        [](const auto& g) { return g.at(0).overrun && g.at(0).data_available == 0; }));
}

} // namespace

namespace {

uint64_t step_word(bool use_tmin, bool use_tmax, uint32_t tmin, uint32_t tmax, bool change_only,
                   bool dont_wait, uint32_t levels, uint32_t care) {
    return uint64_t{!use_tmin} | uint64_t{!use_tmax} << 1 | uint64_t{tmin & 0x7FF} << 2 |
           uint64_t{tmax & 0x7FF} << 13 | uint64_t{change_only} << 24 | uint64_t{dont_wait} << 26 |
           uint64_t{levels & 0x3FFFF} << 27 | uint64_t{~care & 0x3FFFF} << 45;
}

// Engine A's program of group 0, one word per packet.
void load_words(link& l, const std::vector<uint64_t>& words) {
    for (size_t i = 0; i < words.size(); ++i) {
        bytes p{0, 0, static_cast<uint8_t>(8 * i), 0};
        for (int b = 0; b < 8; ++b)
            p.push_back(static_cast<uint8_t>(words[i] >> (8 * b)));
        ASSERT_TRUE(l.exchange(5, p));
    }
}

TEST_F(acq, step_program_finds_the_first_pulse_of_the_right_width) {
    for (const uint32_t div : {1u, 4u}) {
        SCOPED_TRACE(div);
        auto fw = plug_one(sn1);
        auto& a = fw->acq();
        a.set_signal(5, signal_t::random(99, 1e-6)); // pulses of 1..499 samples
        link l(sn1);
        const uint32_t tmin = 200 / div, tmax = 260 / div;
        const uint32_t ch5 = 1u << 5;
        const std::vector<uint64_t> words{step_word(false, false, 0, 0, false, true, 0, ch5),
                                          step_word(false, false, 0, 0, false, false, ch5, ch5),
                                          step_word(true, true, tmin, tmax, false, false, 0, ch5)};
        load_words(l, words);
        EXPECT_EQ(fw->counters().trigger_words, 3u);
        EXPECT_EQ(fw->trigger_words(0, 0).at(2), words[2]);
        cfg_t c;
        c.depth = 400000;
        c.post = 300000;
        c.max_steps[0] = 3;
        c.flex_clk = 250000000 / div;
        const auto d = run_and_read(l, a, c);
        ASSERT_EQ(static_cast<int64_t>(d.samples.size()), a.capture().total_samples);
        // The first whole high pulse after the arming sample whose width lies from tmin to
        // tmax ticks of the trigger clock (div samples each), both included: with div 4,
        // 261..263 samples are more than 65 ticks. The arming sample may lie before the
        // window.
        const auto info = a.capture();
        const int64_t arm = c.depth - c.post - info.first_sample;
        int64_t expect = -1, rise = -1;
        for (int64_t i = arm + 1; i <= info.trigger_sample + 1 && expect < 0; ++i) {
            const bool v = a.level(5, i), prev = a.level(5, i - 1);
            if (v && !prev) rise = i;
            if (!v && prev && rise >= 0) {
                const int64_t width = i - rise;
                if (width >= tmin * div && width <= tmax * div) expect = i;
            }
        }
        EXPECT_EQ(expect, info.trigger_sample);
        EXPECT_EQ(d.trigger, info.trigger_sample);
        EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
        l.stop();
    }
}

// A step bounded by 0 ticks completes only on the sample where its timer started, however
// slow the trigger clock: levels checked there are checked at that very sample. Channel 5
// rises half a microsecond after channel 3's first rises (within one 4 us tick of the
// 250 kHz clock) and is high at its later ones.
TEST_F(acq, a_bound_of_zero_ticks_is_the_sample_itself_at_any_clock) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.set_signal(3, signal_t::square(10e-6, 0.5, 0));
    a.set_signal(5, signal_t::square(70e-6, 0.5, 0.5e-6));
    link l(sn1);
    const uint32_t ch3 = 1u << 3, ch5 = 1u << 5;
    // ch3 rises; then ch3 and ch5 high, at once.
    load_words(l, {step_word(false, false, 0, 0, false, false, ch3, ch3),
                   step_word(false, true, 0, 0, false, true, ch3 | ch5, ch3 | ch5)});
    cfg_t c;
    c.depth = 100000;
    c.post = 50000;
    c.max_steps[0] = 2;
    c.flex_clk = 250000;
    const auto d = run_and_read(l, a, c);
    const auto info = a.capture();
    const int64_t arm = c.depth - c.post - info.first_sample;
    int64_t expect = -1;
    for (int64_t i = arm; i <= info.trigger_sample && expect < 0; ++i)
        if (a.level(3, i) && !a.level(3, i - 1) && a.level(5, i)) expect = i;
    EXPECT_EQ(expect, info.trigger_sample);
    EXPECT_EQ(d.trigger, info.trigger_sample);
    l.stop();
}

// "Within tmax ticks" ends where tmax ticks end, not where the tick after them begins: with
// four samples a tick, channel 4 falls 60, 59, 58, ... samples after channel 3 rises, and
// the step bounded by 10 ticks takes the first fall 40 samples after the rise, not 43.
TEST_F(acq, a_step_completes_no_later_than_its_bound_between_ticks) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    // Edges 1 ns before a sample: ch3 rises on sample 500 (k + 1), ch4 falls on sample
    // 500 (k + 1) + 160 - k, 60 samples after the rise at 200 us, where the program is
    // armed, and one sample less every 2 us.
    a.set_signal(3, signal_t::square(2e-6, 0.5, 1999e-9));
    a.set_signal(4, signal_t::square(2e-6 - 4e-9, 0.25, 2639e-9 - 0.25 * (2e-6 - 4e-9)));
    link l(sn1);
    const uint32_t ch3 = 1u << 3, ch4 = 1u << 4;
    load_words(l, {step_word(false, false, 0, 0, false, false, ch3, ch3),
                   step_word(false, true, 0, 10, false, false, 0, ch4)});
    cfg_t c;
    c.depth = 100000;
    c.post = 50000;
    c.max_steps[0] = 2;
    c.flex_clk = 250000000 / 4;
    const auto d = run_and_read(l, a, c);
    const auto info = a.capture();
    EXPECT_TRUE(!a.level(4, info.trigger_sample) && a.level(4, info.trigger_sample - 1));
    int64_t rise = info.trigger_sample;
    while (!(a.level(3, rise) && !a.level(3, rise - 1)))
        --rise;
    EXPECT_EQ(info.trigger_sample - rise, 40);
    EXPECT_EQ(d.trigger, info.trigger_sample);
    l.stop();
}

// One value of the loading form per byte of each device word: the byte and its address.
bytes loading_form(const std::vector<uint32_t>& words) {
    bytes out;
    for (size_t i = 0; i < words.size(); ++i)
        for (uint32_t b = 0; b < 4; ++b) {
            const uint32_t v = ((words[i] >> (8 * b)) & 0xFF) | static_cast<uint32_t>(4 * i + b)
                                                                    << 14;
            for (int k = 0; k < 4; ++k)
                out.push_back(static_cast<uint8_t>(v >> (8 * k)));
        }
    return out;
}

// Output block and both port blocks of one group: channels 0..2 and 8 push-pull, clock
// output 0 at 5 MHz, idle level 1 on channel 1.
bytes oci_params(bool load_enable) {
    bytes p{2, 0, 1, static_cast<uint8_t>(load_enable), 0x02, 0, 0, 0, 1, 0};
    for (uint64_t f : {uint64_t{5000000}, uint64_t{0}})
        for (int k = 0; k < 8; ++k)
            p.push_back(static_cast<uint8_t>(f >> (8 * k)));
    for (int port = 0; port < 2; ++port) {
        p.insert(p.end(), {1, 0x72, 0x06, 0xE4, 0x0C});
        p.insert(p.end(), 9, 0);
        for (int i = 0; i < 9; ++i)
            p.push_back(port == 0 && (i < 3 || i == 8) ? 1 : 0);
    }
    return p;
}

TEST_F(acq, output_program_is_loaded_and_drives_its_channels) {
    auto fw = plug_one(sn1);
    link l(sn1);
    ASSERT_TRUE(l.ok());
    auto& a = fw->acq();
    // (ch0 for 3 periods, ch1 for 2) twice, then ch0 and ch2 held.
    const std::vector<uint32_t> words{0x00000403, 0x30000802, 0x40000001, 0x30001404, 0x80000000};
    ASSERT_TRUE(l.exchange(13, oci_params(true)));
    {
        bridge br(0);
        bytes form = loading_form(words);
        uint32_t tr = 0;
        EXPECT_EQ(
            FT_WritePipe(br.h, 0x02, form.data(), static_cast<uint32_t>(form.size()), &tr, nullptr),
            0u);
        EXPECT_EQ(tr, form.size());
    }
    EXPECT_EQ(a.output_status(0).loading_words, words.size());
    EXPECT_FALSE(a.output_status(0).ready);
    ASSERT_TRUE(l.exchange(13, oci_params(false)));
    ASSERT_TRUE(l.exchange(12, {1}));
    auto ready = l.wait(71, 3s);
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->params, bytes{1});
    EXPECT_EQ(a.output_words(0), words);
    EXPECT_TRUE(a.output_status(0).ready);
    EXPECT_EQ(a.output_levels(0, 4), 0x2u);
    EXPECT_EQ(a.output_levels(0, 6), 0x1u);
    EXPECT_EQ(a.output_levels(0, 1000), 0x5u);

    // A capture with the same output settings: the engine starts at the trigger.
    cfg_t c;
    c.depth = 2000;
    c.post = 1000;
    bytes cfg = config_payload(c);
    const bytes op = oci_params(false);
    std::copy(op.begin(), op.begin() + 26, cfg.begin() + 1 + 93);
    std::copy(op.begin() + 26, op.begin() + 49, cfg.begin() + 1 + 1);
    ASSERT_TRUE(l.exchange(10, {0}));
    ASSERT_TRUE(l.exchange(1, cfg));
    ASSERT_TRUE(l.exchange(10, {1}));
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto info = a.capture();
    ASSERT_TRUE(info.outputs_running);
    EXPECT_EQ(info.program_start_sample, info.trigger_sample);
    bridge br(0);
    const auto d = read_capture(br, info.total_samples);
    ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples);
    EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
    const auto t = static_cast<size_t>(info.trigger_sample);
    // Idle levels before, then two samples per output period at 250 MHz.
    EXPECT_EQ(d.samples[t - 1] & 0x107, 0x002u);
    const uint32_t periods[] = {1, 1, 1, 2, 2, 1, 1, 1, 2, 2, 5, 5, 5, 5, 5, 5};
    for (size_t p = 0; p < 16; ++p)
        for (size_t s = 0; s < 2; ++s)
            EXPECT_EQ(d.samples[t + 2 * p + s] & 0x7, periods[p]) << "period " << p;
    // Clock output 0 on channel 8: low for 25 samples, high for 25, from the start.
    for (size_t k = 0; k < 200; ++k)
        EXPECT_EQ((d.samples[t + k] >> 8) & 1, (k % 50) >= 25 ? 1u : 0u) << k;
    // Output sync is marked in the stream while the program runs.
    EXPECT_EQ(d.samples[t - 1] >> 18, 0u);
    EXPECT_EQ(d.samples[t + 10] >> 18, 1u);
    EXPECT_EQ(d.samples[t + 40] >> 18, 0u);
    EXPECT_GE(d.rfu_packets, 2u);
    l.stop();

    // Outside loading the pipe is ignored; loading again drops readiness.
    {
        bytes junk(16, 0);
        uint32_t tr = 0;
        FT_WritePipe(br.h, 0x02, junk.data(), 16, &tr, nullptr);
    }
    EXPECT_EQ(a.output_status(0).ignored_bytes, 16u);
    EXPECT_EQ(a.output_words(0), words);
    l.drop_pending();
    ASSERT_TRUE(l.exchange(13, oci_params(true)));
    ready = l.wait(71, 3s);
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->params, bytes{0});
}

} // namespace

namespace {

// Reads one group's whole stream in reads of the given sizes (repeated), noting after each
// read what the device reports of it.
struct stream_reads {
    bytes all;
    std::vector<std::array<int64_t, 3>> after; // streamed, delivered, bytes
};

stream_reads read_in_pieces(kestrel_sim::acquisition& a, const std::vector<uint32_t>& sizes) {
    stream_reads r;
    bridge br(0, 300);
    for (size_t i = 0;; ++i) {
        auto [st, b] = br.read(sizes[i % sizes.size()]);
        if (b.empty()) break;
        r.all.insert(r.all.end(), b.begin(), b.end());
        const auto info = a.capture();
        r.after.push_back(
            {info.streamed[0], info.delivered[0], static_cast<int64_t>(info.bytes[0])});
    }
    return r;
}

// A run that repeats the last one (same inputs, settings and trigger sample) copies the
// stream the last one produced instead of encoding it again: the same bytes, and after
// every read the same positions, also for reads that cut a packet. A changed input is
// encoded afresh.
TEST_F(acq, a_repeated_run_copies_the_last_stream_with_its_positions) {
    auto fw = plug_one(sn1);
    auto& a = fw->acq();
    a.set_output_sync(0, signal_t::square(7e-6, 0.5, 1e-6)); // output-sync packets
    a.set_signal(4, signal_t::square(20e-6, 0.1, 3e-6));
    for (unsigned ch = 0; ch < 17; ++ch) // idle stretches: delta packets
        if (ch != 4) a.set_signal(ch, signal_t::constant(ch % 2 == 0));
    link l(sn1);
    cfg_t c;
    c.depth = 300000;
    c.post = 200000;
    c.edge(0, 4, false);
    const std::vector<uint32_t> cut = {1000, 37, 4101, 16, 65536 + 5};

    const uint64_t replayed = bus::instance().counters().streams_replayed;
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto first = read_in_pieces(a, cut);
    l.stop();
    EXPECT_EQ(bus::instance().counters().streams_replayed, replayed);

    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto again = read_in_pieces(a, cut);
    l.stop();
    EXPECT_EQ(bus::instance().counters().streams_replayed, replayed + 1);
    ASSERT_EQ(again.all.size(), first.all.size());
    EXPECT_TRUE(again.all == first.all);
    ASSERT_EQ(again.after.size(), first.after.size());
    for (size_t i = 0; i < first.after.size(); ++i)
        EXPECT_EQ(again.after[i], first.after[i]) << "read " << i;

    // Read in other pieces, the copy still decodes to the inputs.
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto info = a.capture();
    {
        bridge br(0, 300);
        const auto d = read_capture(br, info.total_samples, 4093);
        ASSERT_EQ(static_cast<int64_t>(d.samples.size()), info.total_samples);
        EXPECT_EQ(first_mismatch(a, d, 1, 0), -1);
        EXPECT_EQ(d.trigger, info.trigger_sample);
        EXPECT_GT(d.delta_packets, 0u);
    }
    EXPECT_EQ(a.capture().delivered[0], info.total_samples);
    l.stop();
    EXPECT_EQ(bus::instance().counters().streams_replayed, replayed + 2);

    // Another input: encoded again, and true to the new input.
    a.set_signal(9, signal_t::square(3e-6, 0.5, 0));
    l.run(c);
    ASSERT_TRUE(a.wait_trigger(5s));
    const auto changed = read_in_pieces(a, cut);
    l.stop();
    EXPECT_EQ(bus::instance().counters().streams_replayed, replayed + 2);
    EXPECT_FALSE(changed.all == first.all);
    decoder dec;
    dec.feed(changed.all);
    EXPECT_EQ(first_mismatch(a, dec.d, 1, 0), -1);
}

} // namespace
