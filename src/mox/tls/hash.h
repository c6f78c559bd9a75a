#pragma once
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include <mbedtls/md.h>

#include "mox/console.h"

namespace mox::tls {

// One mbedTLS message-digest context, set up once for its digest type. A digest may be
// fed in several pieces: start on the first, finish on the last.
class hash {
public:
    explicit hash(mbedtls_md_type_t type = MBEDTLS_MD_SHA256, console::tx_fn diagnostics = {});
    ~hash();
    hash(const hash&) = delete;
    hash& operator=(const hash&) = delete;

    // False when mbedTLS refused a step (or the type has no digest); out is then empty,
    // so that a half-computed digest is never taken for a signature.
    [[nodiscard]] bool do_hash(std::span<const uint8_t> in, std::vector<uint8_t>& out,
                               bool start = true, bool finish = true);

    // Digest length in bytes; 0 when the context could not be set up.
    size_t size() const;

private:
    bool check(int rc, std::string_view step);

    mbedtls_md_context_t ctx;
    const mbedtls_md_info_t* info = nullptr;
    bool ready = false;
    console con;
};

} // namespace mox::tls
