// Seed inputs: well-formed encodings made with the library's own encoders, laid out as
// each target reads its input.
#include <cstring>

#include "../core/settings.h"
#include "fxt/core.h"
#include "kestrel/config/config.h"
#include "kestrelapi.h"
#include "moxcom/packetizer.h"
#include "targets.h"

namespace kestrel_fuzz {

namespace {

using bytes = std::vector<uint8_t>;

void put(bytes& out, const bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

bytes packets(mox_com::len_bytes len) {
    mox_com::packetizer<mox_utils::crc_type::CRC_16_CCITT> pk{
        mox_com::packetizer_conf{{0x55, 0xAA}, len, {}}};
    bytes out;
    put(out, pk.packetize(8, mox_com::NO_ACK, bytes{1, 2, 3, 4}));
    put(out, {0x00, 0x55, 0x13}); // noise between packets
    put(out, pk.packetize(7, mox_com::ACK_REQUEST, bytes{1, 2}));
    put(out, pk.packetize(2, mox_com::NO_ACK, bytes{}));
    put(out, pk.packetize(71, mox_com::ACK_CONFIRMATION, bytes(40, 0xA5)));
    return out;
}

// A status record: marker, versions, temperature, PLL flags, then the groups.
bytes status_record(unsigned groups, uint8_t revision) {
    bytes r = {1, 1, 4, 0x34, 0x12, 40, 1, 1, static_cast<uint8_t>(groups)};
    for (unsigned g = 0; g < groups; ++g) {
        put(r, {revision, 1, 1, 0});
        if (revision > 1) r.push_back(0);
        put(r, {0, 0, 1, 0x23, 2, 0x5A});
        for (int p = 0; p < 2; ++p)
            put(r, {1, 1, 0, 35, 1, 1, 1});
        if (revision > 2) put(r, {0, 1});
    }
    return r;
}

bytes sample_packet(uint32_t v, unsigned type = 0, uint32_t low = 0) {
    bytes p(16, 0);
    if (type == 0) {
        for (unsigned i = 0; i < 7; ++i)
            for (unsigned k = 0; k < 18; ++k)
                if (((v + i) >> k) & 1) p[(18 * i + k) / 8] |= uint8_t(1u << ((18 * i + k) % 8));
    } else {
        p[0] = uint8_t(low);
        p[1] = uint8_t(low >> 8);
        p[2] = uint8_t(low >> 16);
    }
    p[15] = static_cast<uint8_t>((p[15] & 0x3F) | (type << 6));
    return p;
}

bytes description(hw::model_t m, fxt::mode_t mode, int steps) {
    fxt::core e(m);
    e.set_mode(mode);
    for (int k = 0; k < steps; ++k) {
        fxt::step_t s;
        s.bit_event_type[static_cast<size_t>(k)] = fxt::event_t::RIZE;
        s.t_min = 10 * k;
        s.t_max = 1000;
        e.steps.append(s);
    }
    bytes out;
    e.push_to_vector(out);
    return out;
}

} // namespace

std::vector<bytes> seeds(const std::string& name) {
    std::vector<bytes> out;
    if (name == "interpreter") {
        for (uint8_t mode = 0; mode < 4; ++mode)
            for (uint8_t cut : {0, 3, 15}) {
                bytes s = {mode, cut};
                put(s, packets(mode & 2 ? mox_com::LEN_1_BYTE : mox_com::LEN_2_BYTES));
                out.push_back(s);
            }
    } else if (name == "status_record") {
        for (uint8_t m = 0; m < 3; ++m)
            for (uint8_t rev = 1; rev <= 3; ++rev) {
                bytes s = {m, 0};
                put(s, status_record(m + 1u, rev));
                out.push_back(s);
            }
    } else if (name == "buffer_parser") {
        for (uint8_t block : {0, 7, 200}) {
            bytes s = {block, static_cast<uint8_t>(block + 1)};
            put(s, sample_packet(1));
            put(s, sample_packet(1, 1, 12));
            put(s, sample_packet(0, 3, 0x41));
            put(s, sample_packet(7));
            put(s, sample_packet(0, 2, 0x08));
            put(s, sample_packet(0x3FFF0));
            put(s, sample_packet(0x3FFF0, 1, 0xFFFFFF));
            put(s, {1, 2, 3}); // a packet cut off at the end
            out.push_back(s);
        }
    } else if (name == "file_loader_reply") {
        bytes s;
        for (uint8_t op = 3; op <= 8; ++op)
            put(s, {2, op, 1, 2, op, 2, 2, op, 0});
        put(s, {5, 4, 0x78, 0x56, 0x34, 0x12, 4, 4, 1, 2, 3, 1, 6});
        out.push_back(s);
    } else if (name == "trigger_description") {
        const hw::model_t ms[] = {hw::model_t::kestrel_one, hw::model_t::kestrel_two,
                                  hw::model_t::kestrel_three};
        for (uint8_t m = 0; m < 3; ++m)
            for (auto [mode, n] :
                 {std::pair{fxt::mode_t::MLTI_STEP, 3}, std::pair{fxt::mode_t::HI_PULSE, 1},
                  std::pair{fxt::mode_t::NOTRIG, 0}}) {
                bytes s = {m, 0};
                put(s, description(ms[m], mode, n));
                out.push_back(s);
            }
    } else if (name == "sim_config_decode") {
        const hw::model_t ms[] = {hw::model_t::kestrel_one, hw::model_t::kestrel_two,
                                  hw::model_t::kestrel_three};
        for (uint8_t m = 0; m < 3; ++m) {
            kestrel::capabilities caps(ms[m]);
            kestrel::config cfg(caps);
            cfg.set_master_group(kestrel::config::group_name_t::grp_ab);
            bytes s = {static_cast<uint8_t>(m + 1), 0};
            cfg.push_to_vector(s);
            out.push_back(s);
            bytes o = {static_cast<uint8_t>(m + 1), 1};
            for (const auto& g : cfg.groups) {
                g.oci_parameters.push_to_vector(o);
                g.ports[0].push_to_vector(o);
                g.ports[1].push_to_vector(o);
            }
            out.push_back(o);
        }
    } else if (name == "trigger_program") {
        for (const char* text :
             {"ch3 rise", "ch3 rise & ch5 high & ch6 low", "ch7 high & ch8 low",
              "any change & ch2 low", "ch2 pulse high 1us..5us", "ch2 pulse low >2us",
              "ch2 pulse high <300ns & ch9 high", "ch3 rise; ch4 fall within 10us",
              "ch0 fall; ch1 rise after 2us within 50us; ch2 high", "rising:3", "4:change",
              "any:change", "none", "ch0 rise; ch1 rise within 1s"}) {
            const std::string t(text);
            out.emplace_back(t.begin(), t.end());
        }
    } else if (name == "settings") {
        for (uint8_t m = 0; m < 3; ++m) {
            kestrelapi_settings_t st = core_test::default_settings(100000);
            st.t_clk[0] = st.t_clk[1] = 250000000;
            bytes s = {m};
            const auto* p = reinterpret_cast<const uint8_t*>(&st);
            s.insert(s.end(), p, p + sizeof st);
            const bytes d = description(hw::model_t::kestrel_one, fxt::mode_t::MLTI_STEP, 2);
            s.push_back(static_cast<uint8_t>(d.size()));
            s.push_back(static_cast<uint8_t>(d.size() >> 8));
            put(s, d);
            put(s, {0, 0}); // engine B keeps its description
            put(s, {0x01, 0, 0, 0xFF, 0xFF, 0xFF, 0xFB, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
            out.push_back(s);
        }
    } else if (name == "api_misuse") {
        // Calls on the first live handle (handle byte 0, channel byte 1 then the channel):
        // a session as a host program runs it, then the same with a second thread freeing
        // the handle and calling with handles that are not live.
        auto call = [](bytes& s, uint8_t what, uint8_t ch, bytes extra = {}) {
            put(s, {what, 0, 1, ch});
            put(s, extra);
        };
        auto session = [&](bytes& s) {
            call(s, 0, 0, {0});                   // create the handle
            call(s, 5, 0);                        // open the first device
            const bytes notrig = {0, 0, 5, 1, 3}; // trigger: type NOTRIG, channel 3
            call(s, 9, 0, notrig);
            put(s, notrig);
            put(s, bytes(sizeof(kestrelapi_settings_t), 0));
            put(s, {1, 0xC4, 0x09}); // 250 MHz, depth 1000 + 4 * 2500
            for (int i = 0; i < 4; ++i)
                call(s, 23, 0, {19});  // let the capture run
            call(s, 7, 4);             // capture done flag
            call(s, 15, 2, {7});       // walk channel 2
            call(s, 17, 0, {1, 1, 0}); // export VCD
            call(s, 6, 0);             // close
        };
        bytes alone = {255};
        session(alone);
        out.push_back(alone);
        bytes racing = {128};
        session(racing);
        const size_t first = racing.size(); // the session, then the second thread's calls
        for (uint8_t h : {0, 3, 4, 5, 6, 7})
            put(racing, {2, h, 1, 0});           // last error of every kind of handle
        put(racing, {1, 0, 1, 0, 0});            // free the live handle under the other thread
        put(racing, {13 | 0x80, 0, 0, 1, 0, 0}); // null outputs
        // The first byte splits at 1 + b (size - 1) / 255: the session goes to one thread.
        racing[0] =
            static_cast<uint8_t>(((first - 1) * 255 + racing.size() - 2) / (racing.size() - 1));
        out.push_back(racing);
    }
    return out;
}

} // namespace kestrel_fuzz
