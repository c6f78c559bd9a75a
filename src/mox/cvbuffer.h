#pragma once

#include "mox/check.h"

#include <cstddef>
#include <utility>
#include <vector>

namespace mox {

// Fixed-size circular buffer; one slot always stays free, so it holds at most
// buf_size - 1 elements. No lock: its user serialises access.
template <typename T> class cvbuffer {
public:
    explicit cvbuffer(std::size_t len) : buf_size(len) {
        MOX_ASSERT(len > 0);
        buf.resize(buf_size);
    }

    // When full, stores only with overwrite, dropping the oldest element.
    bool push(T obj, bool overwrite) {
        const std::size_t next = advance(pw);
        const bool full = next == pr;
        if (full && !overwrite) return false;
        buf[pw] = std::move(obj);
        pw = next;
        if (full) pr = advance(pr);
        return true;
    }

    // i-th element counted from the oldest.
    T& at(std::size_t i) {
        MOX_ASSERT(i < size());
        return buf[(pr + i) % buf_size];
    }
    const T& at(std::size_t i) const {
        MOX_ASSERT(i < size());
        return buf[(pr + i) % buf_size];
    }

    std::size_t size() const { return pw >= pr ? pw - pr : pw + buf_size - pr; }
    bool empty() const { return pw == pr; }
    std::size_t capacity() const { return buf_size - 1; }

    // Keeps the storage allocated.
    void clear() { pw = pr = 0; }

private:
    std::size_t advance(std::size_t p) const { return p + 1 == buf_size ? 0 : p + 1; }

    const std::size_t buf_size;
    std::vector<T> buf;
    std::size_t pw = 0;
    std::size_t pr = 0;
};

} // namespace mox
