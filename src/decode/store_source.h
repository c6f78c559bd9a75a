#pragma once

// Sources over transition stores: a handle's manager while its capture may run, and
// stores of their own (a file that was read).

#include "decode/source.h"
#include "export/sr_reader.h"
#include "trs/store.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace decode {

// Stores a source owns, complete: a capture read from a file.
using stored_capture = xport::session_file;

class stored_source final : public source {
public:
    explicit stored_source(std::shared_ptr<const stored_capture> cap) : cap_(std::move(cap)) {}

    unsigned channels() const override { return static_cast<unsigned>(cap_->stores.size()); }
    std::optional<unsigned> channel_named(const std::string& name) const override;
    size_t read(unsigned ch, isamp from, uint64_t* samples, uint8_t* levels,
                size_t capacity) const override {
        return cap_->stores[ch]->read(from, samples, levels, capacity);
    }
    bool reads_changes() const override { return true; }
    size_t read_changes(unsigned ch, isamp from, isamp until, uint8_t level, uint64_t* samples,
                        uint8_t* levels, size_t capacity,
                        trs::store::changes_cursor& cur) const override {
        return cap_->stores[ch]->read_changes(from, until, level, samples, levels, capacity, cur);
    }
    isamp covered() const override { return cap_->length; }
    bool growing() const override { return false; }
    double period() const override { return cap_->period; }
    isamp trigger() const override { return cap_->trigger; }
    const stored_capture& capture() const { return *cap_; }

private:
    std::shared_ptr<const stored_capture> cap_;
};

} // namespace decode
