#include "export/sr_reader.h"

#include "export/output_file.h"

#include <libdeflate.h>
#include <zip.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>

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

// Samples of 1..64 channels, unit by unit, into one store per channel: only the samples
// where a channel changes are visited, and only the channels that changed there. The
// changes of a block of 64 samples are gathered as one mask per channel and appended as a
// run (the writer's append_toggles), not one append at a time.
class transitions {
public:
    transitions(std::vector<std::unique_ptr<trs::store>>& stores, unsigned total)
        : mask_(total == 64 ? ~uint64_t{0} : (uint64_t{1} << total) - 1) {
        writers_.reserve(stores.size());
        for (auto& st : stores)
            writers_.emplace_back(*st);
        toggles_.assign(stores.size(), 0);
        levels_.assign(stores.size(), 0);
    }

    // `units` whole samples of `unitsize` bytes at p, with eight readable bytes after the
    // last sample's first byte.
    void add(const uint8_t* p, size_t units, size_t unitsize) {
        if (units == 0) return;
        if (n_ == 0) {
            // The level of every channel at sample 0.
            prev_ = load(p);
            for (size_t c = 0; c < writers_.size(); ++c) {
                levels_[c] = static_cast<uint8_t>((prev_ >> c) & 1);
                writers_[c].append(0, levels_[c]);
            }
            n_ = 1;
            p += unitsize;
            --units;
        }
        size_t done = 0;
        switch (unitsize) {
        case 1:
            done = bytes64(p, units);
            done += words<8>(p + done, units - done);
            break;
        case 2:
            done = words<16>(p, units);
            break;
        case 4:
            done = words<32>(p, units);
            break;
        case 8:
            done = words<64>(p, units);
            break;
        default:
            break;
        }
        // Units of 3, 5, 6 or 7 bytes, and the samples short of a word: one at a time, in
        // blocks of 64.
        p += done * unitsize;
        for (size_t u = done; u < units;) {
            const size_t in_block = std::min<size_t>(units - u, 64);
            for (size_t j = 0; j < in_block; ++j, p += unitsize) {
                const uint64_t w = load(p);
                mark(j, w ^ prev_);
                prev_ = w;
            }
            flush();
            n_ += static_cast<isamp>(in_block);
            u += in_block;
        }
    }

    // Every channel's level held to the end, the stores complete.
    isamp finish() {
        for (size_t c = 0; c < writers_.size(); ++c) {
            writers_[c].append_idle(n_, static_cast<uint8_t>((prev_ >> c) & 1));
            writers_[c].commit();
        }
        return n_;
    }

    isamp samples() const { return n_; }

private:
    // Samples of `bits` bits a 64-bit word holds whole: each word is compared with itself
    // moved up by one sample (the previous sample in the first place), so a word where
    // nothing changes costs a few instructions and a change costs one visit. Returns the
    // samples taken (whole words only).
    template <unsigned bits> size_t words(const uint8_t* p, size_t units) {
        constexpr unsigned per = 64 / bits;
        constexpr uint64_t lane = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << (bits % 64)) - 1;
        uint64_t lanes = 0; // the channels' mask in every sample of a word
        for (unsigned j = 0; j < per; ++j)
            lanes |= (mask_ & lane) << (j * bits % 64);
        size_t u = 0;
        while (u + per <= units) {
            // A block of at most 64 samples from n_.
            const size_t in_block = std::min<size_t>((units - u) / per, 64 / per);
            for (size_t k = 0; k < in_block; ++k, p += 8) {
                uint64_t w;
                std::memcpy(&w, p, 8);
                uint64_t before = prev_;
                if constexpr (bits < 64) before |= w << (bits % 64);
                uint64_t diff = (w ^ before) & lanes;
                while (diff != 0) {
                    const unsigned j = static_cast<unsigned>(std::countr_zero(diff)) / bits;
                    const unsigned at = j * bits % 64;
                    mark(k * per + j, (diff >> at) & lane);
                    diff &= ~(lane << at);
                }
                prev_ = (w >> ((64 - bits) % 64)) & mask_;
            }
            flush();
            n_ += static_cast<isamp>(in_block * per);
            u += in_block * per;
        }
        return u;
    }

    // Samples of one byte (up to eight channels, the usual file), 64 at a time: which
    // channels change in the 64 is found from the eight words each against itself moved up
    // by one sample; each channel that does is then taken out of the 64 bytes as one
    // 64-bit mask of its levels (its bit moved to each byte's top, the tops gathered), and
    // its changes are that mask against itself moved up by one. The work per block is a
    // few instructions per channel that changes, not per change. Returns the samples taken
    // (whole blocks only).
    size_t bytes64(const uint8_t* p, size_t units) {
#if defined(__SSE2__)
        const uint64_t channels = mask_ & 0xFF;
        size_t u = 0;
        for (; u + 64 <= units; u += 64, p += 64) {
            uint64_t any = 0, prev = prev_;
            for (size_t k = 0; k < 8; ++k) {
                uint64_t w;
                std::memcpy(&w, p + 8 * k, 8);
                any |= w ^ ((w << 8) | prev);
                prev = w >> 56;
            }
            any |= any >> 32;
            any |= any >> 16;
            any |= any >> 8;
            any &= channels;
            if (any != 0) {
                __m128i v[4];
                for (size_t q = 0; q < 4; ++q)
                    v[q] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * q));
                for (uint64_t x = any; x != 0; x &= x - 1) {
                    const auto c = static_cast<unsigned>(std::countr_zero(x));
                    const __m128i up = _mm_cvtsi32_si128(static_cast<int>(7 - c));
                    uint64_t levels = 0;
                    for (size_t q = 0; q < 4; ++q)
                        levels |= static_cast<uint64_t>(static_cast<uint16_t>(
                                      _mm_movemask_epi8(_mm_sll_epi64(v[q], up))))
                                  << (16 * q);
                    toggles_[c] = levels ^ ((levels << 1) | ((prev_ >> c) & 1));
                }
                dirty_ = any;
                flush();
            }
            prev_ = p[63] & mask_;
            n_ += 64;
        }
        return u;
