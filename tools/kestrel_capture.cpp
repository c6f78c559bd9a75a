// kestrel-capture: one capture from a KESTREL device to a VCD, sigrok session or CSV file,
// through the exported interface only.
#include <kestrelapi.h>

#include <CLI/CLI.hpp>

#include "frame_format.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <glob.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

// Exit codes, also listed in --help.
enum exit_code : int {
    exit_ok = 0,
    exit_failure = 1, // anything not below
    exit_usage = 2,
    exit_no_device = 3,
    exit_no_trigger = 4,
    exit_aborted = 5,
    exit_device_error = 6,
    exit_file_error = 7,
};

constexpr auto poll_interval = 50ms;
constexpr auto settle_limit = 60s;    // abort or close until the device is ready again
constexpr auto configure_limit = 30s; // beyond --timeout, until the device is configured
// Streaming without a new sample. The library ends a stalled stream itself (after at most
// about a minute at the lowest rate, where idle stretches arrive every 30 s); this is the
// last resort.
constexpr auto stall_limit = 120s;

std::atomic<bool> interrupted{false};
extern "C" void on_signal(int) {
    interrupted = true;
}

// The tool's own output. The library's log lines go to standard error with --verbose and
// nowhere without it (every handle gets the callback below).
std::FILE* out = stdout;
bool verbose = false;

extern "C" void library_line(void*, int level, const char* line) {
    static const char* const names[] = {"debug", "info", "warning", "error"};
    std::fprintf(stderr, "kestrel %s: %s\n", names[level >= 0 && level <= 3 ? level : 0], line);
}

std::string library_version() {
    uint32_t major = 0, minor = 0, patch = 0;
    if (kestrelapi_get_library_version(&major, &minor, &patch) != OHWAPI_OK) return "?";
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
}

struct failure {
    int exit;
    std::string message;
};

std::string code_text(int rc) {
    return std::string(kestrelapi_error_name(rc)) + " (" + std::to_string(rc) + ")";
}

void check(int rc, const std::string& what, int exit = exit_device_error) {
    if (rc != OHWAPI_OK) throw failure{exit, what + ": " + code_text(rc)};
}

// 250M, 1.5k, 1e7, 100000: a count with an optional k, M or G (and Hz for a rate: 10MHz).
uint64_t parse_count(const std::string& s, const std::string& what) {
    size_t used = 0;
    double v = 0;
    try {
        v = std::stod(s, &used);
    } catch (...) {
        throw failure{exit_usage, "invalid " + what + " '" + s + "'"};
    }
    double mult = 1;
    std::string rest = s.substr(used);
    if (what == "rate" && rest.size() >= 2 && (rest.ends_with("Hz") || rest.ends_with("hz")))
        rest.resize(rest.size() - 2);
    if (rest == "k" || rest == "K")
        mult = 1e3;
    else if (rest == "M")
        mult = 1e6;
    else if (rest == "G")
        mult = 1e9;
    else if (!rest.empty())
        throw failure{exit_usage, "invalid " + what + " '" + s + "'"};
    const double r = std::round(v * mult);
    if (!(r > 0) || r > 1e15 || std::fabs(r - v * mult) > 1e-6 * r)
        throw failure{exit_usage, "invalid " + what + " '" + s + "'"};
    return static_cast<uint64_t>(r);
}

struct model_info {
    kestrelapi_model_t model;
    const char* name;
    unsigned channels;
};

std::optional<model_info> model_of(const std::string& sn) {
    if (sn.rfind("7302101", 0) == 0) return model_info{kestrel_one, "KESTREL ONE", 18};
    if (sn.rfind("7302102", 0) == 0) return model_info{kestrel_two, "KESTREL TWO", 36};
    if (sn.rfind("7302103", 0) == 0) return model_info{kestrel_three, "KESTREL THREE", 54};
    return std::nullopt;
}

// A handle freed on every path; its device closed first when it was opened.
class handle {
public:
    explicit handle(kestrelapi_model_t m) {
        check(kestrelapi_create_new_handle(&h_, m), "cannot create a handle", exit_failure);
        kestrelapi_set_log_callback(h_, verbose ? library_line : nullptr_line, nullptr);
    }
    ~handle() {
        if (opened_) close();
        kestrelapi_free(h_);
    }
    handle(const handle&) = delete;
    handle& operator=(const handle&) = delete;
    kestrelapi_handle get() const { return h_; }
    // The library's reason for the last failed launch, export or open.
    std::string reason() const {
        char text[512] = "";
        if (kestrelapi_get_last_error_text(h_, text, sizeof text) != OHWAPI_OK) return "";
        return text;
    }
    // Fails with what, the code and the library's reason when it says more than the code.
    void check_call(int rc, const std::string& what, int exit = exit_device_error) const {
        if (rc == OHWAPI_OK) return;
        const std::string why = reason();
        std::string msg = what + ": " + code_text(rc);
        if (!why.empty() && why != kestrelapi_error_name(rc)) msg += ": " + why;
        throw failure{exit, msg};
    }

    std::vector<std::pair<std::string, std::string>> list() {
        // The virtual device refuses to be listed, as an invalid parameter, when its
        // description in the environment (KESTREL_SIM_SIGNALS, ...) has a mistake, which
        // it says on standard error: an argument of the run that is wrong.
        constexpr int refused_as_invalid = OHWAPI_USB_ERRORS - 2; // LIBUSB_ERROR_INVALID_PARAM
        const int rc = kestrelapi_create_device_list(h_);
        check(rc, "cannot list devices", rc == refused_as_invalid ? exit_usage : exit_device_error);
        uint16_t n = 0;
        check(kestrelapi_get_devices_count(h_, &n), "cannot list devices");
        std::vector<std::pair<std::string, std::string>> found;
        for (uint16_t i = 0; i < n && i < 256; ++i) {
            device_descriptor_t d{nullptr, nullptr};
            if (kestrelapi_get_device_descriptor(h_, static_cast<uint8_t>(i), &d) != OHWAPI_OK)
                continue;
            found.emplace_back(d.sn ? d.sn : "", d.desc ? d.desc : "");
            kestrelapi_free_device_descriptor(&d);
        }
        kestrelapi_free_device_list(h_);
        return found;
    }
    void open(std::string sn, std::string desc) {
        device_descriptor_t d{sn.data(), desc.data()};
        check_call(kestrelapi_device_open(h_, d), "cannot open " + sn);
        opened_ = true;
    }
    bool flag(ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
        bool f = false;
        return getter(h_, &f) == OHWAPI_OK && f;
    }
    bool wait_ready(std::chrono::milliseconds limit) {
        const auto end = steady::now() + limit;
        while (!flag(kestrelapi_get_ready_flag)) {
            if (steady::now() > end) return false;
            std::this_thread::sleep_for(poll_interval);
        }
        return true;
    }
    void close() {
        opened_ = false;
        if (kestrelapi_device_close(h_) != OHWAPI_OK) return;
        const auto end = steady::now() + settle_limit;
        while (flag(kestrelapi_get_device_open_flag) || !flag(kestrelapi_get_ready_flag)) {
            if (steady::now() > end) break;
            std::this_thread::sleep_for(poll_interval);
        }
    }

private:
    static void nullptr_line(void*, int, const char*) {}
    kestrelapi_handle h_ = nullptr;
    bool opened_ = false;
};

