#include "trs/resizer.h"

#include "mox/check.h"
#include "trs/iterator.h"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

namespace trs {

namespace {

uint8_t level_of(const tr& t) {
    return t.pol == value::rising ? 1 : 0;
}

// Appends through a builder in batches, so that a long channel is not rebuilt one lock at a
// time.
class batcher {
public:
    explicit batcher(builder& b) : b(b) { batch.reserve(capacity); }
    ~batcher() = default;

    void append(isamp s, uint8_t level) {
        batch.push_back({s, level});
        if (batch.size() >= capacity) flush();
    }
    void append_idle(isamp s, uint8_t level) {
        flush();
        b.append_idle(s, level);
    }
    void flush() {
        if (!batch.empty()) b.append(batch);
        batch.clear();
    }

private:
    static constexpr size_t capacity = 4096;
    builder& b;
    std::vector<edge_t> batch;
};

} // namespace

resizer::resizer(std::vector<store>& stores, std::vector<builder> builders)
    : target_ch_stores(stores), target_ch_builders(std::move(builders)) {
    MOX_ASSERT(target_ch_stores.size() == target_ch_builders.size());
}

void resizer::resize(isamp new_n_samples, bool set_as_uncaptured) {
    MOX_ASSERT(new_n_samples >= 0);
    std::vector<std::thread> threads;
    std::vector<std::exception_ptr> errors(target_ch_stores.size());
    threads.reserve(target_ch_stores.size());
    try {
        for (hw::ich ch = 0; ch < target_ch_stores.size(); ++ch) {
            threads.emplace_back([this, ch, new_n_samples, set_as_uncaptured, &errors] {
                try {
                    resize_channel(ch, new_n_samples, set_as_uncaptured);
                } catch (...) {
                    errors[ch] = std::current_exception();
                }
            });
        }
    } catch (...) {
        for (auto& t : threads)
            t.join();
        throw;
    }
    for (auto& t : threads)
        t.join();
    for (auto& e : errors)
        if (e) std::rethrow_exception(e);
}

void resizer::resize_channel(hw::ich ch, isamp n, bool set_as_uncaptured) {
    MOX_ASSERT(n >= 0);
    builder& b = target_ch_builders.at(ch);
    std::lock_guard lk(b.get_mutex());

    // A channel that already ends there would be rebuilt as it is: the cut at the end of
    // every capture costs nothing for the channels that reached the common length.
    store& target = target_ch_stores.at(ch);
    if (!target.is_empty() && target.samples_count() == n) {
        b.set_uncaptured(set_as_uncaptured);
        return;
    }
    // A cut (the end of an aborted or overrun capture) drops the tail in place: it costs
    // nothing like rebuilding the channel, and the abort waits for it.
    if (!target.is_empty() && target.samples_count() > n && n > 0) {
        target.cut(n);
        b.set_uncaptured(set_as_uncaptured);
        return;
    }

    store backup(target);
    iterator it(backup);
    it.restart(0, 10.0, 0); // no folding: every transition on its own
    const isamp old_length = backup.samples_count();

    b.clear();
    b.set_uncaptured(set_as_uncaptured);

    if (backup.is_empty()) {
        b.append_idle(n, level_of(backup.last_idle()));
        return;
    }

    batcher out(b);
    // The initial level slice is restated as such, not as a transition at sample 0.
    auto emit = [&out](const tr& t, isamp s) {
        if (t.is_first)
            out.append_idle(s, level_of(t));
        else
            out.append(s, level_of(t));
    };

    tr t = it.next();
    uint8_t held = level_of(t); // the level before t
    bool placed = false;        // t was appended by the walk, at n
    while (!it.current().is_last) {
        const bool cut = t.sample >= n;
        // A change past the cut comes after it: the channel ends with the level that held
        // at the cut (as a channel the capture ended there does), not with the later one.
        const bool later = t.sample > n && !t.is_first;
        if (cut) t.sample = n;
        if (t.sample != old_length) {
            if (later)
                out.append(n, held);
            else
                emit(t, t.sample);
        }
        if (cut) {
            placed = t.sample != old_length;
            break;
        }
        held = level_of(t);
        t = it.next();
    }

    // The item the walk stopped on: the backup's last one, or one already placed at n.
    if (!placed) {
        if (t.sample == 0) {
            // Only items at sample 0: the level holds up to the new end.
            emit(t, 0);
            out.append_idle(n, level_of(t));
        } else if (t.sample > n && !t.is_first) {
            // The last change comes after the cut (also one that closed the channel): the
            // channel ends with the level that held at the cut.
            out.append(n, held);
        } else if (t.sample == old_length) {
            // A transition that closed the channel closes it at its new length.
            out.append(n, level_of(t));
        } else {
            emit(t, std::min(t.sample, n));
            out.append_idle(n, level_of(t));
        }
    }
    out.flush();
}

} // namespace trs
