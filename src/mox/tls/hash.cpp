#include "mox/tls/hash.h"

#include <cstdio>
#include <string>

namespace mox::tls {

hash::hash(mbedtls_md_type_t type, console::tx_fn diagnostics)
    : con(diagnostics ? diagnostics : console::tx_fn([](std::string_view) {}), "TLS",
          console::colors::none, diagnostics ? console::all : console::none, "\n", ": ") {
    mbedtls_md_init(&ctx);
    info = mbedtls_md_info_from_type(type);
    if (info == nullptr) {
        con.log("no message digest of this type");
        return;
    }
    ready = check(mbedtls_md_setup(&ctx, info, 0), "setup");
}

hash::~hash() {
    mbedtls_md_free(&ctx);
}

size_t hash::size() const {
    return ready ? mbedtls_md_get_size(info) : 0;
}

bool hash::check(int rc, std::string_view step) {
    if (rc == 0) return true;
    char code[16];
    std::snprintf(code, sizeof code, "-0x%04X", static_cast<unsigned>(-rc));
    con.log(std::string("mbedTLS ") + std::string(step) + " failed: " + code);
    return false;
}

bool hash::do_hash(std::span<const uint8_t> in, std::vector<uint8_t>& out, bool start,
                   bool finish) {
    bool ok = ready;
    if (ok && start) ok = check(mbedtls_md_starts(&ctx), "start");
    if (ok && !in.empty()) ok = check(mbedtls_md_update(&ctx, in.data(), in.size()), "update");
    if (ok && finish) {
        out.resize(mbedtls_md_get_size(info));
        ok = check(mbedtls_md_finish(&ctx, out.data()), "finish");
    }
    if (!ok) out.clear();
    return ok;
}

} // namespace mox::tls
