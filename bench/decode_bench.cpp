// Protocol decoders on dense data, edges per second on one core: UART at 8 samples a bit,
// SPI with the clock at a quarter of the sampling rate, I2C at 3.4 MHz, CAN at 1 Mbit/s.
// The same captures as sigrok session files: read and decoded here, and decoded by
// sigrok-cli, timed side by side in one run (sigrok's figures in its own rows).
#include "decode/decoder.h"
#include "decode/store_source.h"
#include "export/sr_reader.h"

#include <kestrel_sim/acquisition.h>

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <zip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// Level changes of some channels, written into stores as they are made.
class builder {
public:
    explicit builder(size_t channels) : cap_(std::make_shared<decode::stored_capture>()) {
        level_.assign(channels, 2);
        for (size_t c = 0; c < channels; ++c)
            cap_->stores.push_back(std::make_unique<trs::store>());
        for (auto& s : cap_->stores)
            w_.emplace_back(*s);
    }
    void set(size_t ch, uint64_t at, uint8_t level) {
        if (level_[ch] == level) return;
        if (level_[ch] != 2) ++edges;
        level_[ch] = level;
        w_[ch].append(static_cast<isamp>(at), level);
    }
    std::shared_ptr<decode::stored_capture> done(uint64_t length, double rate) {
        for (size_t c = 0; c < w_.size(); ++c) {
            w_[c].append_idle(static_cast<isamp>(length), level_[c]);
            w_[c].commit();
        }
        cap_->names.resize(w_.size());
        cap_->length = static_cast<isamp>(length);
        cap_->period = 1 / rate;
        return cap_;
    }
    uint64_t edges = 0;

private:
    std::shared_ptr<decode::stored_capture> cap_;
    std::vector<trs::store::writer> w_;
    std::vector<uint8_t> level_;
};

struct workload {
    std::string name, description, sigrok;
    std::shared_ptr<decode::stored_capture> cap;
    uint64_t edges = 0;
};

// Random bytes back to back, 8N1 at 8 samples a bit.
workload uart(size_t bytes) {
    builder b(1);
    std::mt19937 rng(1);
    uint64_t t = 0;
    b.set(0, 0, 1);
    t = 80;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned v = rng() & 0xFF;
        b.set(0, t, 0);
        for (int k = 0; k < 8; ++k)
            b.set(0, t + 8 * (k + 1), (v >> k) & 1);
        b.set(0, t + 72, 1);
        t += 80;
    }
    const double rate = 8e6;
    return {"uart", "uart rx=0 baud=1000000", "uart:rx=D0:baudrate=1000000 -A uart=rx-data",
            b.done(t + 80, rate), b.edges};
}

// Mode 0, chip select low throughout, a clock edge every second sample.
workload spi(size_t bytes) {
    builder b(3);
    std::mt19937 rng(2);
    b.set(0, 0, 0);
    b.set(1, 0, 0);
    b.set(2, 0, 1);
    b.set(2, 2, 0);
    uint64_t t = 4;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned v = rng() & 0xFF;
        for (int k = 7; k >= 0; --k) {
            b.set(1, t, (v >> k) & 1);
            b.set(0, t + 2, 1);
            b.set(0, t + 4, 0);
            t += 4;
        }
    }
    b.set(2, t + 2, 1);
    return {"spi", "spi clk=0 mosi=1 cs=2", "spi:clk=D0:mosi=D1:cs=D2 -A spi=mosi-data",
            b.done(t + 8, 100e6), b.edges};
}

// 3.4 MHz at 27.2 MHz sampling (8 samples a clock): writes of 64 bytes.
workload i2c(size_t bytes) {
    builder b(2);
    std::mt19937 rng(3);
    uint64_t t = 0;
    auto both = [&](int c, int d) {
        b.set(0, t, static_cast<uint8_t>(c));
        b.set(1, t, static_cast<uint8_t>(d));
        t += 2;
    };
    auto bit = [&](int v) {
        both(0, v);
        both(1, v);
        both(1, v);
        both(0, v);
    };
    auto byte = [&](unsigned v) {
        for (int k = 7; k >= 0; --k)
            bit((v >> k) & 1);
        bit(0);
    };
    both(1, 1);
    for (size_t i = 0; i < bytes; i += 64) {
        both(1, 1);
        both(1, 0);
        both(0, 0);
        byte(0x50 << 1);
        for (size_t k = 0; k < 64; ++k)
            byte(rng() & 0xFF);
        both(0, 0);
        both(1, 0);
        both(1, 1);
    }
    return {"i2c", "i2c scl=0 sda=1", "i2c:scl=D0:sda=D1 -A i2c=data-write", b.done(t + 8, 27.2e6),
            b.edges};
}

