#pragma once

#include "mox/check.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>

namespace mox {

// Undo history of whole-state snapshots. Every edit adds two steps: the state before it
// (`undo`) and the state after it (`redo`), so steps alternate. `index` is the 1-based
// position of the step holding the current state (0: empty history); a new edit made after
// some undos first drops the redo branch.
//
// undo() and redo() call the chosen step's restore_cb outside the history's lock: the object
// being restored usually holds its own lock while it adds steps, and taking the two locks in
// opposite orders would deadlock.
template <typename T> class undo_redo {
public:
    enum class operation : uint8_t { undo = 0, redo = 1 };

    struct step {
        std::function<void(const T&)> restore_cb;
        T data;
        operation op = operation::undo;
    };

    // The position is 16 bits wide, hence the upper bound.
    explicit undo_redo(size_t max_history_size = 256) : max_history_size(max_history_size) {
        MOX_ASSERT(max_history_size >= 2 && max_history_size <= 65535);
    }
    undo_redo(const undo_redo&) = delete;
    undo_redo& operator=(const undo_redo&) = delete;

    // Two steps with the same operation in a row are a programming error.
    void add(const step& current) {
        std::lock_guard lk(mutex);
        if (!steps.empty() && index < steps.size()) {
            // Standing on an undo step: the state it holds is the one of the redo step before
            // it, and the new edit records it again, so drop it with the redo branch.
            if (index > 0 && steps[index - 1].op == operation::undo) --index;
            steps.erase(steps.begin() + index, steps.end());
        }
        MOX_ASSERT(current.op != previous_op);
        steps.push_back(current);
        previous_op = current.op;
        if (steps.size() > max_history_size) steps.pop_front();
        index = static_cast<uint16_t>(steps.size());
    }

    // Restores the state before the edit at the current point; false when there is none.
    bool undo() { return apply(choose(&undo_redo::undo_target_locked)); }
    // Restores the state after the edit undone last; false when there is none.
    bool redo() { return apply(choose(&undo_redo::redo_target_locked)); }
    bool can_undo() const {
        std::lock_guard lk(mutex);
        return undo_target_locked().has_value();
    }
    bool can_redo() const {
        std::lock_guard lk(mutex);
        return redo_target_locked().has_value();
    }

    void clear() {
        std::lock_guard lk(mutex);
        steps.clear();
        index = 0;
        previous_op = operation::redo;
    }
    size_t size() const {
        std::lock_guard lk(mutex);
        return steps.size();
    }
    uint16_t get_index() const {
        std::lock_guard lk(mutex);
        return index;
    }
    // The step at 1-based position `position`.
    std::optional<step> at(size_t position) const {
        std::lock_guard lk(mutex);
        if (position == 0 || position > steps.size()) return std::nullopt;
        return steps[position - 1];
    }

private:
    // 0-based indices of the steps to apply.
    std::optional<size_t> undo_target_locked() const {
        if (index == 0) return std::nullopt;
        size_t i = index - 1;
        if (steps[i].op == operation::undo) {
            if (i == 0) return std::nullopt;
            --i; // same state as the redo step before it
        }
        if (steps[i].op != operation::redo || i == 0 || steps[i - 1].op != operation::undo)
            return std::nullopt;
        return i - 1;
    }
    std::optional<size_t> redo_target_locked() const {
        if (index == 0 || index >= steps.size()) return std::nullopt;
        const size_t i = index - 1;
        const size_t j = steps[i].op == operation::undo ? i + 1 : i + 2;
        if (j >= steps.size() || steps[j].op != operation::redo ||
            steps[j - 1].op != operation::undo)
            return std::nullopt;
        return j;
    }

    // Moves to the chosen step under the lock and hands out a copy to apply after it.
    template <typename Pick> std::optional<step> choose(Pick pick) {
        std::lock_guard lk(mutex);
        const std::optional<size_t> j = (this->*pick)();
        if (!j) return std::nullopt;
        index = static_cast<uint16_t>(*j + 1);
        return steps[*j];
    }
    static bool apply(std::optional<step> s) {
        if (!s) return false;
        if (s->restore_cb) s->restore_cb(s->data);
        return true;
    }

    mutable std::mutex mutex;
    size_t max_history_size;
    operation previous_op = operation::redo; // the first step of an edit is an undo step
    uint16_t index = 0;
    std::deque<step> steps;
};

} // namespace mox
