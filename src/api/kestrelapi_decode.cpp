// Protocol decoders over a handle's capture, checked like handles.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "api/api_handles.h"
#include "api/call.h"
#include "api/capture_object.h"
#include "api/decoders.h"
#include "decode/decoder.h"
#include "export/output_file.h"
#include "export/sr_reader.h"
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
            period_ = 1.0 / static_cast<double>(std::max<hw::freq>(1, h.device.launched_rate()));
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

// A capture object (taken from a handle, read from a file), leased for each read: a decoder
// does not keep it from being freed, and reads no more once it is.
class capture_source final : public decode::source {
public:
    capture_source(kestrelapi_capture c, const api_utils::capture_object& obj)
        : capture_(c), names_(obj.info().names), channels_(obj.channels()),
          length_(obj.info().samples), period_(obj.info().period),
          trigger_(obj.info().triggered ? obj.info().trigger_position : -1) {}

    unsigned channels() const override { return channels_; }
    std::optional<unsigned> channel_named(const std::string& name) const override {
        for (size_t ch = 0; ch < names_.size(); ++ch)
            if (names_[ch] == name) return static_cast<unsigned>(ch);
        return std::nullopt;
    }
    size_t read(unsigned ch, isamp from, uint64_t* samples, uint8_t* levels,
                size_t capacity) const override {
        return (**lease_).read(static_cast<hw::ich>(ch), static_cast<uint64_t>(from), samples,
                               levels, capacity);
    }
    // A taken capture no longer grows: its stores are read straight, only the changes.
    bool reads_changes() const override { return true; }
    size_t read_changes(unsigned ch, isamp from, isamp until, uint8_t level, uint64_t* samples,
                        uint8_t* levels, size_t capacity,
                        trs::store::changes_cursor& cur) const override {
        return (**lease_)
            .channel_store(static_cast<hw::ich>(ch))
            .read_changes(from, std::min(until, length_), level, samples, levels, capacity, cur);
    }
    isamp covered() const override { return length_; }
    bool growing() const override { return false; }
    double period() const override { return period_; }
    isamp trigger() const override { return trigger_; }
    void hold() const override {
        lease_.emplace(api_utils::live_captures::instance().acquire(capture_));
        if (!*lease_) {
            lease_.reset();
            throw hw::exception(hw::error::no_data);
        }
    }
    void release() const override { lease_.reset(); }

private:
    kestrelapi_capture capture_;
    std::vector<std::string> names_;
    unsigned channels_;
    isamp length_;
    double period_;
    isamp trigger_;
    mutable std::optional<api_utils::live_captures::lease> lease_;
};

// A decoder on a source, or the reason its description was refused.
ohwapi_err_code_t make_decoder(std::shared_ptr<decode::source> src, const char* description,
                               kestrelapi_decoder* decoder, std::string& why) {
    try {
        auto s = std::make_shared<decode::session>(std::move(src), description ? description : "");
        *decoder = api_utils::decoders::instance().add(std::move(s));
    } catch (const decode::description_error& e) {
        why = e.what();
        return OHWAPI_INVALID_ARGUMENT;
    }
    return OHWAPI_OK;
}

} // namespace

extern "C" {

ohwapi_err_code_t kestrelapi_decoder_create(kestrelapi_handle handle, const char* description,
                                            kestrelapi_decoder* decoder, char* message,
                                            uint32_t message_size) {
    std::string why;
    const ohwapi_err_code_t rc = with_handle(handle, [&](api_handles& h) {
        api_utils::out(decoder) = nullptr;
        if (make_decoder(std::make_shared<handle_source>(handle, h), description, decoder, why) !=
            OHWAPI_OK)
            throw hw::exception(hw::error::invalid_argument);
    });
    api_utils::copy_message(why, message, message_size);
    return rc;
}

ohwapi_err_code_t kestrelapi_capture_decoder_create(kestrelapi_capture capture,
                                                    const char* description,
                                                    kestrelapi_decoder* decoder, char* message,
                                                    uint32_t message_size) {
    std::string why;
    ohwapi_err_code_t rc = OHWAPI_INVALID_ARGUMENT;
    {
        const auto c = api_utils::live_captures::instance().acquire(capture);
        if (c && decoder) {
            *decoder = nullptr;
            rc = api_utils::trycatch([&] {
                if (make_decoder(std::make_shared<capture_source>(capture, *c), description,
                                 decoder, why) != OHWAPI_OK)
                    throw hw::exception(hw::error::invalid_argument);
            });
        }
    }
    api_utils::copy_message(why, message, message_size);
    return rc;
}

ohwapi_err_code_t kestrelapi_capture_open(const char* path, kestrelapi_capture* capture,
                                          char* message, uint32_t message_size) {
    std::string why;
    const ohwapi_err_code_t rc = api_utils::trycatch([&] {
        api_utils::out(capture) = nullptr;
        if (path == nullptr || *path == 0) {
            why = "no file name";
            throw hw::exception(hw::error::invalid_argument);
        }
        xport::session_file f;
        try {
            f = xport::read_sr(path);
        } catch (const std::runtime_error& e) { // file_error, format_error
            why = e.what();
            throw hw::exception(hw::error::invalid_argument);
        }
        api_utils::capture_object::info_t info;
        info.samples = f.length;
        info.trigger_position = f.trigger < 0 ? 0 : f.trigger;
        info.triggered = f.trigger >= 0;
        // A session without a rate counts time in samples.
        info.period = f.period > 0 ? f.period : 1.0;
        info.names = std::move(f.names);
        *capture = api_utils::live_captures::instance().add(
            std::make_unique<api_utils::capture_object>(std::move(f.stores), std::move(info)));
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
