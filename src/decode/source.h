#pragma once

// What decoders read: the transitions of some channels, in sample order, from a capture
// that may still be growing (a running capture) or is complete (a taken capture, a file).

#include "hw/types.h"
#include "trs/store.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace decode {

class source {
public:
    virtual ~source() = default;

    virtual unsigned channels() const = 0;
    // The channel a name stands for (kestrelapi_set_channel_name, a file's channel names).
    virtual std::optional<unsigned> channel_named(const std::string& name) const = 0;
    // As trs::store::read: the level changes of channel ch at or after `from`, the first
    // item of a channel its level at sample 0.
    virtual size_t read(unsigned ch, isamp from, uint64_t* samples, uint8_t* levels,
                        size_t capacity) const = 0;
    // Whether read_changes() reads straight from a store (otherwise it is never called).
    virtual bool reads_changes() const { return false; }
    // As trs::store::read_changes on channel ch: only the items before `until` that change
    // `level`, the level in force before `from`; cur keeps where the read stopped.
    virtual size_t read_changes(unsigned /*ch*/, isamp /*from*/, isamp /*until*/, uint8_t /*level*/,
                                uint64_t* /*samples*/, uint8_t* /*levels*/, size_t /*capacity*/,
                                trs::store::changes_cursor& /*cur*/) const {
        return 0;
    }
    // Samples every channel covers so far: the transitions before it are final.
    virtual isamp covered() const = 0;
    // True while the capture may still add samples. Read before covered(): once false,
    // covered() is the capture's length.
    virtual bool growing() const = 0;
    // Seconds per sample.
    virtual double period() const = 0;
    // Sample of the trigger, -1 for none.
    virtual isamp trigger() const = 0;
    // Around every use of a session (one read): a source that lives in something that may
    // go away holds it meanwhile, or throws when it is gone.
    virtual void hold() const {}
    virtual void release() const {}
};

} // namespace decode
