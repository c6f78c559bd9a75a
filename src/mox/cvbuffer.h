#pragma once

#include "mox/check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace mox {

// Fixed-size circular buffer; one slot always stays free, so it holds at most
// buf_size - 1 elements. No lock: its user serialises access.
//
// The storage is not initialised: a large buffer costs address space only, and its pages
// become resident as elements are pushed (a capture's history rarely fills it).
template <typename T> class cvbuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "elements live in uninitialised storage");

public:
    // std::bad_alloc when the address space is not there.
    explicit cvbuffer(std::size_t len) : buf_size(len) {
        MOX_ASSERT(len > 0);
        if (len > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        buf.reset(static_cast<T*>(std::malloc(len * sizeof(T))));
        if (!buf) throw std::bad_alloc();
    }

    // When full, stores only with overwrite, dropping the oldest element.
    bool push(T obj, bool overwrite) {
        const std::size_t next = advance(pw);
        const bool full = next == pr;
        if (full && !overwrite) return false;
        buf[pw] = obj;
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

    struct free_storage {
        void operator()(T* p) const { std::free(p); }
    };
    const std::size_t buf_size;
    std::unique_ptr<T[], free_storage> buf;
    std::size_t pw = 0;
    std::size_t pr = 0;
};

} // namespace mox
