#include "packet_encoder.h"

#include <algorithm>
#include <cstring>
#include <numeric>

namespace kestrel_sim {

namespace {

constexpr unsigned group_channels = 18;
constexpr int64_t max_delta_count = 0xFFFFFF;

// Channel j's bits in samples i .. 6 of a packet.
packet_bits samples_from(unsigned i, unsigned j) {
    static constexpr auto channel0 = [] {
        std::array<unsigned __int128, 7> t{};
        for (unsigned from = 0; from < 7; ++from)
            for (unsigned k = from; k < 7; ++k)
                t[from] |= static_cast<unsigned __int128>(1) << (18 * k);
        return t;
    }();
    const unsigned __int128 acc = channel0[i] << j;
    return {static_cast<uint64_t>(acc), static_cast<uint64_t>(acc >> 64)};
}

// Walks a cursor's changes from sample n (where its level may first differ from `level`) up
// to `last`, calling flip(n) at each sample where it does differ; leaves `level` that of
// `last` and returns the first sample after it where the level may change.
template <typename F>
int64_t walk_changes(cursor& c, int64_t n, int64_t last, bool& level, F flip) {
    for (; n <= last; n = c.next_change(n)) {
        if (c.at(n) == level) continue;
        level = !level;
        flip(n);
    }
    return n;
}

// Levels held over a whole packet.
packet_bits spread(uint32_t levels) {
    const auto v = static_cast<unsigned __int128>(levels & 0x3FFFF);
    const unsigned __int128 acc = v | v << 18 | v << 36 | v << 54 | v << 72 | v << 90 | v << 108;
    return {static_cast<uint64_t>(acc), static_cast<uint64_t>(acc >> 64)};
}

packet_bits pack(const uint32_t* v) {
    unsigned __int128 acc = 0;
    for (unsigned i = 0; i < 7; ++i)
        acc |= static_cast<unsigned __int128>(v[i] & 0x3FFFF) << (18 * i);
    return {static_cast<uint64_t>(acc), static_cast<uint64_t>(acc >> 64)};
}

// Per packet, how many packets from it on satisfy `ok`, around the circle; `always` when
// every packet does.
std::vector<uint32_t> runs(const std::vector<bool>& ok) {
    const size_t n = ok.size();
    std::vector<uint32_t> r(n, packet_tile::always);
    const auto first_bad = std::find(ok.begin(), ok.end(), false);
    if (first_bad == ok.end()) return r;
    const size_t k0 = static_cast<size_t>(first_bad - ok.begin());
    r[k0] = 0;
    for (size_t step = 1; step < n; ++step) {
        const size_t k = (k0 + n - step) % n;
        const size_t next = (k + 1) % n;
        r[k] = ok[k] ? r[next] + 1 : 0;
    }
    return r;
}

} // namespace

std::shared_ptr<const packet_tile> make_packet_tile(const setup_t& s, unsigned group,
                                                    int64_t first_abs) {
    auto t = std::make_shared<packet_tile>();
    const unsigned base = s.base_channel(group);
    // Channels whose levels repeat every P samples, shortest first, while the common
    // period stays within bounds.
    int64_t period = 7;
    // A tile is worth its building only if the window repeats it several times: a short
    // capture pays for a long tile in full, at the launch. Channels of longer periods change
    // rarely for that reason and come from their cursors.
    const int64_t longest = std::clamp<int64_t>(s.total / 8, 7 * 1024, packet_tile::max_samples);
    std::vector<std::pair<int64_t, unsigned>> tiled;
    if (const int64_t pps = s.tb.ps_per_sample; pps > 0) {
        std::vector<std::pair<int64_t, unsigned>> cand;
        for (unsigned j = 0; j < group_channels; ++j) {
            const int64_t p_ps = s.waves[base + j].period_ps();
            if (p_ps <= 0) continue;
            const int64_t p = p_ps / std::gcd(p_ps, pps);
            if (p <= longest) cand.emplace_back(p, j);
        }
        std::sort(cand.begin(), cand.end());
        for (const auto& [p, j] : cand) {
            const int64_t l = std::lcm(period, p);
            if (l > longest) continue;
            period = l;
            tiled.emplace_back(p, j);
            t->channels |= 1u << j;
        }
    }
    // Channels left out that change every few samples and repeat within bounds: stripes.
    // Their period at any sample frequency f: the first whole number of samples that is
    // a whole number of the channel's periods.
    for (unsigned j = 0; j < group_channels; ++j) {
        const int64_t p_ps = s.waves[base + j].period_ps();
        if (p_ps <= 0 || ((t->channels >> j) & 1)) continue;
        const auto fp = static_cast<unsigned __int128>(s.tb.freq) * static_cast<uint64_t>(p_ps);
        const unsigned __int128 tera = 1000000000000ULL;
        unsigned __int128 a = fp, b = tera;
        while (b != 0) {
            const auto r = a % b;
            a = b;
            b = r;
        }
        const unsigned __int128 p = fp / a;
        // A period under 128 samples: a change every few samples, where looking the level
        // up costs less than finding the next change.
        const bool busy = fp < tera * 128;
        if (p > static_cast<unsigned __int128>(longest) || !busy) continue;
        packet_tile::stripe st;
        st.channel = j;
        st.levels.resize(static_cast<size_t>(p));
        cursor c(&s.waves[base + j], s.tb);
        for (size_t n = 0; n < st.levels.size(); ++n)
            st.levels[n] = c.at(static_cast<int64_t>(n)) ? 1 : 0;
        t->stripes.push_back(std::move(st));
    }
    // Built once per group and capture, so a short capture pays for it in full: the loops
    // go through plain arrays (the spread is vectorised), without a division per sample.
    std::vector<uint32_t> v(static_cast<size_t>(period), 0);
    std::vector<uint32_t> one;
    for (const auto& [p, j] : tiled) {
        one.assign(static_cast<size_t>(p), 0);
        cursor c(&s.waves[base + j], s.tb);
        for (int64_t n = 0; n < p; ++n)
            one[static_cast<size_t>(n)] = c.at(n) ? uint32_t{1} << j : 0;
        const uint32_t* __restrict src = one.data();
        for (int64_t b = 0; b < period; b += p) {
            uint32_t* __restrict dst = v.data() + b;
            for (int64_t n = 0; n < p; ++n)
                dst[n] |= src[n];
        }
    }
    // Packet k holds device samples first_abs + 7k .. + 6: the period turned to start there.
    const size_t np = static_cast<size_t>(period / 7);
    const int64_t off = (first_abs % period + period) % period;
    std::rotate(v.begin(), v.begin() + static_cast<ptrdiff_t>(off), v.end());
    t->packets.resize(np);
    std::vector<bool> same(np);
    uint32_t before = v.back();
    for (size_t k = 0; k < np; ++k) {
        const uint32_t* vals = v.data() + 7 * k;
        bool eq = true;
        for (unsigned i = 0; i < 7; ++i)
            eq = eq && vals[i] == before;
        t->packets[k] = pack(vals);
        same[k] = eq;
        before = vals[6];
    }
    t->idle = runs(same);
    std::vector<bool> no_idle(np);
    for (size_t k = 0; k < np; ++k)
        no_idle[k] = t->idle[k] == 0;
    t->busy = runs(no_idle);
    return t;
}

packet_encoder::packet_encoder(const setup_t& s, unsigned group, int64_t first_abs,
                               int64_t trig_cap)
    : s_(&s), group_(group), first_abs_(first_abs), trig_cap_(trig_cap) {
    const unsigned base = s.base_channel(group);
    for (unsigned j = 0; j < group_channels; ++j)
        cur_[j] = cursor(&s.waves[base + j], s.tb);
    sync_ = cursor(&s.sync[group], s.tb);
}

// The levels of the untiled channels and the flag at sample `abs`, evaluating only those
// whose held level may have ended by then.
void packet_encoder::catch_up(int64_t abs) {
    uint32_t levels = slow_levels_;
    for (size_t k = 0; k < slow_.size(); ++k) {
        if (slow_next_[k] > abs) continue;
        const unsigned j = slow_[k];
        levels = (levels & ~(1u << j)) | (cur_[j].at(abs) ? 1u << j : 0);
        slow_next_[k] = cur_[j].next_change(abs);
    }
    if (sync_next_ <= abs) {
        slow_sync_ = sync_.at(abs);
        sync_next_ = sync_.next_change(abs);
    }
    slow_levels_ = levels;
    settle(abs);
}

// The held levels start at `from` at the latest, and hold up to the first next change.
void packet_encoder::settle(int64_t from) {
    int64_t until = sync_next_;
    for (const int64_t n : slow_next_)
        until = std::min(until, n);
    slow_from_ = from;
    slow_until_ = until;
    slow_bits_ = spread(slow_levels_);
}

// The untiled channels and the flag that change after sample `abs` within its packet: their
// samples from each change on flipped in `bits` and `sync_bits`, which hold the levels of
// sample `abs` throughout. Leaves the held levels those of the packet's last sample.
void packet_encoder::changes_within(int64_t abs, packet_bits& bits, uint8_t& sync_bits) {
    const int64_t last = abs + 6;
    for (size_t k = 0; k < slow_.size(); ++k) {
        if (slow_next_[k] > last) continue;
        const unsigned j = slow_[k];
        bool level = (slow_levels_ >> j) & 1;
        slow_next_[k] = walk_changes(cur_[j], slow_next_[k], last, level, [&](int64_t n) {
            const packet_bits from = samples_from(static_cast<unsigned>(n - abs), j);
            bits.lo ^= from.lo;
            bits.hi ^= from.hi;
        });
        slow_levels_ = (slow_levels_ & ~(1u << j)) | (level ? 1u << j : 0);
    }
    if (sync_next_ <= last)
        sync_next_ = walk_changes(sync_, sync_next_, last, slow_sync_, [&](int64_t n) {
            sync_bits = static_cast<uint8_t>(sync_bits ^ (0x7Fu & (0x7Fu << (n - abs))));
        });
    settle(last);
}

void packet_encoder::advance_tile(int64_t packets) {
    k_ = static_cast<size_t>((static_cast<int64_t>(k_) + packets) % static_cast<int64_t>(np_));
    for (size_t i = 0; i < stripe_at_.size(); ++i) {
        const auto n = static_cast<int64_t>(tile_->stripes[i].levels.size());
        stripe_at_[i] =
            static_cast<size_t>((static_cast<int64_t>(stripe_at_[i]) + 7 * packets) % n);
    }
}

void packet_encoder::add_stripes(packet_bits& bits) {
    for (size_t k = 0; k < stripe_at_.size(); ++k) {
        const auto& st = tile_->stripes[k];
        const size_t n = st.levels.size();
        size_t at = stripe_at_[k];
        for (unsigned i = 0; i < 7; ++i) {
            if (st.levels[at] != 0) {
                const unsigned b = 18 * i + st.channel;
                (b < 64 ? bits.lo : bits.hi) |= uint64_t{1} << (b % 64);
            }
            if (++at == n) at = 0;
        }
    }
}

void packet_encoder::put(pkt_type type, const uint8_t* payload, size_t n) {
    uint8_t* p = stage_.data() + stage_len_;
    std::memset(p, 0, 16);
    // A payload is a few bytes: a loop, not a call that sizes its copy.
    for (size_t i = 0; i < n; ++i)
        p[i] = payload[i];
    p[15] = static_cast<uint8_t>(p[15] | (type << 6));
    stage_len_ += 16;
}

void packet_encoder::put_samples(const packet_bits& b) {
    uint8_t* p = stage_.data() + stage_len_;
    std::memcpy(p, &b.lo, 8);
    std::memcpy(p + 8, &b.hi, 8);
    stage_len_ += 16;
}

void packet_encoder::next_packets(int64_t limit) {
    stage_off_ = stage_len_ = 0;
    const int64_t abs = first_abs_ + pos_;
    if (abs >= slow_until_) catch_up(abs);
    const bool trig_due = !trig_sent_ && trig_cap_ >= pos_;
    const auto& t = *tile_;

    // An idle stretch: whole packets whose samples all repeat the last one sent. Never two
    // delta_s in a row (the host keeps only the second count), never over the trigger.
    if (pos_ > 0 && !last_delta_ && t.idle[k_] > 0 && stripe_at_.empty()) {
        const int64_t slow_until = slow_from_ <= abs - 1 ? slow_until_ : abs;
        int64_t k = std::min({(slow_until - abs) / 7, (limit - pos_) / 7, max_delta_count});
        if (t.idle[k_] != packet_tile::always) k = std::min<int64_t>(k, t.idle[k_]);
        if (trig_due) k = std::min(k, (trig_cap_ - pos_) / 7);
        if (k >= 1) {
            const uint8_t n[3] = {static_cast<uint8_t>(k), static_cast<uint8_t>(k >> 8),
                                  static_cast<uint8_t>(k >> 16)};
            put(pkt_delta, n, 3);
            pos_ += 7 * k;
            advance_tile(k);
            last_delta_ = true;
            return;
        }
    }

    packet_bits bits = {t.packets[k_].lo | slow_bits_.lo, t.packets[k_].hi | slow_bits_.hi};
    uint8_t sync_bits = slow_sync_ ? 0x7F : 0;
    // An untiled channel or the flag changes inside this packet.
    if (abs + 7 > slow_until_) changes_within(abs, bits, sync_bits);

    add_stripes(bits);

    if (trig_due && trig_cap_ < pos_ + 7) {
        const uint8_t b = static_cast<uint8_t>(1u << (trig_cap_ - pos_));
        put(pkt_trig, &b, 1);
        trig_sent_ = true;
    }
    // The host carries the flag of sample 6 into the following packets.
    if (sync_bits != (sync_on_ ? 0x7F : 0)) put(pkt_rfu, &sync_bits, 1);
    sync_on_ = (sync_bits & 0x40) != 0;
    put_samples(bits);
    pos_ += 7;
    advance_tile(1);
    last_delta_ = false;
}

// Samples packets straight from the tile while nothing else is due: the untiled channels
// hold, no trigger or output-sync packet comes, and no idle stretch can start.
size_t packet_encoder::bulk(uint8_t* out, size_t room, int64_t limit) {
    const int64_t abs = first_abs_ + pos_;
    if (abs < slow_from_ || abs + 7 > slow_until_ || slow_sync_ != sync_on_) return 0;
    if (!stripe_at_.empty()) return 0; // packet by packet
    const auto& t = *tile_;
    int64_t n =
        std::min({static_cast<int64_t>(room / 16), (slow_until_ - abs) / 7, (limit - pos_) / 7});
    if (!trig_sent_ && trig_cap_ >= pos_) n = std::min(n, (trig_cap_ - pos_) / 7);
    // The first packet cannot be a delta_s at the start or right after one.
    const bool free_first = pos_ == 0 || last_delta_;
    const uint32_t busy = t.busy[free_first ? (k_ + 1) % np_ : k_];
    if (busy != packet_tile::always) n = std::min<int64_t>(n, int64_t{busy} + (free_first ? 1 : 0));
    if (n <= 0) return 0;
    const packet_bits* src = t.packets.data();
    const uint64_t lo = slow_bits_.lo, hi = slow_bits_.hi;
    size_t k = k_;
    uint8_t* p = out;
    for (int64_t left = n; left > 0;) {
        const auto run =
            static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(np_ - k)));
        for (size_t i = 0; i < run; ++i, p += 16) {
            const uint64_t a = src[k + i].lo | lo, b = src[k + i].hi | hi;
            std::memcpy(p, &a, 8);
            std::memcpy(p + 8, &b, 8);
        }
        left -= static_cast<int64_t>(run);
        k = (k + run) % np_;
    }
    k_ = k;
    pos_ += 7 * n;
    last_delta_ = false;
    return static_cast<size_t>(16 * n);
}

size_t packet_encoder::produce(uint8_t* out, size_t len, int64_t limit) {
    if (!tile_) {
        tile_ = make_packet_tile(*s_, group_, first_abs_);
        np_ = tile_->packets.size();
        uint32_t striped = 0;
        for (const auto& st : tile_->stripes) {
            striped |= 1u << st.channel;
            stripe_at_.push_back(
                static_cast<size_t>(first_abs_ % static_cast<int64_t>(st.levels.size())));
        }
        for (unsigned j = 0; j < group_channels; ++j)
            if (!(((tile_->channels | striped) >> j) & 1)) slow_.push_back(j);
        slow_next_.assign(slow_.size(), -1);
    }
    size_t n = 0;
    while (n < len) {
        if (stage_off_ == stage_len_) {
            if (pos_ >= limit) break;
            if (len - n >= 16)
                if (const size_t b = bulk(out + n, len - n, limit); b > 0) {
                    n += b;
                    continue;
                }
            staged_from_ = pos_;
            next_packets(limit);
        }
        const size_t k = std::min(len - n, stage_len_ - stage_off_);
        std::memcpy(out + n, stage_.data() + stage_off_, k);
        stage_off_ += k;
        n += k;
    }
    return n;
}

} // namespace kestrel_sim