int list_devices() {
    std::vector<std::pair<std::string, std::string>> found;
    {
        handle h(kestrel_one);
        found = h.list();
    }
    if (found.empty()) throw failure{exit_no_device, "no KESTREL device found"};
    std::vector<std::string> reasons;
    std::fprintf(out, "%-15s %-14s %-8s %-6s %-6s\n", "SERIAL", "MODEL", "CHANNELS", "MCU", "FPGA");
    for (const auto& [sn, desc] : found) {
        const auto m = model_of(sn);
        if (!m) {
            std::fprintf(out, "%-15s %-14s\n", sn.c_str(), "unknown model");
            continue;
        }
        std::string mcu = "?", fpga = "?";
        std::string why; // said below the table, not in the columns
        try {
            handle h(m->model);
            h.open(sn, desc);
            uint8_t a = 0, b = 0, c = 0, d = 0;
            if (kestrelapi_get_mcu_version_major(h.get(), &a) == OHWAPI_OK &&
                kestrelapi_get_mcu_version_minor(h.get(), &b) == OHWAPI_OK)
                mcu = std::to_string(a) + "." + std::to_string(b);
            if (kestrelapi_get_fpga_version_major(h.get(), &c) == OHWAPI_OK &&
                kestrelapi_get_fpga_version_minor(h.get(), &d) == OHWAPI_OK)
                fpga = std::to_string(c) + "." + std::to_string(d);
        } catch (const failure& f) {
            why = f.message;
        }
        std::fprintf(out, "%-15s %-14s %-8u %-6s %-6s\n", sn.c_str(), m->name, m->channels,
                     mcu.c_str(), fpga.c_str());
        if (!why.empty()) reasons.push_back(why);
    }
    for (const auto& why : reasons)
        std::fprintf(stderr, "kestrel-capture: %s\n", why.c_str());
    return exit_ok;
}

// The external input keeps the simple launch; everything else is a trigger program (the
// older forms "3:rising", "any:change", "none" are aliases the library compiles).
struct trigger_choice {
    bool external = false;
    bool external_rising = true;
};

trigger_choice parse_trigger(const std::string& s) {
    trigger_choice t;
    std::string l = s;
    std::transform(l.begin(), l.end(), l.begin(), ::tolower);
    l.erase(std::remove_if(l.begin(), l.end(), ::isspace), l.end());
    if (l == "ext:rising" || l == "ext_rising" || l == "ext:falling" || l == "ext_falling") {
        t.external = true;
        t.external_rising = l.find("rising") != std::string::npos;
    }
    return t;
}

const char* const order_names[] = {"a-or-b", "a-then-b", "b-then-a", "a-and-b"};

uint8_t parse_order(const std::string& s) {
    for (uint8_t i = 0; i < 4; ++i)
        if (s == order_names[i] || s == std::to_string(i)) return i;
    throw failure{exit_usage, "invalid order '" + s + "' (a-or-b, a-then-b, b-then-a, a-and-b)"};
}

// Compiles the programs of both engines into the handle; a refused one is a usage error
// with the library's reason.
void set_programs(kestrelapi_handle h, const std::string& a, const std::string& b) {
    const std::pair<const char*, const std::string*> engines[] = {{"--trigger", &a},
                                                                  {"--trigger-b", &b}};
    for (uint8_t e = 0; e < 2; ++e) {
        char why[512] = "";
        const int rc =
            kestrelapi_set_trigger_program(h, e, engines[e].second->c_str(), why, sizeof why);
        if (rc == OHWAPI_INVALID_ARGUMENT)
            throw failure{exit_usage, std::string("invalid ") + engines[e].first + " '" +
                                          *engines[e].second + "': " + why};
        check(rc, std::string("cannot set ") + engines[e].first, exit_failure);
    }
}

// The channels named with --name, CH=NAME each.
using channel_names = std::vector<std::pair<unsigned, std::string>>;

channel_names parse_names(const std::vector<std::string>& given) {
    channel_names out;
    for (const auto& n : given) {
        const auto eq = n.find('=');
        size_t used = 0;
        unsigned long ch = 0;
        try {
            ch = std::stoul(n.substr(0, eq), &used);
        } catch (...) {
            used = 0;
        }
        if (eq == std::string::npos || used == 0 || used != eq || ch > 255)
            throw failure{exit_usage, "invalid --name '" + n + "' (use CH=NAME)"};
        out.emplace_back(static_cast<unsigned>(ch), n.substr(eq + 1));
    }
    return out;
}

// The name each channel of the model will carry in the file. Two channels of one name
// are refused: sigrok's decoders pick channels by name.
void check_names(const channel_names& names, unsigned channels) {
    std::vector<std::string> final(channels);
    for (unsigned ch = 0; ch < channels; ++ch)
        final[ch] = "ch" + std::to_string(ch);
    for (const auto& [ch, name] : names) {
        if (ch >= channels)
            throw failure{exit_usage, "--name " + std::to_string(ch) + "=" + name + ": channel " +
                                          std::to_string(ch) + " is outside 0.." +
                                          std::to_string(channels - 1)};
        if (!name.empty()) final[ch] = name;
    }
    for (unsigned a = 0; a < channels; ++a)
        for (unsigned b = a + 1; b < channels; ++b)
            if (final[a] == final[b])
                throw failure{exit_usage, "--name: channels " + std::to_string(a) + " and " +
                                              std::to_string(b) + " are both named '" + final[a] +
                                              "' (sigrok's decoders tell channels apart by name)"};
}

