#include "helpers.h"

#include <cmath>

namespace decode_test {

void channel::set(uint64_t at, uint8_t level) {
    if (level == last()) return;
    if (at == 0 && changes.empty()) {
        initial = level;
        return;
    }
    if (!changes.empty() && changes.back().first == at) {
        changes.pop_back();
        if (level == last()) return;
    }
    changes.emplace_back(at, level);
}

void put_units(channel& c, const std::vector<uint8_t>& levels, double unit, double from) {
    for (size_t k = 0; k < levels.size(); ++k)
        c.set(static_cast<uint64_t>(std::floor(from + static_cast<double>(k) * unit)), levels[k]);
}

std::shared_ptr<decode::stored_capture> make_capture(const std::vector<channel>& chans,
                                                     uint64_t length, double rate_hz,
                                                     std::vector<std::string> names) {
    auto cap = std::make_shared<decode::stored_capture>();
    for (size_t k = 0; k < chans.size(); ++k) {
        cap->stores.push_back(std::make_unique<trs::store>());
        auto& s = *cap->stores[k];
        s.append(0, chans[k].initial);
        uint8_t level = chans[k].initial;
        for (const auto& [at, lv] : chans[k].changes) {
            if (at >= length) break;
            s.append(static_cast<isamp>(at), lv);
            level = lv;
        }
        s.append_idle(static_cast<isamp>(length), level);
    }
    names.resize(chans.size());
    cap->names = names;
    cap->length = static_cast<isamp>(length);
    cap->period = 1 / rate_hz;
    return cap;
}

size_t growing_source::read(unsigned ch, isamp from, uint64_t* s, uint8_t* l, size_t cap) const {
    // What a running capture shows: the items before the horizon, nothing later.
    size_t n = inner_.read(ch, from, s, l, cap);
    while (n > 0 && static_cast<isamp>(s[n - 1]) >= covered_)
        --n;
    return n;
}

std::vector<decode::frame> all_frames(decode::session& s, size_t piece) {
    std::vector<decode::frame> out;
    std::vector<decode::frame> buf(piece);
    bool more = true;
    for (int guard = 0; more && guard < 10000000; ++guard) {
        const size_t n = s.read(buf.data(), buf.size(), more);
        out.insert(out.end(), buf.begin(), buf.begin() + static_cast<long>(n));
    }
    return out;
}

std::vector<decode::frame> decode_all(std::shared_ptr<decode::stored_capture> cap,
                                      const std::string& description) {
    decode::session s(std::make_shared<decode::stored_source>(cap), description);
    return all_frames(s);
}

std::ostream& operator<<(std::ostream& o, const item& i) {
    o << decode::kind_name(i.kind) << " 0x" << std::hex << i.value << std::dec;
    if (i.flags) o << " " << decode::flag_names(i.flags);
    return o;
}

std::vector<item> items(const std::vector<decode::frame>& f) {
    std::vector<item> out;
    for (const auto& x : f)
        out.push_back({x.kind, x.value, x.flags});
    return out;
}

std::vector<uint64_t> values(const std::vector<decode::frame>& f, uint16_t kind) {
    std::vector<uint64_t> out;
    for (const auto& x : f)
        if (x.kind == kind) out.push_back(x.value);
    return out;
}

std::string refusal(std::shared_ptr<decode::stored_capture> cap, const std::string& description) {
    try {
        decode::session s(std::make_shared<decode::stored_source>(cap), description);
    } catch (const decode::description_error& e) {
        return e.what();
    }
    return "";
}

} // namespace decode_test
