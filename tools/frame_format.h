// Decoded frames as the tools print them: a text line (the time from the trigger, the
// sample, the kind, the value in hex and the flags), a CSV row or a JSON line.
#pragma once

#include <kestrelapi.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace frame_format {

enum class style { text, csv, jsonl };

inline const char* kind_name(uint16_t k) {
    static const char* const names[] = {"?",      "DATA",    "DATA_MISO", "START", "REPEATED_START",
                                        "STOP",   "ADDRESS", "ACK",       "NACK",  "BREAK",
                                        "CAN_ID", "CAN_DLC", "CAN_CRC"};
    return k < sizeof names / sizeof names[0] ? names[k] : names[0];
}

// "PARITY_ERROR|FRAMING_ERROR", "" for none.
inline std::string flag_names(uint16_t flags) {
    static const char* const names[] = {"PARITY_ERROR", "FRAMING_ERROR", "READ",  "CRC_ERROR",
                                        "STUFF_ERROR",  "EXTENDED",      "REMOTE"};
    std::string out;
    for (unsigned b = 0; b < sizeof names / sizeof names[0]; ++b)
        if (flags & (1u << b)) out += (out.empty() ? "" : "|") + std::string(names[b]);
    return out;
}

// "1.2.3", the library's version.
inline std::string library_version() {
    uint32_t major = 0, minor = 0, patch = 0;
    if (kestrelapi_get_library_version(&major, &minor, &patch) != OHWAPI_OK) return "?";
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

inline void header(std::FILE* f, style s) {
    if (s == style::csv) std::fputs("decoder,time,start_sample,end_sample,kind,value,flags\n", f);
}

// One frame of decoder `name`; its time counts from the trigger (from sample 0 without one).
inline void print(std::FILE* f, style s, const std::string& name, const kestrelapi_frame_t& x,
                  double period, int64_t trigger) {
    const double t =
        (static_cast<double>(x.start_sample) - static_cast<double>(trigger < 0 ? 0 : trigger)) *
        period;
    const std::string flags = flag_names(x.flags);
    const auto start = static_cast<unsigned long long>(x.start_sample);
    const auto end = static_cast<unsigned long long>(x.end_sample);
    const auto value = static_cast<unsigned long long>(x.value);
    switch (s) {
    case style::text:
        std::fprintf(f, "%s %+.9f s sample %llu %s 0x%llx%s%s\n", name.c_str(), t, start,
                     kind_name(x.kind), value, flags.empty() ? "" : " ", flags.c_str());
        break;
    case style::csv:
        std::fprintf(f, "%s,%.9g,%llu,%llu,%s,%llu,%s\n", name.c_str(), t, start, end,
                     kind_name(x.kind), value, flags.c_str());
        break;
    case style::jsonl:
        std::fprintf(f,
                     "{\"decoder\":\"%s\",\"time\":%.9g,\"start\":%llu,\"end\":%llu,"
                     "\"kind\":\"%s\",\"value\":%llu,\"flags\":\"%s\"}\n",
                     name.c_str(), t, start, end, kind_name(x.kind), value, flags.c_str());
        break;
    }
}

// "uart-1", "spi-2": the description's first word and the decoder's place on the command line.
inline std::string decoder_name(const std::string& description, size_t index) {
    const auto b = description.find_first_not_of(' ');
    const auto e = description.find(' ', b == std::string::npos ? 0 : b);
    const std::string p = b == std::string::npos ? "?" : description.substr(b, e - b);
    return p + "-" + std::to_string(index + 1);
}

} // namespace frame_format

namespace frame_format {

// Decoders over one source (a handle's running capture, a capture object), printing their
// frames as they complete.
class printer {
public:
    printer(std::FILE* f, style s) : f_(f), s_(s) {}
    printer(const printer&) = delete;
    printer& operator=(const printer&) = delete;
    ~printer() {
        for (auto* d : decoders_)
            kestrelapi_decoder_free(d);
    }

    void add(kestrelapi_decoder d, const std::string& name) {
        decoders_.push_back(d);
        names_.push_back(name);
        counts_.push_back(0);
        more_.push_back(true);
    }
    bool empty() const { return decoders_.empty(); }

    // Prints what the decoders have completed so far; false once none may give more. The
    // code of a failed read, else OHWAPI_OK, in `rc`.
    bool drain(double period, int64_t trigger, ohwapi_err_code_t& rc) {
        rc = OHWAPI_OK;
        bool any = false;
        kestrelapi_frame_t buf[4096];
        for (size_t i = 0; i < decoders_.size(); ++i) {
            while (more_[i]) {
                uint32_t n = 0;
                bool more = false;
                rc = kestrelapi_decoder_read(decoders_[i], buf, 4096, &n, &more);
                if (rc != OHWAPI_OK) return false;
                more_[i] = more;
                for (uint32_t k = 0; k < n; ++k)
                    print(f_, s_, names_[i], buf[k], period, trigger);
                counts_[i] += n;
                if (n < 4096) break;
            }
            any = any || more_[i];
        }
        return any;
    }

    // "uart-1: 1234 frames" per decoder.
    void counts(std::FILE* f) const {
        for (size_t i = 0; i < decoders_.size(); ++i)
            std::fprintf(f, "%s: %llu frames\n", names_[i].c_str(),
                         static_cast<unsigned long long>(counts_[i]));
    }

private:
    std::FILE* f_;
    style s_;
    std::vector<kestrelapi_decoder> decoders_;
    std::vector<std::string> names_;
    std::vector<uint64_t> counts_;
    std::vector<bool> more_;
};

} // namespace frame_format
