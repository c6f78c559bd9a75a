// Program building and store reading shared by the output program tests.
#pragma once
#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "oci/word.h"
#include "trs/manager.h"

namespace oci_test {

inline oci::word hold(isamp periods, std::initializer_list<size_t> high = {},
                      bool opens_loop = false) {
    oci::word w;
    w.cmd = oci::command::puthold;
    w.hold = periods;
    for (size_t ch : high)
        w.bits.set(ch);
    w.loop_marker = opens_loop ? 0 : oci::word::no_loop;
    return w;
}

inline oci::word loop(size_t count) {
    oci::word w;
    w.cmd = oci::command::loop;
    w.loop_count = count;
    return w;
}

inline oci::word end() {
    oci::word w;
    w.cmd = oci::command::end;
    return w;
}

// The channel's level at each of its first n samples, from its transitions.
inline std::vector<bool> sampled(trs::manager& man, hw::ich ch, isamp n) {
    std::vector<bool> out(static_cast<size_t>(n), false);
    trs::iterator it = man.create_iterator(ch);
    it.restart(0, 10.0, 0);
    isamp from = 0;
    bool level = false;
    for (int guard = 0; guard < 10000000; ++guard) {
        const trs::tr t = it.next();
        if (t.pol == trs::value::none) break;
        for (isamp s = from; s < std::min(t.sample, n); ++s)
            out[static_cast<size_t>(s)] = level;
        from = std::max(from, t.sample);
        level = t.pol == trs::value::rising;
        if (t.is_last) break;
    }
    for (isamp s = from; s < n; ++s)
        out[static_cast<size_t>(s)] = level;
    return out;
}

} // namespace oci_test