// The channel a name stands for, if it is one given with --name (the last one wins).
std::optional<unsigned> named_channel(const channel_names& names, const std::string& word) {
    std::optional<unsigned> found;
    for (const auto& [ch, name] : names)
        if (name == word)
            found = ch;
        else if (found == ch)
            found.reset(); // renamed again
    return found;
}

// A trigger program whose words may be channel names: each such word becomes chN (or N in
// the older "N:rising" forms). Words of the language itself are never taken for names.
std::string with_channel_numbers(const std::string& program, const channel_names& names) {
    static const char* const keywords[] = {"ch",     "rise",  "rising", "fall",  "falling",
                                           "change", "high",  "low",    "pulse", "any",
                                           "within", "after", "none",   "ext"};
    auto word_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    std::string out;
    size_t i = 0;
    while (i < program.size()) {
        if (!word_char(program[i])) {
            out.push_back(program[i++]);
            continue;
        }
        size_t end = i;
        while (end < program.size() && word_char(program[end]))
            ++end;
        const std::string word = program.substr(i, end - i);
        std::string lower = word;
        std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
        const bool keyword =
            std::find(std::begin(keywords), std::end(keywords), lower) != std::end(keywords);
        const auto ch = keyword ? std::nullopt : named_channel(names, word);
        if (!ch) {
            out += word;
        } else {
            const bool alias =
                (end < program.size() && program[end] == ':') || (i > 0 && program[i - 1] == ':');
            out += (alias ? "" : "ch") + std::to_string(*ch);
        }
        i = end;
    }
    return out;
}

// "0-7,12,uart": the channels, as the 128-bit mask of the export functions; names given
// with --name stand for their channels.
std::pair<uint64_t, uint64_t> parse_channels(const std::string& s, unsigned channels,
                                             const channel_names& names = {}) {
    uint64_t lo = 0, hi = 0;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t comma = std::min(s.find(',', start), s.size());
        const std::string part = s.substr(start, comma - start);
        if (const auto named = named_channel(names, part)) {
            if (*named < channels) (*named < 64 ? lo : hi) |= uint64_t{1} << (*named % 64);
            start = comma + 1;
            continue;
        }
        const size_t dash = part.find('-');
        unsigned a = 0, b = 0;
        try {
            size_t used = 0;
            a = static_cast<unsigned>(std::stoul(part.substr(0, dash), &used));
            if (used != (dash == std::string::npos ? part.size() : dash)) throw 0;
            b = a;
            if (dash != std::string::npos) {
                b = static_cast<unsigned>(std::stoul(part.substr(dash + 1), &used));
                if (used != part.size() - dash - 1) throw 0;
            }
        } catch (...) {
            throw failure{exit_usage, "invalid channel list '" + s + "'"};
        }
        if (a > b)
            throw failure{exit_usage, "channels '" + part + "': the range is reversed (" +
                                          std::to_string(a) + " > " + std::to_string(b) +
                                          "), write " + std::to_string(b) + "-" +
                                          std::to_string(a)};
        if (b >= channels)
            throw failure{exit_usage, "channels '" + part + "' are not within 0.." +
                                          std::to_string(channels - 1)};
        for (unsigned ch = a; ch <= b; ++ch)
            (ch < 64 ? lo : hi) |= uint64_t{1} << (ch % 64);
        start = comma + 1;
    }
    return {lo, hi};
}

std::string lower_extension(const std::string& path) {
    const auto dot = path.rfind('.');
    const auto slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string e = path.substr(dot);
    std::transform(e.begin(), e.end(), e.begin(), ::tolower);
    return e;
}

// The file the library writes beside path before renaming it into place.
std::string temp_pattern(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    return dir + "." + base + ".XXXXXX";
}

// Fails before the capture rather than after it: the library writes a file beside path
// and renames it into place, so that is what must work.
void check_writable(const std::string& path) {
    auto cannot = [&](int err) {
        return failure{exit_file_error, "cannot write " + path + ": " + std::strerror(err)};
    };
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) throw cannot(EISDIR);
    if (!path.empty() && path.back() == '/') throw cannot(EISDIR);
    std::string probe = temp_pattern(path);
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) throw cannot(errno);
    ::close(fd);
    ::unlink(probe.c_str());
}