// Frames of 8 random bytes at 1 Mbit/s, 8 samples a bit.
workload can(size_t frames) {
    builder b(1);
    std::mt19937 rng(4);
    uint64_t t = 0;
    b.set(0, 0, 1);
    t = 8 * 11;
    for (size_t i = 0; i < frames; ++i) {
        std::vector<uint8_t> data(8);
        for (auto& d : data)
            d = rng() & 0xFF;
        const auto bits = kestrel_sim::signal_t::can_bits(rng() & 0x7FF, i % 4 == 0, data);
        for (const uint8_t v : bits) {
            b.set(0, t, v);
            t += 8;
        }
    }
    return {"can", "can rx=0 bitrate=1000000", "can:can_rx=D0:nominal_bitrate=1000000 -A can=data",
            b.done(t + 8, 8e6), b.edges};
}

std::map<std::string, workload>& workloads() {
    static std::map<std::string, workload> w = [] {
        std::map<std::string, workload> m;
        for (auto x : {uart(2000000), spi(2000000), i2c(2000000), can(100000)})
            m[x.name] = x;
        return m;
    }();
    return w;
}

void BM_decode(benchmark::State& state, const std::string& which) {
    const auto& w = workloads().at(which);
    const auto src = std::make_shared<decode::stored_source>(w.cap);
    size_t frames = 0;
    for (auto _ : state) {
        decode::session s(src, w.description);
        std::vector<decode::frame> buf(4096);
        bool more = true;
        frames = 0;
        while (more)
            frames += s.read(buf.data(), buf.size(), more);
        benchmark::DoNotOptimize(frames);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.edges));
    state.counters["edges"] = static_cast<double>(w.edges);
    state.counters["frames"] = static_cast<double>(frames);
}

// The floor under every decoder: the edge core reading the same channels, doing nothing
// with the edges.
void BM_edges(benchmark::State& state, const std::string& which) {
    const auto& w = workloads().at(which);
    const auto src = std::make_shared<decode::stored_source>(w.cap);
    for (auto _ : state) {
        uint64_t sum = 0;
        for (unsigned c = 0; c < src->channels(); ++c) {
            decode::edges e(*src, c);
            e.set_horizon(w.cap->length);
            auto v = e.get();
            while (e.has(v))
                sum += v.s[v.pos++];
            e.put(v);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * w.edges));
    state.counters["edges"] = static_cast<double>(w.edges);
}

// The same data as a session file of 8 channels, sample by sample (a cut of it, so that
// sigrok-cli takes a few seconds).
std::string session_file(const workload& w, isamp samples) {
    const std::string path =
        std::filesystem::temp_directory_path() / ("kestrel_decode_bench_" + w.name + ".sr");
    std::vector<uint8_t> data(static_cast<size_t>(samples), 0);
    for (size_t c = 0; c < w.cap->stores.size(); ++c) {
        std::vector<uint64_t> s(1 << 16);
        std::vector<uint8_t> l(1 << 16);
        isamp from = 0, at = 0;
        uint8_t level = 0;
        for (;;) {
            const size_t n = w.cap->stores[c]->read(from, s.data(), l.data(), s.size());
            for (size_t i = 0; i < n; ++i) {
                const isamp until = std::min<isamp>(samples, isamp(s[i]));
                for (; at < until; ++at)
                    data[size_t(at)] |= static_cast<uint8_t>(level << c);
                level = l[i];
            }
            if (n < s.size() || isamp(s[n - 1]) >= samples) break;
            from = isamp(s[n - 1]) + 1;
        }
        for (; at < samples; ++at)
            data[size_t(at)] |= static_cast<uint8_t>(level << c);
    }
    const auto hz = static_cast<uint64_t>(1 / w.cap->period + 0.5);
    std::string meta = "[global]\nsigrok version=0.5.2\n\n[device 1]\ncapturefile=logic-1\n"
                       "total probes=8\nsamplerate=" +
                       std::to_string(hz) + " Hz\ntotal analog=0\n";
    for (int p = 1; p <= 8; ++p)
        meta += "probe" + std::to_string(p) + "=D" + std::to_string(p - 1) + "\n";
    meta += "unitsize=1\n";
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    zip_file_add(z, "version", zip_source_buffer(z, "2", 1, 0), 0);
    zip_file_add(z, "metadata", zip_source_buffer(z, meta.data(), meta.size(), 0), 0);
    const size_t chunk = 4 << 20;
    for (size_t off = 0, k = 1; off < data.size(); off += chunk, ++k) {
        const std::string name = "logic-1-" + std::to_string(k);
        zip_file_add(z, name.c_str(),
                     zip_source_buffer(z, data.data() + off, std::min(chunk, data.size() - off), 0),
                     0);
    }
    zip_close(z);
    return path;
}