#else
        (void)p;
        (void)units;
        return 0;
#endif
    }

    // The channels in x changed at sample n_ + j (j below 64).
    void mark(size_t j, uint64_t x) {
        dirty_ |= x;
        for (; x != 0; x &= x - 1)
            toggles_[static_cast<size_t>(std::countr_zero(x))] |= uint64_t{1} << j;
    }

    // The block's changes from n_ on, a run per channel.
    void flush() {
        if (dirty_ == 0) return;
        for (size_t j = 0; j < times_.size(); ++j) {
            times_[j] = n_ + static_cast<isamp>(j);
            low_[j] = static_cast<uint16_t>(times_[j]);
        }
        // The block's times rise by one a sample: the writer may encode several changes at once.
        for (uint64_t x = dirty_; x != 0; x &= x - 1) {
            const auto c = static_cast<size_t>(std::countr_zero(x));
            levels_[c] =
                writers_[c].append_toggles(times_.data(), low_.data(), toggles_[c], levels_[c]);
            toggles_[c] = 0;
        }
        dirty_ = 0;
    }

    uint64_t load(const uint8_t* p) const {
        uint64_t w;
        std::memcpy(&w, p, 8); // the bits beyond the unit are masked off
        return w & mask_;
    }

    std::vector<trs::store::writer> writers_;
    std::vector<uint64_t> toggles_; // per channel: bit j for a change at n_ + j
    std::vector<uint8_t> levels_;   // per channel: the level before the block
    std::array<isamp, 64> times_{};
    std::array<uint16_t, 64> low_{}; // the low 16 bits of times_
    uint64_t dirty_ = 0;             // the channels with a change in the block
    uint64_t mask_;
    uint64_t prev_ = 0; // the last sample, masked
    isamp n_ = 0;       // samples before the block
};

// The data members into the transitions, in turn, a unit split between two members carried
// over. A deflated member of a sensible size is read compressed and inflated whole with
// libdeflate straight into the buffer the scan reads (about twice as fast as zlib's
// streaming inflate), its CRC-32 checked; any other member (stored, encrypted, too large to
// hold at once) streams through libzip a megabyte at a time.
class member_reader {
public:
    explicit member_reader(const std::string& path) : path_(path) {}
    ~member_reader() {
        if (d_) libdeflate_free_decompressor(d_);
    }
    member_reader(const member_reader&) = delete;
    member_reader& operator=(const member_reader&) = delete;

