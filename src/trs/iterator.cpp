#include "trs/iterator.h"

#include "mox/check.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace trs {

namespace {

// Fold widths beyond this are as good as infinite and keep sample arithmetic far from overflow.
constexpr isamp max_samples_per_pixel = isamp{1} << 40;

isamp sat_add(isamp a, isamp b) {
    isamp r;
    if (__builtin_add_overflow(a, b, &r))
        return b > 0 ? std::numeric_limits<isamp>::max() : std::numeric_limits<isamp>::min();
    return r;
}

bool farther_than(isamp a, isamp b, isamp spp) {
    return static_cast<double>(a) - static_cast<double>(b) > 1.5 * static_cast<double>(spp);
}

} // namespace

iterator::iterator(store& s) : channel_store(&s), generation(s.generation()) {}

void iterator::restart(isamp target, double new_scale, isamp viewport_max) {
    if (!(new_scale > 0.0) || !std::isfinite(new_scale))
        throw std::invalid_argument("invalid scale");
    ti = idata{};
    target_position = target;
    scale = new_scale;
    viewport_max_sample = viewport_max;
    const double spp = std::trunc(3.0 / scale);
    samples_per_pixel = spp >= static_cast<double>(max_samples_per_pixel) ? max_samples_per_pixel
                                                                          : static_cast<isamp>(spp);
    bloc_drawing = false;
    reset = true;
    generation = channel_store->generation();
}

void iterator::check_generation() {
    const uint64_t g = channel_store->generation();
    if (g == generation) return;
    generation = g;
    ti = idata{};
    bloc_drawing = false;
    reset = true;
}

void iterator::set_global_index(int64_t k) {
    ti.c = static_cast<int32_t>(k / store::chunk_size);
    ti.i = static_cast<int32_t>(k % store::chunk_size);
}

void iterator::increment() {
    MOX_ASSERT(is_last_slice() == false);
    if (++ti.i >= store::chunk_size) {
        ti.i = 0;
        ++ti.c;
    }
}

void iterator::decrement() {
    if (is_first_slice()) throw std::runtime_error("can't decrement, already at first slice");
    if (--ti.i < 0) {
        ti.i = store::chunk_size - 1;
        --ti.c;
    }
}

void iterator::rewind() {
    while (!is_first_slice()) {
        const int64_t k = global_index() - 1;
        const slice before = channel_store->get_slice(static_cast<uint32_t>(k / store::chunk_size),
                                                      static_cast<uint32_t>(k % store::chunk_size));
        if (!before.bits.extended) break;
        decrement();
    }
}

void iterator::load() {
    MOX_ASSERT(is_empty() == false);
    store::decoded_t d;
    // Decoding rewinds to the transition's first slice itself, under one lock of the store.
    if (!channel_store->decode(global_index(), d))
        throw std::out_of_range("iterator position beyond the store");
    set_global_index(d.last);
    ti.s_acc = d.sample;
    ti.val = d.level ? value::rising : value::falling;
}

void iterator::load_next() {
    increment();
    load();
}

void iterator::load_prev() {
    rewind();
    decrement();
    load();
}

void iterator::load_at(int64_t global_slice) {
    set_global_index(global_slice);
    load();
}

void iterator::load_at(isamp sample, int64_t min, int64_t max) {
    int64_t lo = min, hi = max;
    int64_t mid = lo + (hi - lo) / 2;
    while (hi - lo > 1) {
        load_at(mid);
        if (sample >= ti.s_acc)
            lo = mid;
        else
            hi = mid;
        mid = lo + (hi - lo) / 2;
    }
    load_at(mid);
}

// The last item was a bloc: move to the transition that ends the dense run.
void iterator::skip_run_forwards() {
    idata backup = ti;
    while (!is_last_slice()) {
        load_at(sat_add(ti.s_acc, samples_per_pixel), global_index(),
                channel_store->get_slices_count() - 1);
        if (farther_than(ti.s_acc, backup.s_acc, samples_per_pixel)) break; // run has ended
        if (ti.s_acc == backup.s_acc && !is_last_slice()) {
            backup = ti;
            load_next();
        } else if (viewport_max_sample > 0 && ti.s_acc > viewport_max_sample) {
            break;
        } else {
            backup = ti;
        }
    }
    // The backup is the last transition known to belong to the run; reloading it drops a
    // bloc mark it may carry.
    ti = backup;
    load();
}