// Bytes the library has written so far into its file beside path.
long long bytes_written(const std::string& path) {
    std::string pattern = temp_pattern(path);
    pattern.replace(pattern.size() - 6, 6, "??????");
    glob_t g;
    long long size = 0;
    if (::glob(pattern.c_str(), 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            struct stat st;
            if (::stat(g.gl_pathv[i], &st) == 0) size = std::max<long long>(size, st.st_size);
        }
    ::globfree(&g);
    return size;
}

std::string bytes_text(long long n) {
    char b[32];
    if (n >= 1000000)
        std::snprintf(b, sizeof b, "%.1f MB", static_cast<double>(n) / 1e6);
    else if (n >= 1000)
        std::snprintf(b, sizeof b, "%.1f kB", static_cast<double>(n) / 1e3);
    else
        std::snprintf(b, sizeof b, "%lld B", n);
    return b;
}

std::string hz_text(uint64_t hz) {
    char b[32];
    if (hz >= 1000000 && hz % 1000 == 0)
        std::snprintf(b, sizeof b, "%g MHz", static_cast<double>(hz) / 1e6);
    else if (hz >= 1000)
        std::snprintf(b, sizeof b, "%g kHz", static_cast<double>(hz) / 1e3);
    else
        std::snprintf(b, sizeof b, "%llu Hz", static_cast<unsigned long long>(hz));
    return b;
}

std::string rate_text(double samples_per_s) {
    char b[32];
    if (samples_per_s >= 1e9)
        std::snprintf(b, sizeof b, "%.2f GS/s", samples_per_s / 1e9);
    else if (samples_per_s >= 1e6)
        std::snprintf(b, sizeof b, "%.1f MS/s", samples_per_s / 1e6);
    else if (samples_per_s >= 1e3)
        std::snprintf(b, sizeof b, "%.1f kS/s", samples_per_s / 1e3);
    else
        std::snprintf(b, sizeof b, "%.0f S/s", samples_per_s);
    return b;
}

// 256M, 1.5G, 0: bytes with an optional k, M, G or T (powers of 1024).
uint64_t parse_bytes(const std::string& s, const std::string& what) {
    size_t used = 0;
    double v = -1;
    try {
        v = std::stod(s, &used);
    } catch (...) {
    }
    const std::string rest = s.substr(std::min(used, s.size()));
    const std::string units = "kMGT";
    double mult = 1;
    if (rest.size() == 1 && (units.find(rest[0]) != std::string::npos || rest == "K"))
        mult = std::pow(1024.0, 1 + static_cast<double>(units.find(rest == "K" ? 'k' : rest[0])));
    else if (!rest.empty())
        v = -1;
    if (!(v >= 0) || v * mult > 1e18) throw failure{exit_usage, "invalid " + what + " '" + s + "'"};
    return static_cast<uint64_t>(v * mult);
}

// Resident memory of this process.
long long resident_bytes() {
    long long pages = 0, resident = 0;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * ::sysconf(_SC_PAGE_SIZE);
}

// Bytes of the library's store files: the files this process holds open in dir that have no
// name any more.
long long store_file_bytes(const std::string& dir) {
    long long total = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    if (fds == nullptr) return 0;
    while (const dirent* e = ::readdir(fds)) {
        const std::string fd = std::string("/proc/self/fd/") + e->d_name;
        char target[4096];
        const ssize_t n = ::readlink(fd.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string t(target, static_cast<size_t>(n));
        const std::string gone = " (deleted)";
        if (t.rfind(dir + "/", 0) != 0 || t.size() < gone.size() ||
            t.compare(t.size() - gone.size(), gone.size(), gone) != 0)
            continue;
        struct stat st;
        if (::stat(fd.c_str(), &st) == 0) total += st.st_size;
    }
    ::closedir(fds);
    return total;
}

// One progress line: rewritten in place on a terminal; otherwise a plain line when the
// state changes and at every 10 % of streaming.
class progress {
public:
    progress() : tty_(::isatty(STDERR_FILENO) != 0) {}
    void show(int state, const std::string& text, int percent = -1) {
        if (tty_) {
            if (dirty_ && text == shown_) return; // nothing new to rewrite
            shown_ = text;
            std::fprintf(stderr, "\r\033[K%s", text.c_str());
            std::fflush(stderr);
            dirty_ = true;
            return;
        }
        const int step = percent < 0 ? -1 : percent / 10;
        if (state == state_ && step == step_) return;
        state_ = state;
        step_ = step;
        std::fprintf(stderr, "%s\n", text.c_str());
    }
    void done() {
        if (tty_ && dirty_) std::fprintf(stderr, "\n");
        dirty_ = false;
    }

private:
    bool tty_;
    bool dirty_ = false;
    std::string shown_;
    int state_ = -1;
    int step_ = -2;
};

struct options {
    bool list = false;
    std::string device;
    std::string rate = "250M";
    std::string depth = "1M";
    std::string pre_trigger;
    std::string trigger = "none";
    std::string trigger_b = "none";
    std::string order = "a-or-b";
    bool explain = false;
    unsigned threshold = 1650;
    unsigned vcc = 3300;
    std::string channels;
    std::string output;
    std::string csv_layout = "changes";
    double timeout = 10;
    bool keep_partial = false;
    bool verbose = false;
    std::vector<std::string> names;
    std::vector<std::string> decode;
    bool until_stopped = false;
    double duration = 0; // seconds of streaming with until_stopped; 0: until Ctrl-C
    bool depth_given = false;
    std::string store_budget;
    std::string store_dir;
};

int explain_trigger(const options& o) {
    if (parse_trigger(o.trigger).external)
        throw failure{exit_usage, "'" + o.trigger +
                                      "' is the external trigger input, not a "
                                      "program: nothing to explain"};
    handle h(kestrel_one);
    const channel_names names = parse_names(o.names);
    set_programs(h.get(), with_channel_numbers(o.trigger, names),
                 with_channel_numbers(o.trigger_b, names));
    for (uint8_t e = 0; e < 2; ++e) {
        std::vector<char> text(65536);
        check(kestrelapi_describe_trigger_program(h.get(), e, text.data(),
                                                  static_cast<uint32_t>(text.size())),
              "cannot describe the trigger", exit_failure);
        std::fprintf(out, "engine %c: %s", e == 0 ? 'A' : 'B', text.data());
    }
    std::fprintf(out, "order: %s\n", order_names[parse_order(o.order)]);
    return exit_ok;
}

// What was captured, for the summary line.
struct capture_facts {
    uint64_t rate;
    unsigned channels; // of the model
    bool free_run;     // no trigger asked for: the trigger position is only where it began
};

int export_file(handle& h, const options& o, uint64_t lo, uint64_t hi, const capture_facts& f) {
    const std::string ext = lower_extension(o.output);
    auto write = [&] {
        if (ext == ".vcd") return kestrelapi_export_vcd(h.get(), o.output.c_str(), lo, hi);
        if (ext == ".sr") return kestrelapi_export_sr(h.get(), o.output.c_str(), lo, hi);
        if (o.csv_layout == "columns")
            return kestrelapi_export_csv_columns(h.get(), o.output.c_str(), lo, hi);
        return kestrelapi_export_csv(h.get(), o.output.c_str(), lo, hi);
    };
    // A long capture takes a while to write: show the file growing meanwhile.
    const auto start = steady::now();
    std::atomic<bool> finished{false};
    int rc = OHWAPI_OK;
    std::thread writer([&] {
        rc = write();
        finished = true;
    });
    progress bar;
    while (!finished) {
        const double secs = std::chrono::duration<double>(steady::now() - start).count();
        if (secs > 0.5) {
            // The .sr writer's archive grows where it cannot be measured: no "0 B" then.
            const long long bytes = bytes_written(o.output);
            char b[32];
            std::snprintf(b, sizeof b, "%.0f s", secs);
            bar.show(
                3, "writing " + o.output + (bytes > 0 ? ": " + bytes_text(bytes) + ", " : ", ") + b,
                static_cast<int>(secs) / 10 * 10);
        }
        std::this_thread::sleep_for(poll_interval);
    }
    writer.join();
    bar.done();
    if (rc != OHWAPI_OK) {
        // A refusal of the file system is the library's reason as it stands ("cannot write
        // PATH: No space left on device"): the code would only repeat it.
        const std::string why = h.reason();
        if (why.rfind("cannot ", 0) == 0) throw failure{exit_file_error, why};
        h.check_call(rc, "cannot write " + o.output, exit_file_error);
    }
    const double secs = std::chrono::duration<double>(steady::now() - start).count();
    int64_t total = 0, post = 0;
    kestrelapi_get_available_samples(h.get(), &total, &post);
    bool triggered = false;
    kestrelapi_get_triggered_flag(h.get(), &triggered);
    uint64_t at = 0;
    kestrelapi_get_trigger_position(h.get(), &at);
    const unsigned written =
        lo == 0 && hi == 0
            ? f.channels
            : static_cast<unsigned>(__builtin_popcountll(lo) + __builtin_popcountll(hi));
    struct stat st;
    const long long size = ::stat(o.output.c_str(), &st) == 0 ? st.st_size : 0;
    char when[32];
    std::snprintf(when, sizeof when, "%.1f s", secs);
    std::fprintf(out, "wrote %s: %lld samples at %s, %s, %u channel%s, %s in %s\n",
                 o.output.c_str(), static_cast<long long>(total), hz_text(f.rate).c_str(),
                 f.free_run  ? "no trigger (free run)"
                 : triggered ? ("trigger at " + std::to_string(at)).c_str()
                             : "no trigger",
                 written, written == 1 ? "" : "s", bytes_text(size).c_str(), when);
    return exit_ok;
}

int capture(const options& o) {
    const std::string ext = lower_extension(o.output);
    if (ext != ".vcd" && ext != ".sr" && ext != ".csv")
        throw failure{exit_usage, "output '" + o.output + "': use .vcd, .sr or .csv"};
    const uint64_t rate = parse_count(o.rate, "rate");
    if (rate > 1000000000) throw failure{exit_usage, "--rate " + o.rate + " is outside 1..1G Hz"};
    // Until stopped: as deep as the device goes, or --depth when given.
    const uint64_t depth =
        o.until_stopped && !o.depth_given ? 1000000000000 : parse_count(o.depth, "depth");
    if (o.duration < 0 || o.duration > 1e7)
        throw failure{exit_usage, "--duration must be within 0..10000000 s"};
    const uint64_t budget =
        o.store_budget.empty() ? 0 : parse_bytes(o.store_budget, "--store-budget");
    if (depth < 2 || depth > 1000000000000)
        throw failure{exit_usage, "--depth " + o.depth + " is outside 2..1000G samples (2..10^12)"};
    if (!(o.timeout >= 0 && o.timeout <= 86400))
        throw failure{exit_usage, "--timeout must be within 0..86400 s (0: for ever)"};
    const channel_names names = parse_names(o.names);
    const std::string program_a = with_channel_numbers(o.trigger, names);
    const std::string program_b = with_channel_numbers(o.trigger_b, names);
    const trigger_choice trig = parse_trigger(o.trigger);
    const bool external = trig.external;
    const unsigned threshold_max = external ? 2500 : 3000;
    if (o.threshold > threshold_max)
        throw failure{exit_usage, "--threshold " + std::to_string(o.threshold) + " is outside 0.." +
                                      std::to_string(threshold_max) + " mV" +
                                      (external ? " (with an external trigger)" : "")};
    if (o.vcc != 0 && (o.vcc < 1800 || o.vcc > 3300))
        throw failure{exit_usage,
                      "--vcc " + std::to_string(o.vcc) + " is outside 1800..3300 mV (or 0, off)"};
    const uint8_t order = parse_order(o.order);
    if (trig.external && parse_trigger(o.trigger_b).external)
        throw failure{exit_usage, "--trigger-b cannot be the external input"};
    if (trig.external && o.trigger_b != "none")
        throw failure{exit_usage, "the external trigger input (" + o.trigger +
                                      ") cannot be combined with --trigger-b"};
    // Programs keep the pre-trigger asked for (by default min(5 %, 10000 samples), as the
    // external trigger's simple launch always does).
    const int64_t d = static_cast<int64_t>(depth);
    int64_t post = std::max(static_cast<int64_t>(0.95 * static_cast<double>(d)), d - 10000);
    if (!o.pre_trigger.empty()) {
        int64_t asked;
        if (o.pre_trigger.find('.') != std::string::npos) {
            double r = -1;
            size_t used = 0;
            try {
                r = std::stod(o.pre_trigger, &used);
            } catch (...) {
            }
            if (used != o.pre_trigger.size() || !(r >= 0 && r < 1))
                throw failure{exit_usage, "--pre-trigger " + o.pre_trigger +
                                              ": a ratio is at least 0 and below 1 (or give a "
                                              "count of samples below the depth)"};
            asked = static_cast<int64_t>(r * static_cast<double>(d));
        } else {
            asked = o.pre_trigger == "0"
                        ? 0
                        : static_cast<int64_t>(parse_count(o.pre_trigger, "pre-trigger"));
        }
        if (asked >= d)
            throw failure{exit_usage, "--pre-trigger " + o.pre_trigger +
                                          " is not below the depth (" + std::to_string(d) + ")"};
        // As Python refuses pre_trigger= with the external input: its simple launch always
        // keeps its own, so a request would be silently ignored.
        if (trig.external)
            throw failure{exit_usage, "--pre-trigger cannot be chosen with the external trigger "
                                      "input (" +
                                          o.trigger +
                                          "): it always keeps min(5 % of "
                                          "the depth, 10000) samples before the trigger"};
        post = d - asked;
        if (asked == 0)
            std::fprintf(stderr, "note: a pre-trigger of 0 keeps 10 %% of the depth before "
                                 "the trigger (the device's rule)\n");
    }

    check_writable(o.output);
    // A refused program is known before any device is looked for.
    if (!trig.external) {
        handle probe(kestrel_one);
        set_programs(probe.get(), program_a, program_b);
    }

    // The device: by serial number or the first found.
    std::vector<std::pair<std::string, std::string>> found;
    {
        handle lister(kestrel_one);
        found = lister.list();
    }
    auto dev = found.begin();
    if (!o.device.empty())
        dev = std::find_if(found.begin(), found.end(),
                           [&](const auto& d) { return d.first == o.device; });
    if (dev == found.end())
        throw failure{exit_no_device,
                      o.device.empty() ? "no KESTREL device found" : "no device " + o.device};
    const auto model = model_of(dev->first);
    if (!model) throw failure{exit_no_device, "unknown model of device " + dev->first};
    check_names(names, model->channels);
    const auto [lo, hi] = o.channels.empty() ? std::pair<uint64_t, uint64_t>{0, 0}
                                             : parse_channels(o.channels, model->channels, names);

    handle h(model->model);
    // The store's budget and directory; the default budget is the library's, a quarter of
    // physical memory.
    std::string store_dir = o.store_dir;
    if (store_dir.empty()) {
        const char* env = std::getenv("KESTREL_STORE_DIR");
        store_dir = env != nullptr && *env != '\0' ? env : "/var/tmp";
    }
    if (!o.store_budget.empty() || !o.store_dir.empty()) {
        const uint64_t quarter = static_cast<uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<uint64_t>(::sysconf(_SC_PAGE_SIZE)) / 4;
        h.check_call(kestrelapi_set_store_budget(h.get(), o.store_budget.empty() ? quarter : budget,
                                                 store_dir.c_str()),
                     "--store-dir " + store_dir, exit_usage);
    }
    h.open(dev->first, dev->second);
    for (const auto& [ch, name] : names)
        check(kestrelapi_set_channel_name(h.get(), static_cast<uint8_t>(ch), name.c_str()),
              "invalid --name '" + std::to_string(ch) + "=" + name + "'", exit_usage);

    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    s.sampling_depth = d;
    s.post_trig_depth = post;
    s.s_clk = static_cast<uint32_t>(rate);
    for (auto& t : s.thresh_capture_mv)
        t = static_cast<uint16_t>(o.threshold);
    for (auto& v : s.vcc_gen_mv)
        v = static_cast<uint16_t>(o.vcc);
    s.state_clk_mode = SCLK_DISABLE;
    s.state_clk_src = SCLK_CH9;
    s.timebase_src = TIMEBASE_INTERNAL;
    s.ext_in_threshold_mv = static_cast<uint16_t>(external ? o.threshold : 1000);
    s.ext_trig_out_polarity = trig.external_rising;
    s.trig_order = order;
    if (trig.external) {
        kestrelapi_trigger_description_t ext, none;
        std::memset(&ext, 0, sizeof ext);
        std::memset(&none, 0, sizeof none);
        ext.type = trig.external_rising ? KESTRELAPI_TRG_EXT_RISING : KESTRELAPI_TRG_EXT_FALLING;
        none.type = KESTRELAPI_TRG_NOTRIG;
        h.check_call(kestrelapi_launch_new_capture_simple_trigger(h.get(), ext, none, s),
                     "capture refused");
    } else {
        set_programs(h.get(), program_a, program_b);
        h.check_call(kestrelapi_launch_new_capture_programmed(h.get(), s), "capture refused");
    }

    // Decoders follow the capture as it is stored; a refused description ends it.
    frame_format::printer decoders(out, frame_format::style::text);
    for (size_t i = 0; i < o.decode.size(); ++i) {
        kestrelapi_decoder dec = nullptr;
        char why[256] = "";
        if (kestrelapi_decoder_create(h.get(), o.decode[i].c_str(), &dec, why, sizeof why) !=
            OHWAPI_OK) {
            kestrelapi_request_abort(h.get());
            h.wait_ready(settle_limit);
            throw failure{exit_usage, "--decode '" + o.decode[i] + "': " + why};
        }
        decoders.add(dec, frame_format::decoder_name(o.decode[i], i));
    }
    auto decode_more = [&] {
        if (decoders.empty() || !h.flag(kestrelapi_get_triggered_flag)) return;
        uint64_t trig_pos = 0;
        kestrelapi_get_trigger_position(h.get(), &trig_pos);
        ohwapi_err_code_t rc = OHWAPI_OK;
        decoders.drain(1.0 / static_cast<double>(rate), static_cast<int64_t>(trig_pos), rc);
        if (rc != OHWAPI_OK) throw failure{exit_device_error, "decoding: " + code_text(rc)};
    };

    progress bar;
    const auto launched = steady::now();
    auto seconds = [](double s) {
        return std::chrono::duration_cast<steady::duration>(std::chrono::duration<double>(s));
    };
    // The device waits for the trigger once it is configured and holds the samples kept
    // before the trigger: --timeout counts from then. Configuring itself is bounded apart.
    const auto pre_trigger_time =
        seconds(static_cast<double>(d - post) / static_cast<double>(rate));
    std::optional<steady::time_point> armed;
    const auto configure_deadline = launched + seconds(o.timeout) + configure_limit;
    auto last_growth = launched;
    int64_t last_count = -1;
    std::optional<steady::time_point> stream_start;
    int64_t stream_first = 0;
    const capture_facts facts{rate, model->channels, o.trigger == "none" && o.trigger_b == "none"};
    enum { running, done, timed_out, user_abort, stalled, stopped } outcome = running;
    bool trigger_wait_shown = false;
    while (outcome == running) {
        if (interrupted) {
            // Streaming began with the trigger, whether or not a look saw it yet.
            const bool streaming = stream_start || h.flag(kestrelapi_get_triggered_flag);
            outcome = o.until_stopped && streaming ? stopped : user_abort;
            break;
        }
        if (o.until_stopped && o.duration > 0 && stream_start &&
            steady::now() - *stream_start >= seconds(o.duration)) {
            outcome = stopped;
            break;
        }
        if (h.flag(kestrelapi_get_capture_done_flag)) {
            outcome = done;
            break;
        }
        const int err = kestrelapi_get_last_error(h.get());
        if (err != OHWAPI_OK && h.flag(kestrelapi_get_ready_flag)) {
            bar.done();
            if (err == OHWAPI_STORE_FULL) {
                // Everything stored until the disk was full is kept: write it.
                const std::string why = h.reason();
                export_file(h, o, lo, hi, facts);
                throw failure{exit_device_error, "capture ended, the store is full: " + why +
                                                     " (wrote what was stored)"};
            }
            throw failure{exit_device_error, "capture failed: " + code_text(err)};
        }
        const auto now = steady::now();
        if (!h.flag(kestrelapi_get_triggered_flag)) {
            const bool configured = h.flag(kestrelapi_get_config_done_flag);
            if (configured && !armed) armed = now + pre_trigger_time;
            if (!configured)
                bar.show(0, "configuring");
            else if (now < *armed)
                bar.show(4, "keeping " + std::to_string(d - post) + " samples before the trigger");
            else
                bar.show(1, "waiting for trigger");
            trigger_wait_shown = configured && now >= *armed;
            // --timeout 0 waits for ever (Ctrl-C still ends it).
            if (armed ? o.timeout > 0 && now > *armed + seconds(o.timeout)
                      : now > configure_deadline)
                outcome = timed_out;
        } else {
            int64_t total = 0, post_count = 0;
            kestrelapi_get_available_samples(h.get(), &total, &post_count);
            if (!stream_start) {
                // A trigger that came between two looks still had the device wait for it.
                if (!trigger_wait_shown && !facts.free_run) bar.show(1, "waiting for trigger");
                stream_start = now;
                stream_first = total;
            }
            if (total != last_count) {
                last_count = total;
                last_growth = now;
            } else if (now - last_growth > stall_limit) {
                outcome = stalled;
                break;
            }
            const int pct = static_cast<int>(std::min<int64_t>(100, total * 100 / d));
            const double secs = std::chrono::duration<double>(now - *stream_start).count();
            std::string detail;
            if (secs > 0.2 && total > stream_first) {
                const double r = static_cast<double>(total - stream_first) / secs;
                char b[64];
                std::snprintf(b, sizeof b, ", %s, ETA %.0f s", rate_text(r).c_str(),
                              static_cast<double>(std::max<int64_t>(0, d - total)) / r);
                detail = b;
            }
            if (o.until_stopped) {
                // No end to count down to: the samples so far, their rate, and the memory and
                // disk the store takes.
                std::string line = "streaming " + std::to_string(static_cast<long long>(secs)) +
                                   " s, " + std::to_string(total) + " samples";
                if (secs > 0.2 && total > stream_first)
                    line += ", " + rate_text(static_cast<double>(total - stream_first) / secs);
                line += ", memory " + bytes_text(resident_bytes()) + ", disk " +
                        bytes_text(store_file_bytes(store_dir));
                bar.show(2, line, static_cast<int>(secs) / 10 * 10);
            } else {
                bar.show(2, "streaming " + std::to_string(pct) + " %" + detail, pct);
            }
            decode_more();
        }
        std::this_thread::sleep_for(poll_interval);
    }
    if (outcome == done) {
        // A capture that triggered and ended between two looks still had the device wait.
        if (!trigger_wait_shown && !stream_start && !facts.free_run)
            bar.show(1, "waiting for trigger");
        bar.show(2, "streaming 100 %", 100);
    }
    bar.done();
    if (outcome == done) {
        decode_more();
        const int rc = export_file(h, o, lo, hi, facts);
        decoders.counts(out);
        return rc;
    }

    kestrelapi_request_abort(h.get());
    const bool settled = h.wait_ready(settle_limit);
    if (outcome == timed_out) {
        char b[32];
        std::snprintf(b, sizeof b, "%g", o.timeout);
        throw failure{exit_no_trigger, "no trigger (" + o.trigger + ") within " + b + " s"};
    }
    if (outcome == stalled)
        throw failure{exit_device_error, "streaming stopped: no new sample for 120 s"};
    if (outcome == stopped && settled) {
        int64_t total = 0, post_count = 0;
        kestrelapi_get_available_samples(h.get(), &total, &post_count);
        if (total > 0) return export_file(h, o, lo, hi, facts);
    }
    if (o.keep_partial && settled) {
        int64_t total = 0, post_count = 0;
        kestrelapi_get_available_samples(h.get(), &total, &post_count);
        if (total > 0) {
            export_file(h, o, lo, hi, facts);
            std::fprintf(stderr, "aborted: kept %lld samples\n", static_cast<long long>(total));
            return exit_aborted;
        }
    }
    throw failure{exit_aborted, "aborted, nothing written"};
}

// roff text: backslashes and dashes escaped, no line taken for a request.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\e";
        else if (c == '-')
            out += "\\-";
        else
            out.push_back(c);
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// The manual page's OPTIONS and EXIT STATUS, from the very options and footer --help
// shows: the build writes the page from this, so an option added to the program is in
// its manual page too.
void print_man_options(const CLI::App& app) {
    std::printf(".SH OPTIONS\n");
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->get_group().empty()) continue; // hidden
        std::string names;
        for (const auto& n : opt->get_snames())
            names += (names.empty() ? "" : ", ") + std::string("\\fB") + roff("-" + n) + "\\fR";
        for (const auto& n : opt->get_lnames())
            names += (names.empty() ? "" : ", ") + std::string("\\fB") + roff("--" + n) + "\\fR";
        if (opt->get_items_expected_max() > 0) {
            std::string type = opt->get_type_name();
            type = type.substr(0, type.find(':'));
            names += " \\fI" + roff(type) + "\\fR";
        }
        std::string text = opt->get_description();
        if (!opt->get_default_str().empty()) text += " (default " + opt->get_default_str() + ")";
        std::printf(".TP\n%s\n%s.\n", names.c_str(), roff(text).c_str());
    }
    // The footer's paragraphs: the exit codes are a section of their own.
    const std::string footer = app.get_footer();
    size_t start = 0;
    while (start < footer.size()) {
        const size_t end = std::min(footer.find("\n\n", start), footer.size());
        const std::string para = footer.substr(start, end - start);
        const std::string exits = "Exit codes: ";
        if (para.rfind(exits, 0) == 0)
            std::printf(".SH EXIT STATUS\n%s\n", roff(para.substr(exits.size())).c_str());
        else if (!para.empty())
            std::printf(".PP\n%s\n", roff(para).c_str());
        start = end + 2;
    }
}

} // namespace

