#include "device.h"

#include "acquisition_engine.h"
#include "stats.h"

#include <algorithm>
#include <cstring>
#include <libusb-1.0/libusb.h>

namespace kestrel_sim {

namespace {

// A host that stops reading must not make the device grow without bound.
constexpr size_t max_queued_reply_bytes = 1 << 20;

// libusb reads a zero time-out as "no limit"; the device still bounds every wait.
constexpr unsigned unlimited_wait_ms = 60000;

sim_clock::time_point deadline_after(unsigned ms) {
    return sim_clock::now() + std::chrono::milliseconds(ms == 0 ? unlimited_wait_ms : ms);
}

} // namespace

unsigned groups_of_serial(const std::string& serial) {
    if (serial.starts_with("7302102")) return 2;
    if (serial.starts_with("7302103")) return 3;
    return 1;
}

device::device(std::string serial, uint8_t address)
    : serial_(std::move(serial)), groups_(groups_of_serial(serial_)), address_(address),
      fw_(std::make_shared<firmware>(serial_, groups_)), bridges_(groups_) {
    for (auto& b : bridges_) {
        b.config.VendorID = 0x0403;
        b.config.ProductID = 0x601F;
        b.config.PowerAttributes = 0xE0;
        b.config.PowerConsumption = 96;
        b.config.FIFOClock = 0;     // 100 MHz
        b.config.FIFOMode = 0;      // 245 mode
        b.config.ChannelConfig = 2; // one channel
    }
    fw_->set_reply_sink(
        [this](uint8_t ep, std::vector<uint8_t> bytes) { queue_reply(ep, std::move(bytes)); });
    fw_->set_restart_hook([this](std::chrono::milliseconds d) { restart(d); });
    fw_->set_bridge_reset_hook([this](bool) {
        std::lock_guard lk(m_);
        if (hide_bridges_ < 0) hide_bridges_ = 0;
    });
    fw_->acq().device_side().set_fifo_sink(
        [this](unsigned group, std::vector<uint8_t> bytes) { push_bridge_data(group, bytes); });
}

// Tests may keep the firmware longer than the device: it must not call back into it.
device::~device() {
    fw_->set_reply_sink({});
    fw_->set_restart_hook({});
    fw_->set_bridge_reset_hook({});
    fw_->acq().device_side().set_fifo_sink({});
    fw_->acq().device_side().stop();
}

std::string device::product() const {
    static const char* const names[] = {"KESTREL ONE", "KESTREL TWO", "KESTREL THREE"};
    return names[std::clamp(groups_, 1u, 3u) - 1];
}

bool device::present_locked(uint32_t gen) {
    if (restart_pending_ && sim_clock::now() >= restart_deadline_) restart_locked();
    return plugged_ && gen == generation_ && sim_clock::now() >= offline_until_;
}

void device::restart_locked() {
    restart_pending_ = false;
    ++generation_;
    // The restarted firmware runs the images it was given and takes the serial number
    // written to it (the model, and so the group count, stays).
    if (auto sn = fw_->files().boot()) serial_ = *sn;
    offline_until_ = sim_clock::now() + restart_duration_;
    replies_.clear();
    queued_bytes_ = 0;
    for (auto& b : bridges_) {
        b.open = false;
        b.in.clear();
        ++b.aborts;
    }
    cv_.notify_all();
    fw_->acq().device_side().interrupt_reads();
}

void device::restart(std::chrono::milliseconds duration) {
    {
        std::lock_guard lk(m_);
        // The host gets a moment to read the reply that announced the restart.
        restart_pending_ = true;
        restart_deadline_ = sim_clock::now() + std::chrono::milliseconds(200);
        restart_duration_ = duration;
    }
    cv_.notify_all();
}

void device::hide_bridges(int listings) {
    std::lock_guard lk(m_);
    hide_bridges_ = listings;
}

bool device::list_bridges() {
    std::lock_guard lk(m_);
    if (hide_bridges_ == 0) return true;
    if (hide_bridges_ > 0) --hide_bridges_;
    return false;
}

bool device::present() {
    std::lock_guard lk(m_);
    return present_locked(generation_);
}

bool device::plugged() const {
    std::lock_guard lk(m_);
    return plugged_;
}

uint32_t device::generation() {
    std::lock_guard lk(m_);
    present_locked(generation_);
    return generation_;
}

void device::unplug() {
    {
        std::lock_guard lk(m_);
        plugged_ = false;
        replies_.clear();
        queued_bytes_ = 0;
        for (auto& b : bridges_)
            b.open = false;
    }
    // A device off the bus runs nothing: its sampling thread ends now, even while a handle
    // the host did not close still holds the device.
    fw_->acq().device_side().shutdown();
    cv_.notify_all();
}

void device::queue_reply(uint8_t endpoint, std::vector<uint8_t> bytes) {
    {
        std::lock_guard lk(m_);
        auto& f = reply_faults_[endpoint];
        if (f.drop != 0 || !plugged_ || queued_bytes_ + bytes.size() > max_queued_reply_bytes) {
            if (f.drop > 0) --f.drop;
            ++stats().dropped_replies;
            return;
        }
        const auto ready = sim_clock::now() + f.delay;
        queued_bytes_ += bytes.size();
        if (f.split_at > 0 && f.split_at < bytes.size()) {
            std::vector<uint8_t> rest(bytes.begin() + static_cast<ptrdiff_t>(f.split_at),
                                      bytes.end());
            bytes.resize(f.split_at);
            replies_.push_back({ready, std::move(bytes), 0, false});
            replies_.push_back({ready + f.split_delay, std::move(rest), 0, true});
        } else {
            replies_.push_back({ready, std::move(bytes), 0, true});
        }
    }
    cv_.notify_all();
}

int device::bulk_out(uint32_t gen, const uint8_t* data, int len, int* transferred,
                     unsigned timeout) {
    *transferred = 0;
    {
        std::unique_lock lk(m_);
        ++stats().bulk_out;
        if (!present_locked(gen)) return LIBUSB_ERROR_NO_DEVICE;
        if (io_failures_ > 0) {
            --io_failures_;
            return LIBUSB_ERROR_IO;
        }
        if (stalled_) {
            cv_.wait_until(lk, deadline_after(timeout),
                           [&] { return !present_locked(gen) || !stalled_; });
            if (!present_locked(gen)) return LIBUSB_ERROR_NO_DEVICE;
            if (stalled_) return LIBUSB_ERROR_TIMEOUT;
        }
    }
    // The firmware runs without the link lock: its replies take it.
    if (len > 0) fw_->input(std::span(data, static_cast<size_t>(len)));
    *transferred = len;
    return LIBUSB_SUCCESS;
}

int device::bulk_in(uint32_t gen, uint8_t* data, int len, int* transferred, unsigned timeout) {
    *transferred = 0;
    std::unique_lock lk(m_);
    ++stats().bulk_in;
    if (!present_locked(gen)) return LIBUSB_ERROR_NO_DEVICE;
    if (io_failures_ > 0) {
        --io_failures_;
        return LIBUSB_ERROR_IO;
    }
    if (unplug_on_in_) {
        unplug_on_in_ = false;
        lk.unlock();
        unplug();
        return LIBUSB_ERROR_NO_DEVICE;
    }
    const auto deadline = deadline_after(timeout);
    const size_t want = static_cast<size_t>(std::max(len, 0));
    size_t got = 0;
    for (;;) {
        if (!present_locked(gen)) {
            *transferred = static_cast<int>(got);
            return LIBUSB_ERROR_NO_DEVICE;
        }
        const auto now = sim_clock::now();
        bool complete = want == 0;
        while (!complete && !stalled_ && !replies_.empty() && replies_.front().ready <= now) {
            auto& s = replies_.front();
            const size_t n = std::min(want - got, s.bytes.size() - s.off);
            std::memcpy(data + got, s.bytes.data() + s.off, n);
            s.off += n;
            got += n;
            queued_bytes_ -= n;
            if (s.off == s.bytes.size()) {
                // The end of a reply is a short USB packet: it ends the transfer.
                complete = s.ends_transfer;
                replies_.pop_front();
            }
            if (got == want) complete = true;
        }
        if (complete) {
            if (restart_pending_ && replies_.empty()) restart_deadline_ = now;
            *transferred = static_cast<int>(got);
            return LIBUSB_SUCCESS;
        }
        if (now >= deadline) {
            *transferred = static_cast<int>(got);
            return LIBUSB_ERROR_TIMEOUT;
        }
        auto wake = deadline;
        if (!stalled_ && !replies_.empty()) wake = std::min(wake, replies_.front().ready);
        cv_.wait_until(lk, wake);
    }
}

int device::usb_reset(uint32_t gen) {
    {
        std::lock_guard lk(m_);
        if (!present_locked(gen)) return LIBUSB_ERROR_NO_DEVICE;
        replies_.clear();
        queued_bytes_ = 0;
    }
    fw_->reset_input();
    cv_.notify_all();
    return LIBUSB_SUCCESS;
}

void device::set_reply_fault(uint8_t endpoint, const reply_fault_t& f) {
    std::lock_guard lk(m_);
    reply_faults_[endpoint] = f;
}

void device::fail_bulk_transfers(unsigned n) {
    std::lock_guard lk(m_);
    io_failures_ = n;
}

void device::unplug_on_next_bulk_in() {
    std::lock_guard lk(m_);
    unplug_on_in_ = true;
}

void device::stall(bool on) {
    {
        std::lock_guard lk(m_);
        stalled_ = on;
    }
    cv_.notify_all();
}

d3xx::FT_STATUS device::bridge_check(unsigned group, uint32_t gen) {
    if (group >= bridges_.size()) return d3xx::FT_INVALID_HANDLE;
    if (!present_locked(gen)) return d3xx::FT_DEVICE_NOT_CONNECTED;
    if (!bridges_[group].open) return d3xx::FT_INVALID_HANDLE;
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::bridge_open(unsigned group, uint32_t gen) {
    std::lock_guard lk(m_);
    if (group >= bridges_.size() || !present_locked(gen)) return d3xx::FT_DEVICE_NOT_FOUND;
    // One handle per bridge, as on the hardware.
    if (bridges_[group].open) return d3xx::FT_DEVICE_NOT_OPENED;
    bridges_[group].open = true;
    return d3xx::FT_OK;
}

void device::bridge_close(unsigned group) {
    {
        std::lock_guard lk(m_);
        if (group < bridges_.size()) {
            bridges_[group].open = false;
            ++bridges_[group].aborts;
        }
    }
    cv_.notify_all();
    fw_->acq().device_side().interrupt_reads();
}

bool device::bridge_is_open(unsigned group) const {
    std::lock_guard lk(m_);
    return group < bridges_.size() && bridges_[group].open;
}

d3xx::FT_STATUS device::read_pipe(unsigned group, uint32_t gen, uint8_t pipe, uint8_t* buf,
                                  uint32_t len, uint32_t* transferred) {
    *transferred = 0;
    std::unique_lock lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    if (pipe != 0x82) return d3xx::FT_INVALID_PARAMETER;
    auto& b = bridges_[group];
    const uint64_t aborts = b.aborts;
    auto& eng = fw_->acq().device_side();
    if (const auto fault = eng.take_read_fault(group); fault != d3xx::FT_OK) return fault;
    if (eng.active(group)) {
        // What the FIFO holds comes first (bytes a stopped run left there, if the host did
        // not flush), then the sample stream, produced outside the link lock so that the
        // control link stays live.
        const auto n = static_cast<uint32_t>(std::min<size_t>(len, b.in.size()));
        std::copy_n(b.in.begin(), n, buf);
        b.in.erase(b.in.begin(), b.in.begin() + n);
        const uint32_t timeout = b.in_timeout_ms;
        lk.unlock();
        return eng.read(
            group, buf, len, timeout, transferred,
            [&]() -> d3xx::FT_STATUS {
                std::lock_guard relock(m_);
                if (!present_locked(gen)) return d3xx::FT_DEVICE_NOT_CONNECTED;
                if (b.aborts != aborts) return d3xx::FT_OPERATION_ABORTED;
                return d3xx::FT_OK;
            },
            n);
    }
    cv_.wait_until(lk, deadline_after(b.in_timeout_ms), [&] {
        return !present_locked(gen) || b.aborts != aborts || b.in.size() >= len;
    });
    const size_t n = std::min<size_t>(len, b.in.size());
    std::copy_n(b.in.begin(), n, buf);
    b.in.erase(b.in.begin(), b.in.begin() + static_cast<ptrdiff_t>(n));
    *transferred = static_cast<uint32_t>(n);
    if (!present_locked(gen)) return d3xx::FT_DEVICE_NOT_CONNECTED;
    if (b.aborts != aborts) return d3xx::FT_OPERATION_ABORTED;
    return n < len ? d3xx::FT_TIMEOUT : d3xx::FT_OK;
}

d3xx::FT_STATUS device::write_pipe(unsigned group, uint32_t gen, uint8_t pipe, const uint8_t* buf,
                                   uint32_t len, uint32_t* transferred) {
    *transferred = 0;
    std::lock_guard lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    if (pipe != 0x02) return d3xx::FT_INVALID_PARAMETER;
    bridges_[group].out.insert(bridges_[group].out.end(), buf, buf + len);
    // The OUT pipe feeds the group's output program engine.
    fw_->acq().device_side().outputs().load(group, buf, len);
    *transferred = len;
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::set_pipe_timeout(unsigned group, uint32_t gen, uint8_t pipe, uint32_t ms) {
    std::lock_guard lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    if (pipe == 0x82)
        bridges_[group].in_timeout_ms = ms;
    else if (pipe != 0x02)
        return d3xx::FT_INVALID_PARAMETER;
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::abort_pipe(unsigned group, uint32_t gen, uint8_t pipe) {
    {
        std::lock_guard lk(m_);
        if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
        if (pipe != 0x82 && pipe != 0x02) return d3xx::FT_INVALID_PARAMETER;
        ++bridges_[group].aborts;
        // Pending transfers end, and what waited in the IN FIFO is dropped.
        if (pipe == 0x82) bridges_[group].in.clear();
    }
    cv_.notify_all();
    // A read of the sample stream waits on the acquisition's side.
    fw_->acq().device_side().interrupt_reads();
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::flush_pipe(unsigned group, uint32_t gen, uint8_t pipe) {
    std::lock_guard lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    if (pipe == 0x82)
        bridges_[group].in.clear();
    else if (pipe != 0x02)
        return d3xx::FT_INVALID_PARAMETER;
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::chip_config(unsigned group, uint32_t gen, d3xx::FT_60XCONFIGURATION* cfg,
                                    bool write) {
    std::lock_guard lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    if (cfg == nullptr) return d3xx::FT_INVALID_PARAMETER;
    if (write)
        bridges_[group].config = *cfg;
    else
        *cfg = bridges_[group].config;
    return d3xx::FT_OK;
}

d3xx::FT_STATUS device::gpio(unsigned group, uint32_t gen, gpio_op op, uint32_t a, uint32_t b,
                             uint32_t* out) {
    std::lock_guard lk(m_);
    if (auto s = bridge_check(group, gen); s != d3xx::FT_OK) return s;
    auto& br = bridges_[group];
    switch (op) {
    case gpio_enable:
        br.gpio_enable = a & 3;
        br.gpio_dir = (br.gpio_dir & ~a) | (b & a);
        break;
    case gpio_write:
        br.gpio_data = (br.gpio_data & ~a) | (b & a & 3);
        break;
    case gpio_pull:
        br.gpio_pull = b;
        break;
    case gpio_read:
        if (out == nullptr) return d3xx::FT_INVALID_PARAMETER;
        *out = br.gpio_data & 3;
        break;
    }
    return d3xx::FT_OK;
}

void device::push_bridge_data(unsigned group, std::span<const uint8_t> bytes) {
    {
        std::lock_guard lk(m_);
        if (group >= bridges_.size()) return;
        bridges_[group].in.insert(bridges_[group].in.end(), bytes.begin(), bytes.end());
    }
    cv_.notify_all();
}

std::vector<uint8_t> device::bridge_output(unsigned group) const {
    std::lock_guard lk(m_);
    return group < bridges_.size() ? bridges_[group].out : std::vector<uint8_t>{};
}

} // namespace kestrel_sim