void iterator::skip_run_backwards() {
    idata backup = ti;
    bool ended = false;
    while (!is_first_slice()) {
        load_at(sat_add(ti.s_acc, -samples_per_pixel), 0, global_index());
        if (farther_than(backup.s_acc, ti.s_acc, samples_per_pixel)) {
            ended = true;
            break;
        }
        if (ti.s_acc == backup.s_acc && !is_first_slice()) {
            backup = ti;
            load_prev();
        } else {
            backup = ti;
        }
    }
    // On a gap the position lies before the run; the transition after it starts the run.
    if (ended) {
        load_next();
    } else {
        ti = backup;
        load();
    }
}

tr iterator::next() {
    std::lock_guard lk(channel_store->clearing_mutex());
    check_generation();
    if (!reset && !bloc_drawing && samples_per_pixel == 0) {
        // A walk without folding: the next transition and the count in one lock of the
        // store, the same items as the general steps below.
        store::decoded_t d;
        int64_t count = 0;
        if (!channel_store->decode(global_index() + 1, d, count))
            return {ti.val, ti.s_acc, is_first_slice(), true};
        set_global_index(d.last);
        ti.s_acc = d.sample;
        ti.val = d.level ? value::rising : value::falling;
        return {ti.val, ti.s_acc, is_first_slice(), d.last >= count - 1};
    }
    if (reset && is_empty()) return {value::none, 0, true, true};
    if (!reset && is_last_slice()) return {ti.val, ti.s_acc, is_first_slice(), true};

    if (bloc_drawing) {
        skip_run_forwards();
        bloc_drawing = false;
        return item();
    }

    if (reset) {
        reset = false;
        load_at(target_position, 0, channel_store->get_slices_count());
        if (ti.s_acc < target_position && !is_last_slice()) load_next();
    } else {
        load_next();
    }
    if (is_last_slice()) return {ti.val, ti.s_acc, is_first_slice(), true};

    if (samples_per_pixel > 0) {
        const idata here = ti;
        load_next();
        const bool fold = ti.s_acc - here.s_acc < samples_per_pixel;
        ti = here;
        if (fold) {
            bloc_drawing = true;
            ti.val = value::bloc;
        }
    }
    return item();
}

tr iterator::prev() {
    std::lock_guard lk(channel_store->clearing_mutex());
    check_generation();
    if (reset && is_empty()) return {value::none, 0, true, true};
    if (!reset && is_first_slice()) return {ti.val, ti.s_acc, true, is_last_slice()};

    if (bloc_drawing) {
        skip_run_backwards();
        bloc_drawing = false;
        return item();
    }

    if (reset) {
        reset = false;
        load_at(target_position, 0, channel_store->get_slices_count());
        if (ti.s_acc > target_position && !is_first_slice()) load_prev();
    } else {
        load_prev();
    }
    if (is_first_slice()) return {ti.val, ti.s_acc, true, is_last_slice()};

    if (samples_per_pixel > 0) {
        const idata here = ti;
        load_prev();
        const bool fold = here.s_acc - ti.s_acc < samples_per_pixel;
        ti = here;
        if (fold) {
            bloc_drawing = true;
            ti.val = value::bloc;
        }
    }
    return item();
}

tr iterator::current() {
    std::lock_guard lk(channel_store->clearing_mutex());
    check_generation();
    return item();
}

tr iterator::last_idle() {
    std::lock_guard lk(channel_store->clearing_mutex());
    return channel_store->last_idle();
}

bool iterator::current_tr_is_not_last() {
    if (channel_store->samples_count() <= 0) return false;
    {
        std::lock_guard lk(channel_store->clearing_mutex());
        check_generation();
        if (!reset) return !is_last_slice();
    }
    return !next().is_last;
}

} // namespace trs
