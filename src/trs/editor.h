#pragma once

#include "mox/semaphore.h"
#include "trs/builder.h"
#include "trs/iterator.h"
#include "trs/undo_redo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace trs {

// Paints levels over one channel. Edits are held as an overlay, an ascending list of
// overlay transitions on top of the stored transitions (the background): from an entry's
// sample on the channel is forced to its level, or shows the background again for `none`.
// rebuild_bg() merges the two and writes the result back into the store.
//
// Every edit records the overlay before and after it in the shared history; a step's
// restore_cb puts its overlay back into this editor, so the editor must outlive the steps it
// added (or the history must be cleared first). Positions are clamped to 0 .. max_sample.
//
// The editor neither copies nor moves: the history's callbacks point at it.
class editor {
public:
    using iovtrs = uint32_t;
    static constexpr iovtrs no_index_ovtrs = 4294967295u;

    struct ovtrs {
        isamp sample = 0;
        value val = value::none;
        bool operator==(const ovtrs&) const = default;
    };
    using overlay_t = std::vector<ovtrs>;
    using history_t = mox::undo_redo<overlay_t>;
    using operation = history_t::operation;

    editor(isamp max_samples, iterator target_ch_iter, builder target_ch_builder, history_t& hist,
           mox::semaphore& notifier);
    editor(const editor&) = delete;
    editor& operator=(const editor&) = delete;

    // Forces t's level (`none`: the background) over [t.sample, t.sample + n_samples), the
    // part of it within the editable range. A negative length or a `bloc` level throws
    // std::invalid_argument.
    void add_overlay_transition(ovtrs t, isamp n_samples);
    // Moves entry trs_index towards target_pos, kept after its predecessor and, unless
    // shift_all_right, before its successor; with shift_all_right every later entry moves by
    // the same amount, as far as the last one stays within the editable range. Returns the
    // position the entry gets (or would get when `apply` is false). Without such an entry
    // nothing changes and target_pos is returned.
    isamp move_overlay_transition(iovtrs trs_index, isamp target_pos, bool apply,
                                  bool shift_all_right);
    // The entry in force just before `samp`: the last one lying below it; {0, none} when
    // there is none.
    ovtrs get_at_sample(isamp samp);

    void clear();
    // Replaces the overlay (the history's restore callback); the list is put in order.
    void restore(const overlay_t& overlay);
    overlay_t get_overlay() const;

    void set_busy(bool b);
    bool is_busy() const { return busy; }
    void notify() { notifier.notify(); }

    // Writes overlay and background merged into the channel and empties the overlay; false
    // (and nothing written) when the overlay is empty. The channel then covers max_sample
    // samples, or its former length when that was longer, is marked uncaptured and ends with
    // a transition to its last level at that length.
    bool rebuild_bg();

    void add_history_point(operation op);
    isamp get_max_sample() const { return max_sample; }

private:
    void add_history_point_locked(operation op);

    const isamp max_sample;
    iterator target_ch_iter;
    builder target_ch_builder;
    std::atomic<bool> busy{false};
    history_t& history;
    mox::semaphore& notifier;
    mutable std::mutex mutex;
    overlay_t ovdata;
    std::function<void(const overlay_t&)> restore_cb;
};

} // namespace trs
