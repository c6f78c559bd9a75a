#include "export/writers.h"

#include "export/output_file.h"

#include <functional>
#include <queue>
#include <utility>
#include <vector>

namespace xport {

namespace {

// RFC 4180: quoted only when the name needs it.
std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (char c : s) {
        if (c == '"') q.push_back('"');
        q.push_back(c);
    }
    q.push_back('"');
    return q;
}

void row(std::FILE* f, isamp s, hw::period p, const std::string& channel, int level) {
    std::fprintf(f, "%lld,%.15g,%s,%d\n", static_cast<long long>(s), static_cast<double>(s) * p,
                 channel.c_str(), level);
}

} // namespace

void write_csv(const capture_t& cap, const std::string& path) {
    output_file out(path);
    std::FILE* f = out.stream();
    std::vector<std::string> names;
    for (const auto& n : cap.names)
        names.push_back(csv_field(n));

    std::fprintf(f, "sample,time,channel,level\n");
    std::vector<channel_cursor> cur;
    cur.reserve(cap.channels.size());
    for (hw::ich ch : cap.channels)
        cur.emplace_back(cap.iterator_of(ch), 0);
    for (size_t i = 0; i < cur.size(); ++i)
        row(f, 0, cap.period, names[i], cur[i].level());

    using entry = std::pair<isamp, size_t>;
    std::priority_queue<entry, std::vector<entry>, std::greater<>> due;
    for (size_t i = 0; i < cur.size(); ++i)
        if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
    bool trigger_due = cap.trigger >= 0 && cap.trigger < cap.length;
    while (!due.empty() || trigger_due) {
        const isamp t = due.empty() ? no_sample : due.top().first;
        if (trigger_due && cap.trigger <= t) {
            row(f, cap.trigger, cap.period, "trigger", 1);
            trigger_due = false;
            continue;
        }
        const size_t i = due.top().second;
        due.pop();
        cur[i].advance();
        row(f, t, cap.period, names[i], cur[i].level());
        if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
    }
    out.commit();
}

void write_csv_columns(const capture_t& cap, const std::string& path) {
    output_file out(path);
    std::FILE* f = out.stream();
    const uint64_t rate = rate_hz(cap.period);
    // Comment lines (sigrok's comment leader is ';'), then one caption per column.
    std::fprintf(f, "; %lld samples at %llu Hz, ", static_cast<long long>(cap.length),
                 static_cast<unsigned long long>(rate));
    if (cap.trigger >= 0 && cap.trigger < cap.length)
        std::fprintf(f, "trigger at sample %lld\n", static_cast<long long>(cap.trigger));
    else
        std::fprintf(f, "no trigger\n");
    std::fprintf(f, "; samplerate=%llu\n", static_cast<unsigned long long>(rate));
    std::fprintf(f,
                 "; a row per change; sigrok-cli -I csv:column_formats=-,-,%zul:samplerate=%llu\n",
                 cap.channels.size(), static_cast<unsigned long long>(rate));
    std::fprintf(f, "sample,time");
    for (const auto& n : cap.names)
        std::fprintf(f, ",%s", csv_field(n).c_str());
    std::fprintf(f, "\n");

    std::vector<channel_cursor> cur;
    cur.reserve(cap.channels.size());
    for (hw::ich ch : cap.channels)
        cur.emplace_back(cap.iterator_of(ch), 0);
    std::string levels;
    auto emit = [&](isamp s) {
        levels.clear();
        for (const auto& c : cur) {
            levels.push_back(',');
            levels.push_back(c.level() ? '1' : '0');
        }
        std::fprintf(f, "%lld,%.15g%s\n", static_cast<long long>(s),
                     static_cast<double>(s) * cap.period, levels.c_str());
    };
    emit(0);
    using entry = std::pair<isamp, size_t>;
    std::priority_queue<entry, std::vector<entry>, std::greater<>> due;
    for (size_t i = 0; i < cur.size(); ++i)
        if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
    while (!due.empty()) {
        // Every channel that changes at this sample, then one row.
        const isamp t = due.top().first;
        while (!due.empty() && due.top().first == t) {
            const size_t i = due.top().second;
            due.pop();
            cur[i].advance();
            if (cur[i].next_change() < cap.length) due.emplace(cur[i].next_change(), i);
        }
        emit(t);
    }
    out.commit();
}

} // namespace xport
