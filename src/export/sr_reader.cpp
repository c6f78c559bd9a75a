#include "export/sr_reader.h"

#include "export/output_file.h"

#include <zip.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace xport {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

struct archive {
    zip_t* z = nullptr;
    ~archive() {
        if (z) zip_discard(z);
    }
};

struct entry {
    zip_file_t* f = nullptr;
    ~entry() {
        if (f) zip_fclose(f);
    }
};

// The whole of a small member, or nothing when it is absent.
std::optional<std::string> small_member(zip_t* z, const char* name, const std::string& path) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, name, 0, &st) != 0) return std::nullopt;
    if (st.size > (1u << 20)) throw format_error(path + ": " + name + " is too large");
    entry e{zip_fopen(z, name, 0)};
    if (!e.f) throw file_error("cannot read " + path + ": " + zip_strerror(z));
    std::string out(st.size, '\0');
    if (zip_fread(e.f, out.data(), st.size) != static_cast<zip_int64_t>(st.size))
        throw file_error("cannot read " + path + ": " + name + " is cut short");
    return out;
}

// The keys of one section of an ini-like text, in order.
using section = std::vector<std::pair<std::string, std::string>>;
std::map<std::string, section> parse_ini(const std::string& text) {
    std::map<std::string, section> out;
    std::string current;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = trim(text.substr(at, end - at));
        at = end + 1;
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line.front() == '[' && line.back() == ']') {
            current = trim(line.substr(1, line.size() - 2));
            out[current];
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        out[current].emplace_back(trim(line.substr(0, eq)), trim(line.substr(eq + 1)));
    }
    return out;
}

} // namespace

uint64_t parse_samplerate(const std::string& text) {
    const std::string t = trim(text);
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(t, &used);
    } catch (const std::exception&) {
        return 0;
    }
    std::string unit = trim(t.substr(used));
    double mult = 1;
    if (!unit.empty()) {
        switch (unit[0]) {
        case 'k':
        case 'K':
            mult = 1e3;
            unit.erase(0, 1);
            break;
        case 'M':
        case 'm':
            mult = 1e6;
            unit.erase(0, 1);
            break;
        case 'G':
        case 'g':
            mult = 1e9;
            unit.erase(0, 1);
            break;
        case 'T':
        case 't':
            mult = 1e12;
            unit.erase(0, 1);
            break;
        default:
            break;
        }
        unit = trim(unit);
        if (!unit.empty() && unit != "Hz" && unit != "hz" && unit != "HZ") return 0;
    }
    const double hz = v * mult;
    if (!(hz >= 1) || hz > 1e15) return 0;
    return static_cast<uint64_t>(std::llround(hz));
}