// The whole program; a test builds it into its own binary with KESTREL_CAPTURE_EMBEDDED.
int kestrel_capture_main(int argc, char** argv) {
    interrupted = false;
    out = stdout;
    options o;
    CLI::App app{"Captures from a KESTREL logic analyzer into a VCD, sigrok session (.sr) or "
                 "CSV file.",
                 "kestrel-capture"};
    app.add_flag("--list", o.list, "List the attached devices with model and firmware versions");
    app.add_option("-d,--device", o.device,
                   "Serial number of the device (default: the first found); the model follows "
                   "from its prefix 7302101 / 7302102 / 7302103");
    app.add_option("-r,--rate", o.rate,
                   "Sampling rate in Hz, k/M/G suffixes (max 1G): 10M, 10MHz and 1e7 alike")
        ->capture_default_str();
    app.add_option("-n,--depth", o.depth, "Samples to capture, k/M/G suffixes")
        ->capture_default_str();
    app.add_option("--pre-trigger", o.pre_trigger,
                   "Samples before the trigger, as a ratio below 1 (0.1) or a count below the "
                   "depth (5000); default min(5 % of the depth, 10000 samples). 0 keeps 10 % "
                   "of the depth (the device's rule). Not with the external input, which "
                   "always keeps the default");
    app.add_option("-t,--trigger", o.trigger,
                   "Trigger program of engine A, e.g. 'ch3 rise', 'ch3 rise & ch5 high', "
                   "'ch2 pulse high 1us..5us', 'ch3 rise; ch4 fall within 10us' (see the "
                   "README); channel names given with --name stand for their channels; also the "
                   "older CH:rising, CH:falling, CH:change (CH 0..17), any:change and none, or "
                   "the external input ext:rising, ext:falling")
        ->capture_default_str();
    app.add_option("--trigger-b", o.trigger_b, "Trigger program of engine B")
        ->capture_default_str();
    app.add_option("--order", o.order,
                   "How A and B combine: a-or-b (the first), a-then-b, b-then-a, a-and-b (both, "
                   "at the later); an engine without a program leaves the other alone")
        ->capture_default_str();
    app.add_flag("--explain-trigger", o.explain,
                 "Print what the trigger engines will run (steps, trigger clock, time bounds "
                 "in ticks) and exit without capturing");
    app.add_option("--threshold", o.threshold, "Input threshold in millivolts")
        ->capture_default_str();
    app.add_option("--vcc", o.vcc, "Generated I/O supply in millivolts")->capture_default_str();
    app.add_option("-c,--channels", o.channels,
                   "Channels written, e.g. 0-7,12 or names given with --name (default: all of "
                   "the model)");
    app.add_option("--name", o.names,
                   "Channel name in the file, CH=NAME (repeatable; one name per channel)");
    app.add_option("-o,--output", o.output,
                   "Output file; the format follows from the extension: .vcd, .sr, .csv");
    app.add_option("--csv-layout", o.csv_layout,
                   "Layout of a .csv file: changes (a row per level change: "
                   "sample,time,channel,level) or columns (a column per channel, a row per "
                   "change, as sigrok's CSV input reads it)")
        ->check(CLI::IsMember({"changes", "columns"}))
        ->capture_default_str();
    app.add_option("--timeout", o.timeout, "Seconds to wait for the trigger (0: for ever)")
        ->capture_default_str();
    app.add_option("--decode", o.decode,
                   "Decode a bus during the capture and print its frames as they complete, "
                   "e.g. 'uart rx=8 baud=115200', 'spi clk=0 mosi=1 cs=2', 'i2c scl=3 sda=4', "
                   "'can rx=5 bitrate=500000' (repeatable; channels by number or --name)");
    app.add_flag("--keep-partial", o.keep_partial,
                 "On Ctrl-C, write what was captured before stopping");
    app.add_flag("-v,--verbose", o.verbose, "Show the library's log on standard error");
    app.add_flag("--until-stopped", o.until_stopped,
                 "Capture until Ctrl-C (or --duration), then write what was captured; -n, "
                 "when given, is the most it captures. Progress shows samples, memory and disk");
    app.add_option("--duration", o.duration, "With --until-stopped: seconds of streaming")
        ->needs("--until-stopped");
    app.add_option("--store-budget", o.store_budget,
                   "Memory for the captured transitions, k/M/G/T (powers of 1024), 0 for no "
                   "limit; beyond it they go to a file in --store-dir (default: a quarter of "
                   "physical memory)");
    app.add_option("--store-dir", o.store_dir,
                   "Directory of that file, which has no name and goes with the program "
                   "(default: KESTREL_STORE_DIR, else /var/tmp)");
    app.set_version_flag("--version",
                         "kestrel-capture " KESTREL_VERSION " (library " + library_version() + ")");
    app.footer("Progress (waiting for trigger, streaming NN %, rate, ETA) goes to standard "
               "error.\n\nExit codes: 0 done, 1 other failure, 2 bad arguments, 3 no device, "
               "4 no trigger within the timeout, 5 aborted (Ctrl-C), 6 device error, "
               "7 output file cannot be written.");
    bool man_options = false;
    app.add_flag("--man-options", man_options)->group(""); // for the build: see print_man_options
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? exit_ok : exit_usage;
    }
    if (man_options) {
        print_man_options(app);
        return exit_ok;
    }
    o.depth_given = app.count("--depth") > 0;
    if (!o.list && !o.explain && o.output.empty()) {
        std::fprintf(stderr, "kestrel-capture: -o FILE is required (or --list)\n");
        return exit_usage;
    }

    verbose = o.verbose;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    int rc;
    try {
        rc = o.list ? list_devices() : o.explain ? explain_trigger(o) : capture(o);
    } catch (const failure& f) {
        std::fprintf(stderr, "kestrel-capture: %s\n", f.message.c_str());
        rc = f.exit;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrel-capture: %s\n", e.what());
        rc = exit_failure;
    }
    std::fflush(out);
    return rc;
}

#ifndef KESTREL_CAPTURE_EMBEDDED
int main(int argc, char** argv) {
    return kestrel_capture_main(argc, argv);
}
#endif
