#include "targets.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>

#include "api/api_handles.h"
#include "api/live_handles.h"
#include "config_decode.h"
#include "drivers/libusb/driver.h"
#include "fxt/core.h"
#include "fxt/program.h"
#include "fxt/word.h"
#include "hw/exception.h"
#include "input.h"
#include "kestrel/capture/buffer_parser.h"
#include "kestrel/firmware/file_loader.h"
#include "kestrel/status.h"
#include "moxcom/interpreter.h"

namespace kestrel_fuzz {

namespace {

// A property the input broke: reported like a crash.
void require(bool ok) {
    if (!ok) std::abort();
}

// Runs fn; the exceptions input may raise are swallowed (at the C boundary each becomes an
// error code), anything else (and every abort) reaches the fuzzer.
template <typename F> bool refused(F&& fn) {
    try {
        fn();
        return false;
    } catch (const hw::exception&) {
    } catch (const mox_com::except&) {
    } catch (const std::exception&) {
    }
    return true;
}

const hw::model_t models[] = {hw::model_t::kestrel_one, hw::model_t::kestrel_two,
                              hw::model_t::kestrel_three};

struct packet_seen {
    uint8_t id;
    uint8_t ack;
    std::vector<uint8_t> params;
    bool operator==(const packet_seen&) const = default;
};

using crc16 = mox_com::interpreter<mox_utils::crc_type::CRC_16_CCITT>;

std::unique_ptr<crc16> make_interpreter(std::vector<packet_seen>& seen, bool decrypt, bool one) {
    mox_com::interpreter_conf conf{
        {0x55, 0xAA}, one ? mox_com::LEN_1_BYTE : mox_com::LEN_2_BYTES, {}};
    if (decrypt) conf.decrypt_callback = [](const std::vector<uint8_t>& f) { return f; };
    auto in = std::make_unique<crc16>(conf);
    for (unsigned id = 0; id < 256; ++id)
        in->regist_common_endpoint(
            static_cast<uint8_t>(id),
            [&seen](uint8_t i, mox_com::acknowledge a, std::vector<uint8_t>& p) {
                seen.push_back({i, static_cast<uint8_t>(a), p});
            });
    return in;
}

} // namespace

// The stream parsed whole and cut into pieces the input chooses dispatches the same
// packets: the parser survives any split.
int interpreter(const uint8_t* data, size_t size) {
    input in(data, size);
    const uint8_t mode = in.byte();
    const uint8_t cut = in.byte();
    const auto stream = in.rest();
    const bool decrypt = mode & 1, one = mode & 2;
    std::vector<packet_seen> whole_seen, split_seen;
    auto whole = make_interpreter(whole_seen, decrypt, one);
    auto split = make_interpreter(split_seen, decrypt, one);
    whole->append(stream);
    const size_t step = cut % 17 + 1;
    for (size_t at = 0; at < stream.size(); at += step)
        split->append(stream.subspan(at, std::min(step, stream.size() - at)));
    require(whole_seen == split_seen);
    require(whole->get_state() == split->get_state());

    // Handlers that refuse a packet, and endpoints nobody serves, end one append with an
    // exception; the parser then starts over and keeps working.
    std::vector<packet_seen> seen;
    mox_com::interpreter_conf conf{{0x55, 0xAA}, mox_com::LEN_2_BYTES, {}};
    crc16 strict(conf);
    strict.regist_endpoint(7, [](mox_com::acknowledge, std::vector<uint8_t>& p) {
        if (p.size() % 2) throw hw::exception(hw::error::unknown_error);
    });
    for (size_t at = 0; at < stream.size(); at += step) {
        refused([&] { strict.append(stream.subspan(at, std::min(step, stream.size() - at))); });
    }
    return 0;
}

int status_record(const uint8_t* data, size_t size) {
    input in(data, size);
    static const kestrel::capabilities caps[] = {kestrel::capabilities(models[0]),
                                                 kestrel::capabilities(models[1]),
                                                 kestrel::capabilities(models[2])};
    const auto& c = caps[in.byte() % 3];
    const size_t start = in.byte() % 4;
    const auto rest = in.rest();
    kestrel::status_t st(c, {});
    const auto before = st.get();
    size_t i = start;
    if (refused([&] { st.pull_from_vector(rest, i); })) {
        // A record that did not decode changes nothing.
        require(i == start);
        const auto after = st.get();
        require(after.groups.size() == before.groups.size());
        require(after.mb_version.build == before.mb_version.build);
    } else {
        require(i <= rest.size());
        st.set_oci_ready(0xFFFFFFFFu);
        (void)st.groups();
    }
    return 0;
}

// Any byte stream in any split produces the same records as the stream in one piece,
// every record with at least one sample except idle ones and a record sink that is called
// whole blocks at a time.
int buffer_parser(const uint8_t* data, size_t size) {
    input in(data, size);
    const uint8_t block = in.byte();
    const uint8_t cut_seed = in.byte();
    const auto stream = in.rest();
    std::vector<kestrel::kestrel_trs> whole, split;
    kestrel::buffer_parser a(0, [&](kestrel::kestrel_trs& t, uint8_t) { whole.push_back(t); });
    kestrel::buffer_parser b(
        1,
        [&](std::span<kestrel::kestrel_trs> s, uint8_t g) {
            require(g == 1);
            require(!s.empty() && s.size() <= size_t{block} + 1);
            split.insert(split.end(), s.begin(), s.end());
        },
        size_t{block} + 1);
    a.parse(stream);
    size_t at = 0;
    uint32_t x = cut_seed * 2654435761u + 1;
    while (at < stream.size()) {
        x = x * 1103515245u + 12345u;
        const size_t n = std::min<size_t>((x >> 16) % 41, stream.size() - at);
        b.parse(stream.subspan(at, n)); // empty pieces too
        at += n;
    }
    require(whole.size() == split.size());
    for (size_t k = 0; k < whole.size(); ++k) {
        require(whole[k].levels == split[k].levels);
        require(whole[k].delta_samples == split[k].delta_samples);
        require(whole[k].trigged == split[k].trigged);
    }
    require(a.trigger_found() == b.trigger_found());
    return 0;
}

// The reply handler of the file loader against any sequence of replies.
int file_loader_reply(const uint8_t* data, size_t size) {
    // Never destroyed: a process forked from this one (api_misuse forks) has none of the
    // link's threads to join at its exit.
    static auto& drv = *new libusb::driver;
    static auto& bulk = *new libusb::interface_bulk(drv, 2, 0x04, 0x84);
    static const auto& log = *new hw::log_fn([](const std::string&) {});
    static auto& com = *new kestrel::communication(bulk, log);
    static auto& loader =
        *new kestrel::file_loader(com, log, kestrel::file_loader_timing{1, 1, 1, 0});
    input in(data, size);
    while (!in.empty()) {
        const auto len = in.byte() % 12;
        const auto reply = in.bytes(len);
        refused([&] { loader.com_handler(std::vector<uint8_t>(reply.begin(), reply.end())); });
    }
    return 0;
}

int trigger_description(const uint8_t* data, size_t size) {
    static fxt::core engines[] = {fxt::core(models[0]), fxt::core(models[1]), fxt::core(models[2])};
    input in(data, size);
    fxt::core& e = engines[in.byte() % 3];
    const size_t start = in.byte() % 3;
    const auto rest = in.rest();
    const fxt::bytes src(rest.begin(), rest.end());
    const fxt::mode_t mode_before = e.get_mode();
    const size_t steps_before = e.steps.count();
    size_t i = start;
    if (refused([&] { e.pull_from_vector(src, i); })) {
        require(i == start);
        require(e.get_mode() == mode_before && e.steps.count() == steps_before);
        return 0;
    }
    require(i <= src.size());
    // What was read writes back as a description that reads again.
    fxt::bytes again;
    e.push_to_vector(again);
    size_t j = 0;
    e.pull_from_vector(again, j);
    require(j == again.size());
    // The capture thread turns the description into device words for every group.
    const fxt::mode_t m = e.get_mode();
    if (m != fxt::mode_t::RISING && m != fxt::mode_t::FALLING && m != fxt::mode_t::CHANGE)
        for (size_t g = 0; g < 3; ++g)
            refused([&] { (void)e.build_device_data(18 * g); });
    return 0;
}

int sim_config_decode(const uint8_t* data, size_t size) {
    input in(data, size);
    const unsigned groups = in.byte() % 5;
    const bool oci = in.byte() & 1;
    const auto payload = in.rest();
    if (oci) {
        const auto p = kestrel_sim::decode_oci_params(payload, groups);
        if (p) require(p->size() == groups);
    } else {
        const auto c = kestrel_sim::decode_config(payload, groups);
        if (c) require(payload.size() == kestrel_sim::config_payload_size(groups));
    }
    return 0;
}

// Settings and trigger routing a caller may pass, through the checks a launch makes
// before anything reaches the device: conversion, runnability, storing the configuration
// and the trigger words the capture thread derives from it.
int settings(const uint8_t* data, size_t size) {
    // Owned as the interface owns its handles: freed with the live ones when the process
    // exits, and left alone by a process forked from this one (api_misuse forks).
    static api_utils::api_handles* handles[3] = {};
    input in(data, size);
    const size_t mi = in.byte() % 3;
    if (handles[mi] == nullptr) {
        auto h = std::make_unique<api_utils::api_handles>(models[mi]);
        h->log_fn = [](const std::string&) {};
        if (!api_utils::live_handles::instance().add(h.get())) return 0;
        handles[mi] = h.release();
    }
    api_utils::api_handles& h = *handles[mi];
    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    const auto raw = in.bytes(sizeof s);
    if (!raw.empty()) std::memcpy(&s, raw.data(), raw.size());

    // Engine descriptions first: they decide what the slots may do.
    for (auto& e : h.device.trigger_engines) {
        const auto len = in.take<uint16_t>() % 400;
        const auto d = in.bytes(len);
        const fxt::bytes desc(d.begin(), d.end());
        size_t at = 0;
        refused([&] { e.pull_from_vector(desc, at); });
    }

    kestrel::config cfg(h.caps);
    if (refused([&] { cfg = h.get_cfg(s); })) return 0;
    auto& trig = cfg.master_group().trigger;
    const uint8_t bits = in.byte();
    for (size_t slot = 0; slot < 2; ++slot) {
        trig.select_fast[slot] = (bits >> slot) & 1;
        auto& f = trig.fast[slot];
        f.ext_enable = (bits >> (2 + slot)) & 1;
        f.ext_in_pol = (bits >> (4 + slot)) & 1;
        f.skip_level = in.byte() & 1;
        f.skip_change = in.byte() & 1;
        f.mask = in.take<uint32_t>();
        f.level = in.take<uint32_t>();
    }
    trig.order = static_cast<kestrel::trigger_order>(in.byte() % 4);

    std::string why;
    const bool runnable = h.device.is_runnable(cfg, why);
    bool stored = false;
    if (!refused([&] {
            h.device.set_config(cfg);
            stored = true;
        }))
        require(runnable);
    if (!runnable) {
        require(!why.empty() && !stored);
        return 0;
    }
    for (size_t g = 0; g < cfg.groups.size(); ++g)
        for (auto& e : h.device.trigger_engines) {
            const fxt::mode_t m = e.get_mode();
            if (m == fxt::mode_t::RISING || m == fxt::mode_t::FALLING || m == fxt::mode_t::CHANGE)
                continue;
            refused([&] { (void)e.build_device_data(cfg.start_channel_from_group(g)); });
        }
    return 0;
}

int trigger_program(const uint8_t* data, size_t size) {
    static const fxt::capabilities caps(models[0]);
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::optional<fxt::program> p;
    try {
        p = fxt::program::compile(text, caps);
    } catch (const fxt::program_error&) {
        return 0; // refused with a message: the only way a caller's text may fail
    }
    // What is accepted runs as compiled: one word per step, within the engine, every
    // bound it uses a count the timers hold (0 only for the same-tick qualifier).
    const auto& steps = p->engine_steps();
    require(steps.size() <= caps.max_program_words());
    const auto words = p->words(caps, 0);
    require(words.size() == steps.size());
    const fxt::map& wm = caps.trig_word_map;
    for (size_t k = 0; k < words.size(); ++k) {
        require((words[k] >> 63) == 0);
        if (!steps[k].ignore_tmin) require(fxt::read_reg(words[k], wm.tmin) > 0);
        if (!steps[k].ignore_tmax && steps[k].t_max > 0)
            require(fxt::read_reg(words[k], wm.tmax) > 0);
    }
    require(p->empty() || p->trigger_clock() > 0);
    require(!p->describe().empty());
    return 0;
}

} // namespace kestrel_fuzz
