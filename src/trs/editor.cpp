#include "trs/editor.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace trs {

namespace {

isamp sat_add(isamp a, isamp b) {
    isamp r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<isamp>::max() : std::numeric_limits<isamp>::min();
    return r;
}

uint8_t level_of(value v) {
    return v == value::rising ? 1 : 0;
}

bool by_sample(const editor::ovtrs& a, const editor::ovtrs& b) {
    return a.sample < b.sample;
}

// Clears `busy` however a rebuild ends.
struct busy_guard {
    editor& e;
    ~busy_guard() { e.set_busy(false); }
};

} // namespace

editor::editor(isamp max_samples, iterator it, builder b, history_t& hist, mox::semaphore& notifier)
    : max_sample(std::max<isamp>(max_samples, 0)), target_ch_iter(it), target_ch_builder(b),
      history(hist), notifier(notifier), restore_cb([this](const overlay_t& v) { restore(v); }) {}

void editor::add_history_point(operation op) {
    std::lock_guard lk(mutex);
    add_history_point_locked(op);
}

void editor::add_history_point_locked(operation op) {
    history.add({restore_cb, ovdata, op});
}

void editor::add_overlay_transition(ovtrs t, isamp n_samples) {
    if (n_samples < 0) throw std::invalid_argument("negative overlay length");
    if (t.val == value::bloc) throw std::invalid_argument("invalid overlay level");
    std::lock_guard lk(mutex);
    // Only the part within the editable range is painted; anything else would end up in the
    // channel out of order.
    const isamp start = std::clamp<isamp>(t.sample, 0, max_sample);
    const isamp end = std::clamp<isamp>(sat_add(t.sample, n_samples), 0, max_sample);
    if (end <= start) return;
    if (ovdata.empty() && t.val == value::none) return; // the background shows already
    t.sample = start;

    add_history_point_locked(operation::undo);
    size_t i;
    value before = value::none; // level in force before the stretch, then at its end
    if (ovdata.empty()) {
        ovdata.push_back(t);
        i = 1;
    } else {
        i = static_cast<size_t>(std::lower_bound(ovdata.begin(), ovdata.end(), t, by_sample) -
                                ovdata.begin());
        if (i > 0) before = ovdata[i - 1].val;
        if (before != t.val) ovdata.insert(ovdata.begin() + static_cast<ptrdiff_t>(i++), t);
        size_t j = i;
        while (j < ovdata.size() && ovdata[j].sample <= end)
            before = ovdata[j++].val;
        ovdata.erase(ovdata.begin() + static_cast<ptrdiff_t>(i),
                     ovdata.begin() + static_cast<ptrdiff_t>(j));
    }
    // After the stretch the former level (or the background) returns.
    if (before != t.val) ovdata.insert(ovdata.begin() + static_cast<ptrdiff_t>(i), {end, before});
    add_history_point_locked(operation::redo);
}

isamp editor::move_overlay_transition(iovtrs k, isamp target, bool apply, bool shift_all_right) {
    std::lock_guard lk(mutex);
    // Checked before any history point: an undo step without its redo step would break the
    // alternation the history relies on.
    if (k >= ovdata.size()) return target;
    const size_t n = ovdata.size();
    isamp pos = std::clamp<isamp>(target, 0, max_sample);
    if (k > 0 && pos <= ovdata[k - 1].sample) pos = ovdata[k - 1].sample + 1;
    if (shift_all_right) {
        // The whole tail moves: its last entry must stay within the editable range.
        const isamp room = std::max<isamp>(max_sample - ovdata.back().sample, 0);
        pos = std::min(pos, sat_add(ovdata[k].sample, room));
        const isamp delta = pos - ovdata[k].sample;
        if (apply) {
            add_history_point_locked(operation::undo);
            for (size_t j = k; j < n; ++j)
                ovdata[j].sample += delta;
            add_history_point_locked(operation::redo);
        }
    } else {
        if (k + 1 < n && pos >= ovdata[k + 1].sample) pos = ovdata[k + 1].sample - 1;
        if (apply) {
            add_history_point_locked(operation::undo);
            ovdata[k].sample = pos;
            add_history_point_locked(operation::redo);
        }
    }
    return pos;
}

editor::ovtrs editor::get_at_sample(isamp samp) {
    std::lock_guard lk(mutex);
    const auto it = std::partition_point(ovdata.begin(), ovdata.end(),
                                         [samp](const ovtrs& e) { return e.sample < samp; });
    if (it == ovdata.begin()) return {0, value::none};
    return *(it - 1);
}

void editor::clear() {
    std::lock_guard lk(mutex);
    ovdata.clear();
}

void editor::restore(const overlay_t& overlay) {
    std::lock_guard lk(mutex);
    ovdata = overlay;
    std::stable_sort(ovdata.begin(), ovdata.end(), by_sample);
}

editor::overlay_t editor::get_overlay() const {
    std::lock_guard lk(mutex);
    return ovdata;
}

void editor::set_busy(bool b) {
    busy = b;
    notifier.notify();
}

bool editor::rebuild_bg() {
    std::lock_guard bld(target_ch_builder.get_mutex());
    std::lock_guard lk(mutex);
    if (ovdata.empty()) {
        set_busy(false);
        return false;
    }
    set_busy(true);
    busy_guard done{*this};

    store& s = target_ch_builder.get_store();
    // The channel keeps its length when it grew past the editable range meanwhile.
    const isamp end = std::max(max_sample, s.samples_count());

    // Merge background and overlay in sample order over [0, end): the overlay's level where
    // it forces one, the background's elsewhere. Everything is worked out before the store
    // is touched, so a failure leaves the channel as it was.
    target_ch_iter.restart(0, 10.0, 0);
    tr t{};
    bool bg_done = target_ch_iter.is_empty();
    uint8_t bg_level = level_of(s.last_idle().pol);
    if (!bg_done) {
        t = target_ch_iter.next();
        if (t.pol == value::none)
            bg_done = true;
        else
            bg_level = level_of(t.pol); // held before the first item, too
    }
    value forced = value::none;
    size_t oi = 0;
    uint8_t initial = bg_level, last = bg_level;
    std::vector<edge_t> edges;
    constexpr isamp never = std::numeric_limits<isamp>::max();
    for (;;) {
        const isamp next_bg = bg_done ? never : t.sample;
        const isamp next_ov = oi < ovdata.size() ? ovdata[oi].sample : never;
        const isamp at = std::min(next_bg, next_ov);
        if (at == never || at >= end) break;
        while (!bg_done && t.sample == at) {
            bg_level = level_of(t.pol);
            if (t.is_last)
                bg_done = true;
            else
                t = target_ch_iter.next();
        }
        while (oi < ovdata.size() && ovdata[oi].sample == at)
            forced = ovdata[oi++].val;
        const uint8_t out = forced == value::none ? bg_level : level_of(forced);
        if (at <= 0) {
            initial = last = out; // stated by the initial level slice
        } else if (out != last) {
            edges.push_back({at, out});
            last = out;
        }
    }

    target_ch_builder.clear();
    target_ch_builder.set_uncaptured(true);
    target_ch_builder.append_idle(0, initial);
    if (!edges.empty()) target_ch_builder.append(edges);
    if (end > 0) target_ch_builder.append(end, last);
    ovdata.clear();
    return true;
}

} // namespace trs