session_file read_sr(const std::string& path) {
    int err = 0;
    archive a{zip_open(path.c_str(), ZIP_RDONLY, &err)};
    if (!a.z) {
        zip_error_t e;
        zip_error_init_with_code(&e, err);
        const std::string why = zip_error_strerror(&e);
        zip_error_fini(&e);
        if (err == ZIP_ER_NOZIP || err == ZIP_ER_INCONS)
            throw format_error(path + " is not a sigrok session (" + why + ")");
        throw file_error("cannot read " + path + ": " + why);
    }
    const auto version = small_member(a.z, "version", path);
    if (!version) throw format_error(path + " is not a sigrok session (no version member)");
    const std::string ver = trim(*version);
    if (ver != "1" && ver != "2")
        throw format_error(path + ": session version " + ver + " (sigrok reads 1 and 2)");
    const auto metadata = small_member(a.z, "metadata", path);
    if (!metadata) throw format_error(path + " is not a sigrok session (no metadata member)");
    const auto ini = parse_ini(*metadata);

    // The first device with logic data.
    const section* dev = nullptr;
    std::string capturefile;
    for (const auto& [name, keys] : ini) {
        if (name.rfind("device ", 0) != 0) continue;
        for (const auto& [k, v] : keys)
            if (k == "capturefile" && !v.empty()) capturefile = v;
        if (!capturefile.empty()) {
            dev = &keys;
            break;
        }
    }
    if (!dev) throw format_error(path + ": no logic channels in the session");
    unsigned total = 0;
    size_t unitsize = 0;
    uint64_t rate = 0;
    std::map<unsigned, std::string> names;
    for (const auto& [k, v] : *dev) {
        if (k == "total probes") {
            total = static_cast<unsigned>(std::strtoul(v.c_str(), nullptr, 10));
        } else if (k == "unitsize") {
            unitsize = std::strtoul(v.c_str(), nullptr, 10);
        } else if (k == "samplerate") {
            rate = parse_samplerate(v);
        } else if (k.rfind("probe", 0) == 0 && k.size() > 5 &&
                   std::all_of(k.begin() + 5, k.end(), [](char c) { return std::isdigit(c); })) {
            const auto n = static_cast<unsigned>(std::strtoul(k.c_str() + 5, nullptr, 10));
            if (n >= 1 && n <= 64) names[n - 1] = v;
        }
    }
    if (total == 0 && !names.empty()) total = names.rbegin()->first + 1;
    // Version 1 files give no unit size: the channels' bytes.
    if (unitsize == 0) unitsize = (total + 7) / 8;
    if (total == 0 || total > 64)
        throw format_error(path + ": " + std::to_string(total) +
                           " logic channels (1..64 are read)");
    if (unitsize < (total + 7) / 8 || unitsize > 8)
        throw format_error(path + ": unit size " + std::to_string(unitsize) + " for " +
                           std::to_string(total) + " channels");

    session_file out;
    for (unsigned c = 0; c < total; ++c)
        out.stores.push_back(std::make_unique<trs::store>());
    out.names.resize(total);
    for (const auto& [k, v] : names)
        if (k < total) out.names[k] = v;
    out.period = rate ? 1.0 / static_cast<double>(rate) : 0;

    // The data: one member named as capturefile, or its chunks -1, -2, ... in turn.
    std::vector<std::string> members;
    zip_stat_t st;
    if (zip_stat(a.z, capturefile.c_str(), 0, &st) == 0) {
        members.push_back(capturefile);
    } else {
        for (unsigned n = 1;; ++n) {
            const std::string m = capturefile + "-" + std::to_string(n);
            if (zip_stat(a.z, m.c_str(), 0, &st) != 0) break;
            members.push_back(m);
        }
    }

    std::vector<trs::store::writer> writers;
    writers.reserve(total);
    for (auto& s : out.stores)
        writers.emplace_back(*s);
    const uint64_t mask = total == 64 ? ~uint64_t{0} : (uint64_t{1} << total) - 1;
    uint64_t prev = 0;
    isamp n = 0;
    // Eight bytes of slack: every sample is loaded as one word, whatever its unit size.
    constexpr size_t buf_size = 1 << 20;
    std::vector<uint8_t> buf(buf_size + 8);
    size_t carry = 0; // bytes of a unit split between reads
    for (const auto& m : members) {
        entry e{zip_fopen(a.z, m.c_str(), 0)};
        if (!e.f) throw file_error("cannot read " + path + ": " + zip_strerror(a.z));
        for (;;) {
            const zip_int64_t got = zip_fread(e.f, buf.data() + carry, buf_size - carry);
            if (got < 0) throw file_error("cannot read " + path + ": " + m + " is damaged");
            if (got == 0) break;
            const size_t have = carry + static_cast<size_t>(got);
            const size_t units = have / unitsize;
            const uint8_t* p = buf.data();
            // Byte-wide samples: eight at a time while none changes.
            const uint64_t mask8 = unitsize == 1 ? (mask & 0xFF) * 0x0101010101010101ull : 0;
            for (size_t u = 0; u < units; ++u, p += unitsize, ++n) {
                if (mask8 != 0 && n > 0) {
                    uint64_t w8 = 0;
                    while (u + 8 <= units) {
                        std::memcpy(&w8, p, 8);
                        if (((w8 ^ (prev * 0x0101010101010101ull)) & mask8) != 0) break;
                        u += 8;
                        p += 8;
                        n += 8;
                    }
                    if (u == units) break;
                }
                uint64_t w = 0;
                std::memcpy(&w, p, 8); // the bits beyond the unit are masked off
                w &= mask;
                if (n == 0) {
                    for (unsigned c = 0; c < total; ++c)
                        writers[c].append(0, static_cast<uint8_t>((w >> c) & 1));
                    prev = w;
                    continue;
                }
                for (uint64_t x = w ^ prev; x != 0; x &= x - 1) {
                    const int c = std::countr_zero(x);
                    writers[static_cast<size_t>(c)].append(n, static_cast<uint8_t>((w >> c) & 1));
                }
                prev = w;
            }
            carry = have - units * unitsize;
            std::memmove(buf.data(), buf.data() + units * unitsize, carry);
        }
    }
    if (n == 0) throw format_error(path + ": the session holds no samples");
    for (unsigned c = 0; c < total; ++c) {
        writers[c].append_idle(n, static_cast<uint8_t>((prev >> c) & 1));
        writers[c].commit();
    }
    out.length = n;
    return out;
}

} // namespace xport