    void read(zip_t* z, const std::string& m, transitions& tr, size_t unitsize) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat(z, m.c_str(), 0, &st) != 0)
            throw file_error("cannot read " + path_ + ": " + zip_strerror(z));
        constexpr zip_uint64_t whole_limit = 64u << 20;
        const zip_uint64_t need = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD |
                                  ZIP_STAT_ENCRYPTION_METHOD | ZIP_STAT_CRC;
        if ((st.valid & need) == need && st.comp_method == ZIP_CM_DEFLATE &&
            st.encryption_method == ZIP_EM_NONE && st.size <= whole_limit &&
            st.comp_size <= whole_limit)
            whole(z, m, st, tr, unitsize);
        else
            streamed(z, m, tr, unitsize);
    }

private:
    void whole(zip_t* z, const std::string& m, const zip_stat_t& st, transitions& tr,
               size_t unitsize) {
        entry e{zip_fopen(z, m.c_str(), ZIP_FL_COMPRESSED)};
        if (!e.f) throw file_error("cannot read " + path_ + ": " + zip_strerror(z));
        packed_.resize(static_cast<size_t>(st.comp_size));
        if (zip_fread(e.f, packed_.data(), st.comp_size) != static_cast<zip_int64_t>(st.comp_size))
            throw file_error("cannot read " + path_ + ": " + m + " is cut short");
        if (!d_) d_ = libdeflate_alloc_decompressor();
        if (!d_) throw std::bad_alloc();
        const size_t size = static_cast<size_t>(st.size);
        // The carried bytes of a split unit, then the member, then eight bytes of slack.
        room(carry_ + size + 8);
        if (libdeflate_deflate_decompress(d_, packed_.data(), packed_.size(), buf_.get() + carry_,
                                          size, nullptr) != LIBDEFLATE_SUCCESS ||
            libdeflate_crc32(0, buf_.get() + carry_, size) != st.crc)
            throw file_error("cannot read " + path_ + ": " + m + " is damaged");
        add(tr, carry_ + size, unitsize);
    }

    void streamed(zip_t* z, const std::string& m, transitions& tr, size_t unitsize) {
        constexpr size_t piece = 1 << 20;
        room(piece + 8);
        entry e{zip_fopen(z, m.c_str(), 0)};
        if (!e.f) throw file_error("cannot read " + path_ + ": " + zip_strerror(z));
        for (;;) {
            const zip_int64_t got = zip_fread(e.f, buf_.get() + carry_, piece - carry_);
            if (got < 0) throw file_error("cannot read " + path_ + ": " + m + " is damaged");
            if (got == 0) break;
            add(tr, carry_ + static_cast<size_t>(got), unitsize);
        }
    }

    // A buffer of at least n bytes, the carried bytes kept; left uninitialised (every byte
    // the scan reads is written first, the slack only under a mask).
    void room(size_t n) {
        if (n <= size_) return;
        std::unique_ptr<uint8_t[]> b(new uint8_t[n]);
        if (carry_) std::memcpy(b.get(), buf_.get(), carry_);
        buf_ = std::move(b);
        size_ = n;
    }

    // The whole units of the buffer's first `have` bytes; the rest carried to the front.
    void add(transitions& tr, size_t have, size_t unitsize) {
        const size_t units = have / unitsize;
        tr.add(buf_.get(), units, unitsize);
        carry_ = have - units * unitsize;
        std::memmove(buf_.get(), buf_.get() + units * unitsize, carry_);
    }

    const std::string& path_;
    libdeflate_decompressor* d_ = nullptr;
    std::vector<uint8_t> packed_;    // a member's compressed bytes
    std::unique_ptr<uint8_t[]> buf_; // its samples, with eight bytes of slack
    size_t size_ = 0;
    size_t carry_ = 0; // bytes of a unit split between reads
};

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
    // A prefix k, M, G or T, in either case.
    double mult = 1;
    if (!unit.empty()) {
        static constexpr std::pair<char, double> prefixes[] = {
            {'k', 1e3}, {'m', 1e6}, {'g', 1e9}, {'t', 1e12}};
        const char p = static_cast<char>(std::tolower(static_cast<unsigned char>(unit[0])));
        for (const auto& [c, m] : prefixes)
            if (p == c) {
                mult = m;
                unit = trim(unit.substr(1));
                break;
            }
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

    transitions tr(out.stores, total);
    member_reader mr(path);
    for (const auto& m : members)
        mr.read(a.z, m, tr, unitsize);
    if (tr.samples() == 0) throw format_error(path + ": the session holds no samples");
    const isamp n = tr.finish();
    out.length = n;
    return out;
}

} // namespace xport
