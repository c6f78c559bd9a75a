// State of the virtual bus shared by the libusb and D3XX entry points.
#pragma once

#include "device.h"

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kestrel_sim {

struct bridge_ref_t {
    std::shared_ptr<device> dev;
    unsigned group = 0;
    uint32_t gen = 0;
};

class bus_core {
public:
    static bus_core& get();

    void reset();
    void plug(const std::string& serial);
    bool unplug(const std::string& serial);
    void unplug_all();
    std::shared_ptr<device> find(const std::string& serial) const;
    // Devices on the bus now (plugged and not restarting), in plug order.
    std::vector<std::shared_ptr<device>> present() const;
    std::vector<std::shared_ptr<device>> plugged() const;

    // What is wrong with the environment's description of the virtual device (its
    // signals, one on a channel no plugged device has, its stream model), or "". The
    // process goes on: listing the bus is refused instead, so that the mistake reaches
    // the program through its open (see libusb_get_device_list).
    std::string environment_mistake() const;

    // Bridge list as the D3XX library sees it; a listing is kept until the next one, so
    // that indexes and counts stay consistent between the list calls and FT_Create.
    size_t take_bridge_snapshot();
    std::vector<bridge_ref_t> bridge_snapshot();

    void fail_bridge_opens(unsigned count, uint32_t status);
    // Consumes one injected failure; 0 when the open may go ahead.
    uint32_t take_bridge_open_failure();

    // Handles are registered so that a stale or foreign pointer is refused.
    void add_handle(const void* h);
    bool remove_handle(const void* h);
    bool has_handle(const void* h) const;

private:
    bus_core();
    void plug_locked(const std::string& serial);
    std::vector<std::shared_ptr<device>> select(bool present_only) const;

    mutable std::mutex m_;
    std::vector<std::shared_ptr<device>> devices_;
    uint8_t next_address_ = 1;
    std::vector<bridge_ref_t> snapshot_;
    bool snapshot_taken_ = false;
    unsigned bridge_open_failures_ = 0;
    uint32_t bridge_open_status_ = 32;
    std::set<const void*> handles_;
};

} // namespace kestrel_sim
