#pragma once

// The decoders handed out through the exported interface. Like handles they are looked up
// by address only, so an unknown or freed decoder is refused rather than read; a read holds
// its decoder while it runs, so a free from another thread never deletes under it.

#include "decode/decoder.h"

#include <memory>
#include <mutex>
#include <unordered_map>

struct kestrelapi_decoder_s {
    std::shared_ptr<decode::session> session;
};

namespace api_utils {

class decoders {
public:
    static decoders& instance();

    kestrelapi_decoder_s* add(std::shared_ptr<decode::session> s);
    // The session of a live decoder, or null.
    std::shared_ptr<decode::session> find(const kestrelapi_decoder_s* d);
    // False when d is not a live decoder.
    bool free(const kestrelapi_decoder_s* d);

private:
    std::mutex m_;
    std::unordered_map<const kestrelapi_decoder_s*, std::unique_ptr<kestrelapi_decoder_s>> live_;
};

// NUL-terminated and cut to size; nothing when there is no room at all.
void copy_message(const std::string& text, char* out, uint32_t size);

} // namespace api_utils
