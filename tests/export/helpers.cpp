#include "helpers.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace export_test {

namespace {

double unit_seconds(const std::string& u) {
    if (u == "s") return 1;
    if (u == "ms") return 1e-3;
    if (u == "us") return 1e-6;
    if (u == "ns") return 1e-9;
    if (u == "ps") return 1e-12;
    if (u == "fs") return 1e-15;
    ADD_FAILURE() << "timescale unit " << u;
    return 0;
}

} // namespace

vcd_file read_vcd(const std::string& path) {
    vcd_file v;
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << path;
    std::map<std::string, std::string> by_id;
    std::string trig_id;
    std::string tok;
    uint64_t now = 0;
    bool defs = true;
    auto until_end = [&] {
        std::vector<std::string> words;
        std::string w;
        while (in >> w && w != "$end")
            words.push_back(w);
        return words;
    };
    while (in >> tok) {
        if (defs) {
            if (tok == "$timescale") {
                auto w = until_end();
                std::string all;
                for (auto& x : w)
                    all += x;
                size_t i = 0;
                while (i < all.size() && std::isdigit(static_cast<unsigned char>(all[i])))
                    ++i;
                v.timescale = all.substr(0, i) + " " + all.substr(i);
                v.timescale_s = std::stod(all.substr(0, i)) * unit_seconds(all.substr(i));
            } else if (tok == "$var") {
                auto w = until_end();
                EXPECT_EQ(w.size(), 4u);
                if (w.size() != 4) continue;
                if (w[0] == "event") {
                    EXPECT_EQ(w[3], "trigger");
                    trig_id = w[2];
                } else {
                    EXPECT_EQ(w[0], "wire");
                    EXPECT_EQ(w[1], "1");
                    by_id[w[2]] = w[3];
                    v.names.push_back(w[3]);
                    v.wires[w[3]];
                }
            } else if (tok == "$comment") {
                std::string c;
                for (auto& x : until_end())
                    c += (c.empty() ? "" : " ") + x;
                v.comments.push_back(c);
            } else if (tok == "$enddefinitions") {
                until_end();
                defs = false;
            } else if (tok[0] == '$') {
                until_end();
            }
            continue;
        }
        if (tok == "$dumpvars" || tok == "$end") continue;
        if (tok[0] == '#') {
            const uint64_t t = std::stoull(tok.substr(1));
            EXPECT_GE(t, now) << "time goes back";
            now = t;
            v.last_tick = t;
            continue;
        }
        const char val = tok[0];
        const std::string id = tok.substr(1);
        if (id == trig_id) {
            v.trigger_ticks.push_back(now);
            continue;
        }
        const auto it = by_id.find(id);
        EXPECT_NE(it, by_id.end()) << "unknown identifier " << id;
        EXPECT_TRUE(val == '0' || val == '1') << tok;
        if (it == by_id.end()) continue;
        auto& w = v.wires[it->second];
        const int level = val == '1';
        if (!w.empty() && w.back().sample == now)
            w.back().level = level;
        else
            w.push_back({now, level}); // repeats kept: the writer must not emit them
    }
    return v;
}

std::vector<change> in_samples(const std::vector<change>& ticks, double tick_s, double period_s) {
    std::vector<change> out;
    for (const auto& c : ticks) {
        const double s = static_cast<double>(c.sample) * tick_s / period_s;
        const double r = std::round(s);
        EXPECT_NEAR(s, r, 1e-6) << "tick " << c.sample << " off the sample grid";
        out.push_back({static_cast<uint64_t>(r), c.level});
    }
    return out;
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/kestrel_export_XXXXXX";
    const char* p = ::mkdtemp(tmpl);
    EXPECT_NE(p, nullptr);
    path_ = p ? p : "/tmp";
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> temp_dir::entries() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

run_result run(const std::string& command) {
    run_result r;
    std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

bool have_sigrok(std::string& why) {
    // sigrok-cli must see the real libusb, not the virtual bus of the test's directory.
    if (run("env -u LD_LIBRARY_PATH sigrok-cli --version").status == 0) return true;
    const bool root = ::geteuid() == 0;
    const std::string sudo = root ? "" : "sudo -n ";
    if (!root && run("sudo -n true").status != 0) {
        why = "sigrok-cli is not installed and apt-get needs root (no sudo without a password)";
        return false;
    }
    const auto r = run("env -u LD_LIBRARY_PATH DEBIAN_FRONTEND=noninteractive " + sudo +
                       "apt-get install -y -qq sigrok-cli");
    if (run("env -u LD_LIBRARY_PATH sigrok-cli --version").status == 0) return true;
    why = "sigrok-cli could not be installed: " + r.out.substr(0, 400);
    return false;
}

std::vector<uint8_t> decoded_bytes(const std::string& out) {
    std::vector<uint8_t> bytes;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        const auto colon = line.find(": ");
        if (colon == std::string::npos) continue;
        const std::string v = line.substr(colon + 2);
        if (v.size() != 2 || !std::isxdigit(static_cast<unsigned char>(v[0])) ||
            !std::isxdigit(static_cast<unsigned char>(v[1])))
            continue;
        bytes.push_back(static_cast<uint8_t>(std::stoul(v, nullptr, 16)));
    }
    return bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace export_test
