// The FTDI D3XX entry points, served by the USB3 bridges of the devices on the virtual bus.
#include "bus_core.h"
#include "d3xx_types.h"
#include "stats.h"

#include <cstdint>
#include <cstring>
#include <string>

using namespace kestrel_sim::d3xx;
using kestrel_sim::bridge_ref_t;
using kestrel_sim::bus_core;

namespace {

const char* const bridge_serials[] = {"730210100001", "730210100002", "730210100003"};
const char* const bridge_description = "KESTREL-CORE";

struct ft_handle_t {
    bridge_ref_t ref;
};

template <class F> FT_STATUS guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        return FT_OTHER_ERROR;
    }
}

// The bridge behind a handle, copied so that a concurrent close cannot pull it away.
bool lookup(FT_HANDLE h, bridge_ref_t& out) {
    if (h == nullptr || !bus_core::get().has_handle(h)) return false;
    out = static_cast<ft_handle_t*>(h)->ref;
    return true;
}

template <class F> FT_STATUS with_bridge(FT_HANDLE h, F&& f) noexcept {
    return guarded([&]() -> FT_STATUS {
        bridge_ref_t r;
        if (!lookup(h, r)) return FT_INVALID_HANDLE;
        return f(r);
    });
}

void fill_node(FT_DEVICE_LIST_INFO_NODE& n, const bridge_ref_t& r, uint32_t index) {
    std::memset(&n, 0, sizeof(n));
    const bool open = r.dev->bridge_is_open(r.group);
    n.Flags = FT_FLAGS_SUPERSPEED | (open ? FT_FLAGS_OPENED : 0);
    n.Type = FT_DEVICE_601;
    n.ID = 0x0403601F;
    n.LocId = static_cast<uint32_t>(r.dev->address()) << 4 | index;
    std::strncpy(n.SerialNumber, bridge_serials[r.group % 3], sizeof(n.SerialNumber) - 1);
    std::strncpy(n.Description, bridge_description, sizeof(n.Description) - 1);
}

// Both pipe directions share the argument checks and the transferred-count rule.
template <typename Transfer>
FT_STATUS pipe_transfer(FT_HANDLE h, UCHAR* buf, ULONG len, ULONG* transferred, void* overlapped,
                        Transfer transfer) {
    ULONG local = 0;
    ULONG* out = transferred != nullptr ? transferred : &local;
    *out = 0;
    return with_bridge(h, [&](bridge_ref_t& r) -> FT_STATUS {
        if (overlapped != nullptr) return FT_NOT_SUPPORTED;
        if (buf == nullptr && len > 0) return FT_INVALID_PARAMETER;
        return transfer(r, out);
    });
}

} // namespace

extern "C" {

FT_STATUS FT_GetLibraryVersion(DWORD* version) {
    if (version == nullptr) return FT_INVALID_PARAMETER;
    *version = 0x01000005;
    return FT_OK;
}

FT_STATUS FT_CreateDeviceInfoList(DWORD* count) {
    if (count == nullptr) return FT_INVALID_PARAMETER;
    return guarded([&] {
        *count = static_cast<DWORD>(bus_core::get().take_bridge_snapshot());
        return FT_OK;
    });
}

// Fills as many records as the last FT_CreateDeviceInfoList counted, so an array sized
// from that count is never overrun by a device plugged in between.
FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* nodes, DWORD* count) {
    if (nodes == nullptr || count == nullptr) return FT_INVALID_PARAMETER;
    return guarded([&] {
        const auto snap = bus_core::get().bridge_snapshot();
        for (size_t i = 0; i < snap.size(); ++i)
            fill_node(nodes[i], snap[i], static_cast<uint32_t>(i));
        *count = static_cast<DWORD>(snap.size());
        return FT_OK;
    });
}

FT_STATUS FT_Create(void* arg, DWORD flags, FT_HANDLE* handle) {
    if (handle == nullptr) return FT_INVALID_PARAMETER;
    *handle = nullptr;
    return guarded([&]() -> FT_STATUS {
        if (const uint32_t fail = bus_core::get().take_bridge_open_failure()) {
            ++kestrel_sim::stats().bridge_open_failures;
            return fail;
        }
        const auto snap = bus_core::get().bridge_snapshot();
        const bridge_ref_t* target = nullptr;
        if (flags == FT_OPEN_BY_INDEX) {
            const auto index = reinterpret_cast<uintptr_t>(arg);
            if (index < snap.size()) target = &snap[index];
        } else if (flags == FT_OPEN_BY_SERIAL_NUMBER || flags == FT_OPEN_BY_DESCRIPTION) {
            if (arg == nullptr) return FT_INVALID_PARAMETER;
            const std::string want(static_cast<const char*>(arg));
            for (const auto& r : snap) {
                const std::string have = flags == FT_OPEN_BY_SERIAL_NUMBER
                                             ? bridge_serials[r.group % 3]
                                             : bridge_description;
                if (have == want && !r.dev->bridge_is_open(r.group)) {
                    target = &r;
                    break;
                }
            }
        } else {
            return FT_INVALID_PARAMETER;
        }
        if (target == nullptr) return FT_DEVICE_NOT_FOUND;
        if (const auto s = target->dev->bridge_open(target->group, target->gen); s != FT_OK)
            return s;
        auto* h = new ft_handle_t{*target};
        bus_core::get().add_handle(h);
        ++kestrel_sim::stats().bridge_opens;
        *handle = h;
        return FT_OK;
    });
}

