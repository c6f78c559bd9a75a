#pragma once

#include <cstdio>
#include <cstdlib>

namespace mox::detail {

[[noreturn]] inline void assert_failed(const char* file, int line, const char* cond) noexcept {
    std::fprintf(stderr, "%s:%d: assertion failed: %s\n", file, line, cond);
    std::fflush(stderr);
    std::abort();
}

} // namespace mox::detail

// Programming-error check that stays active in every build type (unlike assert(), which
// NDEBUG removes from the RelWithDebInfo default build).
#define MOX_ASSERT(cond)                                                                           \
    (static_cast<bool>(cond) ? static_cast<void>(0)                                                \
                             : ::mox::detail::assert_failed(__FILE__, __LINE__, #cond))