// Samples of each file: sigrok-cli's decoders run at well under a million edges a second.
isamp file_samples(const std::string& which) {
    if (which == "uart") return 4000000;
    if (which == "spi") return 2000000;
    if (which == "i2c") return 2000000;
    return 4000000;
}

uint64_t edges_before(const decode::stored_capture& cap, isamp samples) {
    uint64_t n = 0;
    std::vector<uint64_t> s(1 << 16);
    std::vector<uint8_t> l(1 << 16);
    for (const auto& st : cap.stores) {
        isamp from = 1;
        for (;;) {
            const size_t got = st->read(from, s.data(), l.data(), s.size());
            size_t i = 0;
            while (i < got && isamp(s[i]) < samples)
                ++i;
            n += i;
            if (i < got || got < s.size()) break;
            from = isamp(s[got - 1]) + 1;
        }
    }
    return n;
}

// Ours: read the session file into stores and decode it.
void BM_file(benchmark::State& state, const std::string& which) {
    const auto& w = workloads().at(which);
    const isamp n = file_samples(which);
    const std::string path = session_file(w, n);
    size_t frames = 0;
    for (auto _ : state) {
        auto cap = std::make_shared<decode::stored_capture>(xport::read_sr(path));
        std::string description = w.description;
        decode::session s(std::make_shared<decode::stored_source>(cap), description);
        std::vector<decode::frame> buf(4096);
        bool more = true;
        frames = 0;
        while (more)
            frames += s.read(buf.data(), buf.size(), more);
    }
    const uint64_t edges = edges_before(*w.cap, n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * edges));
    state.counters["edges"] = static_cast<double>(edges);
    state.counters["frames"] = static_cast<double>(frames);
}

// sigrok-cli on the same file: the processor time of the process.
void BM_sigrok_file(benchmark::State& state, const std::string& which) {
    const auto& w = workloads().at(which);
    const isamp n = file_samples(which);
    const std::string path = session_file(w, n);
    if (std::system("env -u LD_LIBRARY_PATH sigrok-cli --version >/dev/null 2>&1") != 0) {
        state.SkipWithError("sigrok-cli is not installed");
        return;
    }
    const std::string cmd =
        "env -u LD_LIBRARY_PATH sigrok-cli -i " + path + " -P " + w.sigrok + " >/dev/null";
    // Its processor time (the machine is shared: wall time counts the others), wall time
    // beside it.
    auto children = [] {
        rusage r{};
        getrusage(RUSAGE_CHILDREN, &r);
        return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
    };
    double wall = 0;
    for (auto _ : state) {
        const double c0 = children();
        const auto t0 = std::chrono::steady_clock::now();
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("sigrok-cli failed");
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(children() - c0);
    }
    state.counters["wall_ms"] = wall * 1e3;
    const uint64_t edges = edges_before(*w.cap, n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * edges));
    state.counters["edges"] = static_cast<double>(edges);
}

} // namespace

int main(int argc, char** argv) {
    for (const char* p : {"uart", "spi", "i2c", "can"}) {
        benchmark::RegisterBenchmark((std::string("BM_decode/") + p).c_str(), BM_decode,
                                     std::string(p))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("BM_edges/") + p).c_str(), BM_edges,
                                     std::string(p))
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("BM_file/") + p).c_str(), BM_file, std::string(p))
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime();
        benchmark::RegisterBenchmark((std::string("BM_sigrok_file/") + p).c_str(), BM_sigrok_file,
                                     std::string(p))
            ->Unit(benchmark::kMillisecond)
            ->UseManualTime()
            ->Iterations(1);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
