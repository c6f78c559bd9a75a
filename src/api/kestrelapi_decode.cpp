// Protocol decoders over a handle's capture, checked like handles.
#include <cstring>
#include <map>
#include <string>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/decoders.h"
#include "decode/decoder.h"
#include "hw/exception.h"
#include "kestrelapi.h"

using api_utils::api_handles;
using api_utils::with_handle;

static_assert(sizeof(kestrelapi_frame_t) == sizeof(decode::frame));
static_assert(offsetof(kestrelapi_frame_t, kind) == offsetof(decode::frame, kind));
static_assert(offsetof(kestrelapi_frame_t, flags) == offsetof(decode::frame, flags));
static_assert(int{KESTREL_FRAME_CAN_CRC} == int{decode::kind::can_crc});
static_assert(int{KESTREL_FRAME_FLAG_REMOTE} == int{decode::flag::remote});

namespace api_utils {

decoders& decoders::instance() {
    // Never destroyed: decoders freed at exit by nobody stay valid for late calls.
    static auto* d = new decoders;
    return *d;
}

kestrelapi_decoder_s* decoders::add(std::shared_ptr<decode::session> s) {
    auto d = std::make_unique<kestrelapi_decoder_s>();
    d->session = std::move(s);
    std::lock_guard l(m_);
    auto* p = d.get();
    live_.emplace(p, std::move(d));
    return p;
}

std::shared_ptr<decode::session> decoders::find(const kestrelapi_decoder_s* d) {
    std::lock_guard l(m_);
    const auto it = live_.find(d);
    return it == live_.end() ? nullptr : it->second->session;
}

bool decoders::free(const kestrelapi_decoder_s* d) {
    std::unique_ptr<kestrelapi_decoder_s> gone;
    std::lock_guard l(m_);
    const auto it = live_.find(d);
    if (it == live_.end()) return false;
    gone = std::move(it->second);
    live_.erase(it);
    return true;
}

void copy_message(const std::string& text, char* out, uint32_t size) {
    if (out == nullptr || size == 0) return;
    const size_t n = std::min<size_t>(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace api_utils

namespace {

// The capture a handle holds, read through the handle's lease: a decoder outlives neither
// its handle nor the capture it began on (a launch clears the stores).
class handle_source final : public decode::source {
public:
    handle_source(kestrelapi_handle handle, api_handles& h)
        : handle_(handle), channels_(static_cast<unsigned>(h.trs_man.channels_count())) {
        {
            std::lock_guard l(h.names_m);
            names_ = h.channel_names;
        }
        // Just after a launch the capture thread has not cleared the stores yet: the
        // decoder binds to them once it has, at the rate the launch asked for.
        pending_ = h.device.capture_in_progress() && !prepared(h);
        if (pending_) {
            period_ = 1.0 / static_cast<double>(
                                std::max<hw::freq>(1, h.device.device_config.sampling_freq));
        } else {
            version_ = h.trs_man.get_data_version();
            period_ = h.trs_man.get_sampling_period();
        }
    }

    unsigned channels() const override { return channels_; }
    std::optional<unsigned> channel_named(const std::string& name) const override {
        for (const auto& [ch, n] : names_)
            if (n == name) return static_cast<unsigned>(ch);
        // The default names ch0, ch1, ... as the exports write them.
        if (name.size() > 2 && name.rfind("ch", 0) == 0 &&
            name.find_first_not_of("0123456789", 2) == std::string::npos && name.size() < 6) {
            const auto ch = static_cast<unsigned>(std::stoul(name.substr(2)));
            if (ch < channels_) return ch;
        }
        return std::nullopt;
    }
    size_t read(unsigned ch, isamp from, uint64_t* samples, uint8_t* levels,
                size_t capacity) const override {
        return held().trs_man.read(ch, from, samples, levels, capacity);
    }
    isamp covered() const override {
        return std::max<isamp>(0, held().trs_man.available_samples_count());
    }
    bool growing() const override { return held().device.capture_in_progress(); }
    double period() const override { return period_; }
    isamp trigger() const override {
        api_handles& h = held();
        return h.device.capt.trigged ? static_cast<isamp>(h.trig_pos) : -1;
    }

    // Leases the handle for one read of the decoder; fails with no_data once the handle is
    // freed or a launch replaced the capture.
    void hold() const override {
        lease_.reset(new api_utils::live_handles::lease(
            api_utils::live_handles::instance().acquire(handle_)));
        if (!*lease_) {
            lease_.reset();
            throw hw::exception(hw::error::no_data);
        }
        api_handles& h = **lease_;
        if (pending_ && (prepared(h) || !h.device.capture_in_progress())) {
            pending_ = false;
            version_ = h.trs_man.get_data_version();
        }
        if (!pending_ && h.trs_man.get_data_version() != version_) {
            lease_.reset();
            throw hw::exception(hw::error::no_data);
        }
    }
    void release() const override { lease_.reset(); }

private:
    api_handles& held() const { return **lease_; }
    // The capture under way has cleared the stores it writes.
    static bool prepared(api_handles& h) {
        return h.trg_mode == hw::trigger_mode_t::single ? h.device.capt.cfg_done.load()
                                                        : h.device.capt.trigged.load();
    }

    kestrelapi_handle handle_;
    unsigned channels_;
    mutable bool pending_ = false;
    mutable uint64_t version_ = 0;
    double period_ = 1;
    std::map<hw::ich, std::string> names_;
    mutable std::unique_ptr<api_utils::live_handles::lease> lease_;
};

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_decoder_create(kestrelapi_handle handle, const char* spec,
                                            kestrelapi_decoder* decoder, char* message,
                                            uint32_t message_size) {
    std::string why;
    const ohwapi_err_code_t rc = with_handle(handle, [&](api_handles& h) {
        api_utils::out(decoder) = nullptr;
        auto src = std::make_shared<handle_source>(handle, h);
        try {
            auto s = std::make_shared<decode::session>(src, spec ? spec : "");
            *decoder = api_utils::decoders::instance().add(std::move(s));
        } catch (const decode::spec_error& e) {
            why = e.what();
            throw hw::exception(hw::error::invalid_argument);
        }
    });
    api_utils::copy_message(why, message, message_size);
    return rc;
}

ohwapi_err_code_t kestrelapi_decoder_read(kestrelapi_decoder decoder, kestrelapi_frame_t* frames,
                                          uint32_t capacity, uint32_t* count, bool* more) {
    const auto s = api_utils::decoders::instance().find(decoder);
    if (!s || !frames || !count || !more || capacity == 0) return OHWAPI_INVALID_ARGUMENT;
    return api_utils::trycatch([&] {
        *count = 0;
        bool m = false;
        const size_t n = s->read(reinterpret_cast<decode::frame*>(frames), capacity, m);
        *count = static_cast<uint32_t>(n);
        *more = m;
    });
}

ohwapi_err_code_t kestrelapi_decoder_free(kestrelapi_decoder decoder) {
    if (decoder == nullptr) return OHWAPI_OK;
    return api_utils::decoders::instance().free(decoder) ? OHWAPI_OK : OHWAPI_INVALID_ARGUMENT;
}

} // extern "C"
