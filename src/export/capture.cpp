#include "export/capture.h"

#include "export/writers.h"

#include <algorithm>
#include <cctype>

#include <cmath>
#include <stdexcept>

namespace xport {

namespace {
// Scale 10 folds nothing: every transition comes out on its own.
constexpr double unfolded = 10.0;
} // namespace

trs::iterator capture_t::iterator_of(hw::ich ch) const {
    if (man != nullptr) return man->create_iterator(ch);
    if (ch >= stores.size() || stores[ch] == nullptr)
        throw std::out_of_range("channel " + std::to_string(ch) + " is not in the capture");
    return trs::iterator(*stores[ch]);
}

channel_cursor::channel_cursor(trs::iterator it, isamp from) : it_(std::move(it)) {
    it_.restart(from, unfolded, 0);
    const trs::tr t = it_.prev();
    if (t.pol == trs::value::none) return; // empty channel: low, no change
    level_ = t.pol == trs::value::rising;
    last_ = t.is_last;
    fetch(from);
}

bool channel_cursor::take(trs::tr& t) {
    if (has_pending_) {
        t = pending_;
        has_pending_ = false;
        return true;
    }
    while (!last_) {
        t = it_.next();
        last_ = t.is_last;
        if (t.pol == trs::value::rising || t.pol == trs::value::falling) return true;
    }
    return false;
}

void channel_cursor::fetch(isamp after) {
    next_ = no_sample;
    trs::tr t;
    while (take(t)) {
        bool l = t.pol == trs::value::rising;
        if (t.sample <= after) {
            level_ = l; // same sample as the current position: the later item wins
            continue;
        }
        // The last item at this sample is the level that holds from it.
        trs::tr u;
        while (take(u)) {
            if (u.sample != t.sample) {
                pending_ = u;
                has_pending_ = true;
                break;
            }
            l = u.pol == trs::value::rising;
        }
        if (l == level_) continue;
        next_ = t.sample;
        next_level_ = l;
        return;
    }
}

void channel_cursor::advance() {
    if (next_ == no_sample) return;
    level_ = next_level_;
    fetch(next_);
}

uint64_t rate_hz(hw::period period) {
    if (!(period > 0)) throw std::invalid_argument("invalid sampling period");
    return static_cast<uint64_t>(std::llround(1.0 / period));
}

bool write_by_extension(const capture_t& cap, const std::string& path) {
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    std::string ext = path.substr(dot);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ext == ".vcd")
        write_vcd(cap, path);
    else if (ext == ".sr")
        write_sr(cap, path);
    else if (ext == ".csv")
        write_csv(cap, path);
    else
        return false;
    return true;
}

std::string default_name(hw::ich channel) {
    return "ch" + std::to_string(channel);
}

} // namespace xport
