#include "export/writers.h"

#include "export/output_file.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

namespace xport {

namespace {

// Short identifier codes from the printable range, as VCD readers expect.
std::string id_code(size_t n) {
    std::string s;
    do {
        s.push_back(static_cast<char>('!' + n % 94));
        n /= 94;
    } while (n-- > 0);
    return s;
}

// A reference in $var must be one token.
std::string vcd_name(const std::string& name) {
    std::string s;
    for (char c : name)
        s.push_back(static_cast<unsigned char>(c) <= ' ' || c == 127 ? '_' : c);
    return s.empty() ? "_" : s;
}

} // namespace

uint64_t timescale_t::time_of(isamp sample) const {
    if (ticks) return static_cast<uint64_t>(sample) * ticks;
    return static_cast<uint64_t>(std::llround(static_cast<double>(sample) * fs_ticks));
}

timescale_t vcd_timescale(hw::period period) {
    if (!(period > 0)) throw std::invalid_argument("invalid sampling period");
    static const char* const units[] = {"s", "ms", "us", "ns", "ps", "fs"};
    timescale_t best;
    for (int u = 0; u < 6; ++u) {
        for (int m : {100, 10, 1}) {
            const double ts = m * std::pow(10.0, -3.0 * u);
            const double k = period / ts;
            if (k < 0.999999) continue;
            const double r = std::round(k);
            // Whole ticks, up to the rounding of the division.
            if (std::fabs(k - r) <= std::max(1e-6, k * 1e-12)) {
                best.multiplier = m;
                best.unit = units[u];
                best.ticks = static_cast<uint64_t>(r);
                best.fs_ticks = r;
                return best;
            }
        }
    }
    best.multiplier = 1;
    best.unit = "fs";
    best.ticks = 0;
    best.fs_ticks = period / 1e-15;
    return best;
}

void write_vcd(const capture_t& cap, const std::string& path) {
    const timescale_t ts = vcd_timescale(cap.period);
    output_file out(path);
    std::FILE* f = out.stream();

    std::vector<std::string> ids;
    for (size_t i = 0; i < cap.channels.size(); ++i)
        ids.push_back(id_code(i));
    const std::string trig_id = id_code(cap.channels.size());

    char date[64] = "";
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (::gmtime_r(&now, &tm)) std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", &tm);
    std::fprintf(f, "$date %s $end\n$version kestrel $end\n", date);
    std::fprintf(f, "$comment %lld samples at %llu Hz $end\n", static_cast<long long>(cap.length),
                 static_cast<unsigned long long>(rate_hz(cap.period)));
    if (cap.trigger >= 0)
        std::fprintf(f, "$comment trigger at sample %lld $end\n",
                     static_cast<long long>(cap.trigger));
    else
        std::fprintf(f, "$comment no trigger $end\n");
    std::fprintf(f, "$timescale %d %s $end\n$scope module kestrel $end\n", ts.multiplier, ts.unit);
    for (size_t i = 0; i < cap.channels.size(); ++i)
        std::fprintf(f, "$var wire 1 %s %s $end\n", ids[i].c_str(), vcd_name(cap.names[i]).c_str());
    std::fprintf(f, "$var event 1 %s trigger $end\n", trig_id.c_str());
    std::fprintf(f, "$upscope $end\n$enddefinitions $end\n");

    std::vector<channel_cursor> cur;
    cur.reserve(cap.channels.size());
    for (hw::ich ch : cap.channels)
        cur.emplace_back(cap.iterator_of(ch), 0);

    std::fprintf(f, "#0\n$dumpvars\n");
    for (size_t i = 0; i < cur.size(); ++i)
        std::fprintf(f, "%c%s\n", cur[i].level() ? '1' : '0', ids[i].c_str());
    std::fprintf(f, "$end\n");
    if (cap.trigger == 0) std::fprintf(f, "1%s\n", trig_id.c_str());

    // Merge the channels in time order: (next change, channel position).
    using entry = std::pair<isamp, size_t>;
    std::priority_queue<entry, std::vector<entry>, std::greater<>> due;
    for (size_t i = 0; i < cur.size(); ++i)
        if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
    bool trigger_due = cap.trigger > 0 && cap.trigger < cap.length;
    while (!due.empty() || trigger_due) {
        const isamp t = std::min(due.empty() ? no_sample : due.top().first,
                                 trigger_due ? cap.trigger : no_sample);
        std::fprintf(f, "#%llu\n", static_cast<unsigned long long>(ts.time_of(t)));
        if (trigger_due && cap.trigger == t) {
            std::fprintf(f, "1%s\n", trig_id.c_str());
            trigger_due = false;
        }
        while (!due.empty() && due.top().first == t) {
            const size_t i = due.top().second;
            due.pop();
            cur[i].advance();
            std::fprintf(f, "%c%s\n", cur[i].level() ? '1' : '0', ids[i].c_str());
            if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
        }
    }
    // The end of the capture, so that readers know its length.
    if (cap.length > 0)
        std::fprintf(f, "#%llu\n", static_cast<unsigned long long>(ts.time_of(cap.length)));
    out.commit();
}

} // namespace xport