FT_STATUS FT_Close(FT_HANDLE h) {
    return guarded([&]() -> FT_STATUS {
        if (h == nullptr || !bus_core::get().remove_handle(h)) return FT_INVALID_HANDLE;
        auto* fh = static_cast<ft_handle_t*>(h);
        fh->ref.dev->bridge_close(fh->ref.group);
        delete fh;
        return FT_OK;
    });
}

FT_STATUS FT_ReadPipe(FT_HANDLE h, UCHAR pipe, UCHAR* buf, ULONG len, ULONG* transferred,
                      void* overlapped) {
    return pipe_transfer(h, buf, len, transferred, overlapped, [&](bridge_ref_t& r, ULONG* out) {
        return r.dev->read_pipe(r.group, r.gen, pipe, buf, len, out);
    });
}

FT_STATUS FT_WritePipe(FT_HANDLE h, UCHAR pipe, UCHAR* buf, ULONG len, ULONG* transferred,
                       void* overlapped) {
    return pipe_transfer(h, buf, len, transferred, overlapped, [&](bridge_ref_t& r, ULONG* out) {
        return r.dev->write_pipe(r.group, r.gen, pipe, buf, len, out);
    });
}

FT_STATUS FT_SetPipeTimeout(FT_HANDLE h, UCHAR pipe, DWORD ms) {
    ++kestrel_sim::stats().pipe_timeout_calls;
    return with_bridge(
        h, [&](bridge_ref_t& r) { return r.dev->set_pipe_timeout(r.group, r.gen, pipe, ms); });
}

FT_STATUS FT_AbortPipe(FT_HANDLE h, UCHAR pipe) {
    if ((pipe & 0x80) != 0) ++kestrel_sim::stats().in_pipe_aborts;
    return with_bridge(h, [&](bridge_ref_t& r) { return r.dev->abort_pipe(r.group, r.gen, pipe); });
}

FT_STATUS FT_FlushPipe(FT_HANDLE h, UCHAR pipe) {
    return with_bridge(h, [&](bridge_ref_t& r) { return r.dev->flush_pipe(r.group, r.gen, pipe); });
}

FT_STATUS FT_GetDriverVersion(FT_HANDLE h, DWORD* version) {
    return with_bridge(h, [&](bridge_ref_t& r) -> FT_STATUS {
        if (version == nullptr) return FT_INVALID_PARAMETER;
        if (!r.dev->present() || r.dev->generation() != r.gen) return FT_DEVICE_NOT_CONNECTED;
        *version = 0x01030002;
        return FT_OK;
    });
}

FT_STATUS FT_GetFirmwareVersion(FT_HANDLE h, ULONG* version) {
    return with_bridge(h, [&](bridge_ref_t& r) -> FT_STATUS {
        if (version == nullptr) return FT_INVALID_PARAMETER;
        if (!r.dev->present() || r.dev->generation() != r.gen) return FT_DEVICE_NOT_CONNECTED;
        *version = 0x0109;
        return FT_OK;
    });
}

FT_STATUS FT_ResetDevicePort(FT_HANDLE h) {
    return with_bridge(h, [&](bridge_ref_t& r) -> FT_STATUS {
        if (!r.dev->present() || r.dev->generation() != r.gen) return FT_DEVICE_NOT_CONNECTED;
        return r.dev->flush_pipe(r.group, r.gen, 0x82);
    });
}

FT_STATUS FT_GetChipConfiguration(FT_HANDLE h, void* config) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->chip_config(r.group, r.gen, static_cast<FT_60XCONFIGURATION*>(config), false);
    });
}

FT_STATUS FT_SetChipConfiguration(FT_HANDLE h, void* config) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->chip_config(r.group, r.gen, static_cast<FT_60XCONFIGURATION*>(config), true);
    });
}

FT_STATUS FT_EnableGPIO(FT_HANDLE h, uint32_t mask, uint32_t dir) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->gpio(r.group, r.gen, kestrel_sim::device::gpio_enable, mask, dir, nullptr);
    });
}

FT_STATUS FT_WriteGPIO(FT_HANDLE h, uint32_t mask, uint32_t data) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->gpio(r.group, r.gen, kestrel_sim::device::gpio_write, mask, data, nullptr);
    });
}

FT_STATUS FT_ReadGPIO(FT_HANDLE h, uint32_t* data) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->gpio(r.group, r.gen, kestrel_sim::device::gpio_read, 0, 0, data);
    });
}

FT_STATUS FT_SetGPIOPull(FT_HANDLE h, uint32_t mask, uint32_t pull) {
    return with_bridge(h, [&](bridge_ref_t& r) {
        return r.dev->gpio(r.group, r.gen, kestrel_sim::device::gpio_pull, mask, pull, nullptr);
    });
}

} // extern "C"
