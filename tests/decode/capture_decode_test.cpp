// Decoders on captures of the virtual device's buses: the frames equal the payload the
// device sent, equal what sigrok-cli's decoders read from the exported session file, and
// equal what the decoders read from that file; a decoder follows a running capture. Also
// the session reader on files sigrok itself wrote.
#include <kestrel_sim/acquisition.h>

#include <zip.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "../core/api_fixture.h"
#include "../export/helpers.h"
#include "decode/store_source.h"
#include "export/output_file.h"
#include "export/sr_reader.h"
#include "helpers.h"

namespace {

using namespace core_test;
using export_test::run;
using export_test::temp_dir;
namespace k = decode::kind;
namespace fl = decode::flag;

constexpr uint32_t rate = 10000000;
const std::string uart_text = "KESTREL\n";
const std::vector<uint64_t> spi_bytes = {0x81, 0x3C, 0xA5, 0x00, 0xFF};
const std::vector<uint64_t> i2c_bytes = {0x12, 0x34, 0x56};
const std::vector<uint64_t> can_bytes = {0xDE, 0xAD, 0xBE, 0xEF};
const std::vector<uint64_t> can_ext_bytes = {0x01, 0x80};
const char* signals = "8=uart:115200:KESTREL\\n; 0,1,2=spi:1MHz:0x81,0x3C,0xA5,0x00,0xFF;"
                      "3,4=i2c:100kHz:0x50:0x12,0x34,0x56; 5=can:500k:0x123:0xDE,0xAD,0xBE,0xEF;"
                      "6=can:250k:0x1ABCDE01:0x01,0x80";
const std::vector<std::string> descriptions = {"uart rx=8 baud=115200", "spi clk=0 mosi=1 cs=2",
                                               "i2c scl=3 sda=4", "can rx=5 bitrate=500000",
                                               "can rx=ch6 bitrate=250k"};

// The values are the payload over and over, from wherever the capture began.
void expect_repeats(const std::vector<uint64_t>& got, const std::vector<uint64_t>& payload) {
    ASSERT_GE(got.size(), 2 * payload.size());
    size_t off = 0;
    while (off < payload.size() && payload[off] != got[0])
        ++off;
    ASSERT_LT(off, payload.size());
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(got[i], payload[(off + i) % payload.size()]) << "value " << i;
}

void expect_payload(size_t which, const std::vector<decode::frame>& f) {
    SCOPED_TRACE(descriptions[which]);
    for (const auto& x : f)
        EXPECT_EQ(x.flags & ~(fl::extended | fl::read), 0) << decode::kind_name(x.kind);
    switch (which) {
    case 0:
        expect_repeats(decode_test::values(f, k::data),
                       std::vector<uint64_t>(uart_text.begin(), uart_text.end()));
        break;
    case 1:
        expect_repeats(decode_test::values(f, k::data), spi_bytes);
        break;
    case 2: {
        expect_repeats(decode_test::values(f, k::data), i2c_bytes);
        const auto a = decode_test::values(f, k::address);
        EXPECT_EQ(a, std::vector<uint64_t>(a.size(), 0x50));
        EXPECT_EQ(decode_test::values(f, k::nack).size(), 0u);
        EXPECT_GE(decode_test::values(f, k::stop).size() + 1, a.size());
        break;
    }
    case 3:
    case 4: {
        const bool ext = which == 4;
        expect_repeats(decode_test::values(f, k::data), ext ? can_ext_bytes : can_bytes);
        const auto ids = decode_test::values(f, k::can_id);
        EXPECT_EQ(ids, std::vector<uint64_t>(ids.size(), ext ? 0x1ABCDE01 : 0x123));
        EXPECT_EQ(decode_test::values(f, k::ack).size(), ids.size());
        break;
    }
    }
}

// Every frame of a decoder of the exported interface.
std::vector<decode::frame> read_all(kestrelapi_decoder d, uint32_t piece = 4096) {
    std::vector<decode::frame> out;
    std::vector<kestrelapi_frame_t> buf(piece);
    bool more = true;
    for (int guard = 0; more && guard < 1000000; ++guard) {
        uint32_t n = 0;
        EXPECT_EQ(kestrelapi_decoder_read(d, buf.data(), piece, &n, &more), OHWAPI_OK);
        if (n == 0 && more) std::this_thread::sleep_for(1ms);
        for (uint32_t i = 0; i < n; ++i)
            out.push_back({buf[i].start_sample, buf[i].end_sample, buf[i].value, buf[i].kind,
                           buf[i].flags, 0});
    }
    return out;
}

// sigrok-cli's annotations: start sample and text of each line "ss-es name: text".
struct annotation {
    uint64_t ss = 0;
    std::string text;
};
std::vector<annotation> sigrok(const std::string& file, const std::string& decoder) {
    const auto r = run("env -u LD_LIBRARY_PATH sigrok-cli -i " + file + " -P " + decoder +
                       " --protocol-decoder-samplenum");
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<annotation> out;
    std::istringstream in(r.out);
    std::string line;
    const std::regex re("^([0-9]+)-[0-9]+ [^:]+: (.*)$");
    std::smatch m;
    while (std::getline(in, line))
        if (std::regex_match(line, m, re)) out.push_back({std::stoull(m[1]), m[2]});
    return out;
}

// A Kestrel One sending the signals above, opened through a handle.
class decode_capture : public opened_device {
protected:
    void SetUp() override {
        on_bus::SetUp();
        start(family[0]);
        if (HasFatalFailure()) return;
        fw->acq().set_signals(signals);
    }
    void launch(int64_t depth) {
        ASSERT_EQ(kestrelapi_launch_new_capture_simple_trigger(
                      h->get(), trig(KESTRELAPI_TRG_NOTRIG, 0), trig(KESTRELAPI_TRG_NOTRIG, 0),
                      default_settings(depth, rate)),
                  OHWAPI_OK);
    }
    void wait_done() {
        ASSERT_TRUE(eventually(
            [&] {
                return read_flag(h->get(), kestrelapi_get_capture_done_flag) ||
                       kestrelapi_get_last_error(h->get()) != OHWAPI_OK;
            },
            60s));
        ASSERT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
        ASSERT_TRUE(eventually([&] { return read_flag(h->get(), kestrelapi_get_ready_flag); }));
    }
    kestrelapi_decoder create(const std::string& description) {
        kestrelapi_decoder d = nullptr;
        char why[200] = "x";
        EXPECT_EQ(kestrelapi_decoder_create(h->get(), description.c_str(), &d, why, sizeof why),
                  OHWAPI_OK)
            << why;
        EXPECT_STREQ(why, "");
        return d;
    }

    temp_dir dir;
};

TEST_F(decode_capture, frames_equal_the_payload_during_and_after_the_capture) {
    launch(2000000);
    // Created at once: they follow the capture as it is stored.
    std::vector<kestrelapi_decoder> live;
    for (const auto& s : descriptions)
        live.push_back(create(s));
    std::vector<std::vector<decode::frame>> during(descriptions.size());
    for (size_t i = 0; i < descriptions.size(); ++i)
        during[i] = read_all(live[i], 5);
    wait_done();
    for (size_t i = 0; i < descriptions.size(); ++i) {
        const auto d = create(descriptions[i]);
        const auto after = read_all(d);
        expect_payload(i, after);
        EXPECT_EQ(decode_test::items(during[i]), decode_test::items(after)) << descriptions[i];
        EXPECT_EQ(kestrelapi_decoder_free(d), OHWAPI_OK);
        EXPECT_EQ(kestrelapi_decoder_free(live[i]), OHWAPI_OK);
    }
}

TEST_F(decode_capture, the_exported_file_decodes_alike_here_and_in_sigrok) {
    launch(2000000);
    wait_done();
    const std::string sr = dir.file("buses.sr");
    ASSERT_EQ(kestrelapi_export_sr(h->get(), sr.c_str(), 0, 0), OHWAPI_OK);
    auto file = std::make_shared<decode::stored_capture>(xport::read_sr(sr));
    EXPECT_EQ(file->length, 2000000);
    EXPECT_EQ(file->names[8], "ch8");
    std::vector<std::vector<decode::frame>> ours(descriptions.size());
    for (size_t i = 0; i < descriptions.size(); ++i) {
        const auto d = create(descriptions[i]);
        ours[i] = read_all(d);
        kestrelapi_decoder_free(d);
        // The file holds the same transitions: the same frames at the same samples.
        const auto from_file = decode_test::decode_all(file, descriptions[i]);
        ASSERT_EQ(from_file.size(), ours[i].size()) << descriptions[i];
        for (size_t x = 0; x < from_file.size(); ++x) {
            EXPECT_EQ(from_file[x].start_sample, ours[i][x].start_sample);
            EXPECT_EQ(from_file[x].value, ours[i][x].value);
        }
    }

    std::string why;
    if (!export_test::have_sigrok(why)) GTEST_SKIP() << why;
    // sigrok's values in order, and where they start: within one bit of ours. sigrok
    // also reads the frames the capture cut at its start and end, which ours leave out.
    auto compare = [&](const std::vector<decode::frame>& f, uint16_t kind,
                       const std::vector<annotation>& theirs, const std::regex& value, double bit,
                       double offset) {
        std::vector<decode::frame> mine;
        for (const auto& x : f)
            if (x.kind == kind) mine.push_back(x);
        ASSERT_FALSE(mine.empty());
        const double first = double(mine.front().start_sample) + offset - bit;
        const double last = double(mine.back().start_sample) + offset + bit;
        std::vector<annotation> vals;
        for (const auto& a : theirs)
            if (std::regex_search(a.text, value) && double(a.ss) >= first && double(a.ss) <= last)
                vals.push_back(a);
        ASSERT_EQ(vals.size(), mine.size()) << decode::kind_name(kind);
        for (size_t x = 0; x < mine.size(); ++x) {
            std::smatch m;
            std::regex_search(vals[x].text, m, value);
            EXPECT_EQ(std::stoull(m[1], nullptr, 16), mine[x].value) << vals[x].text;
            EXPECT_NEAR(double(vals[x].ss), double(mine[x].start_sample) + offset, bit)
                << vals[x].text;
        }
    };
    const double uart_bit = rate / 115200.0;
    compare(ours[0], k::data, sigrok(sr, "uart:rx=ch8:baudrate=115200 -A uart=rx-data"),
            std::regex("^([0-9A-F]{2})$"), uart_bit / 2 + 1, uart_bit);
    compare(ours[1], k::data, sigrok(sr, "spi:clk=ch0:mosi=ch1:cs=ch2 -A spi=mosi-data"),
            std::regex("^([0-9A-F]{2})$"), rate / 1e6, 0);
    const auto i2c = sigrok(sr, "i2c:scl=ch3:sda=ch4 -A i2c=address-write:data-write");
    compare(ours[2], k::address, i2c, std::regex("^Address write: ([0-9A-F]{2})$"), rate / 1e5, 0);
    compare(ours[2], k::data, i2c, std::regex("^Data write: ([0-9A-F]{2})$"), rate / 1e5, 0);
    for (size_t i : {3, 4}) {
        const int bitrate = i == 3 ? 500000 : 250000;
        const auto can = sigrok(sr, "can:can_rx=ch" + std::to_string(i + 2) + ":nominal_bitrate=" +
                                        std::to_string(bitrate) + " -A can=data:full-id:id");
        compare(ours[i], k::data, can, std::regex("^Data byte [0-9]: 0x([0-9a-f]{2})$"),
                rate / double(bitrate), 0);
        compare(ours[i], k::can_id, can,
                std::regex(i == 3 ? "^Identifier: [0-9]+ \\(0x([0-9a-f]+)\\)$"
                                  : "^Full Identifier: [0-9]+ \\(0x([0-9a-f]+)\\)$"),
                rate / double(bitrate) * 40, 0);
    }
}

TEST_F(decode_capture, decoders_are_checked_like_handles) {
    launch(200000);
    wait_done();
    kestrelapi_decoder d = create(descriptions[0]);
    kestrelapi_frame_t f[4];
    uint32_t n = 0;
    bool more = false;
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 0, &n, &more), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_decoder_read(d, nullptr, 4, &n, &more), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 4, &n, &more), OHWAPI_OK);
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(more);
    EXPECT_EQ(kestrelapi_decoder_free(d), OHWAPI_OK);
    EXPECT_EQ(kestrelapi_decoder_free(d), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 4, &n, &more), OHWAPI_INVALID_ARGUMENT);
    int not_a_decoder = 0;
    auto* fake = reinterpret_cast<kestrelapi_decoder>(&not_a_decoder);
    EXPECT_EQ(kestrelapi_decoder_read(fake, f, 4, &n, &more), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_decoder_free(fake), OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_decoder_free(nullptr), OHWAPI_OK);

    // A refused description: the reason names the column; no decoder.
    char why[120];
    kestrelapi_decoder none = fake;
    EXPECT_EQ(kestrelapi_decoder_create(h->get(), "uart rx=40 baud=9600", &none, why, sizeof why),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_STREQ(why, "column 6 ('rx=40'): channel outside 0..17");
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(kestrelapi_decoder_create(nullptr, "uart rx=1 baud=9600", &none, why, sizeof why),
              OHWAPI_INVALID_ARGUMENT);

    // A new capture replaces the one a decoder read; a freed handle takes its capture along.
    d = create(descriptions[0]);
    launch(200000);
    wait_done();
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 4, &n, &more), OHWAPI_NO_DATA);
    kestrelapi_decoder_free(d);
    d = create(descriptions[0]);
    h->close();
    h.reset();
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 4, &n, &more), OHWAPI_NO_DATA);
    EXPECT_EQ(kestrelapi_decoder_free(d), OHWAPI_OK);
}

TEST_F(decode_capture, taken_and_opened_captures_decode_as_the_handle_did) {
    launch(1000000);
    wait_done();
    ASSERT_EQ(kestrelapi_set_channel_name(h->get(), 8, "rx"), OHWAPI_OK);
    std::vector<std::vector<decode::frame>> ours;
    for (const auto& s : descriptions) {
        const auto d = create(s);
        ours.push_back(read_all(d));
        kestrelapi_decoder_free(d);
    }
    const std::string sr = dir.file("buses.sr");
    ASSERT_EQ(kestrelapi_export_sr(h->get(), sr.c_str(), 0, 0), OHWAPI_OK);
    kestrelapi_capture taken = nullptr, opened = nullptr;
    ASSERT_EQ(kestrelapi_take_capture(h->get(), &taken), OHWAPI_OK);
    char why[300] = "x";
    ASSERT_EQ(kestrelapi_capture_open(sr.c_str(), &opened, why, sizeof why), OHWAPI_OK) << why;
    EXPECT_STREQ(why, "");
    uint64_t samples = 0, trig_pos = 0, hz = 0;
    uint8_t channels = 0;
    ASSERT_EQ(kestrelapi_capture_info(opened, &samples, &trig_pos, &hz, &channels), OHWAPI_OK);
    EXPECT_EQ(samples, 1000000u);
    EXPECT_EQ(hz, rate);
    EXPECT_EQ(channels, 18);
    for (kestrelapi_capture c : {taken, opened}) {
        for (size_t i = 0; i < descriptions.size(); ++i) {
            kestrelapi_decoder d = nullptr;
            // The UART by its name, as the handle and the file both know it.
            const std::string description = i == 0 ? "uart rx=rx baud=115200" : descriptions[i];
            ASSERT_EQ(
                kestrelapi_capture_decoder_create(c, description.c_str(), &d, why, sizeof why),
                OHWAPI_OK)
                << why;
            const auto got = read_all(d);
            kestrelapi_decoder_free(d);
            ASSERT_EQ(got.size(), ours[i].size()) << description;
            for (size_t x = 0; x < got.size(); ++x) {
                EXPECT_EQ(got[x].start_sample, ours[i][x].start_sample);
                EXPECT_EQ(got[x].value, ours[i][x].value);
            }
        }
    }
    // A decoder outlives neither its capture nor a refused description.
    kestrelapi_decoder d = nullptr;
    ASSERT_EQ(
        kestrelapi_capture_decoder_create(opened, descriptions[0].c_str(), &d, why, sizeof why),
        OHWAPI_OK);
    ASSERT_EQ(kestrelapi_capture_free(opened), OHWAPI_OK);
    kestrelapi_frame_t f[4];
    uint32_t n = 0;
    bool more = false;
    EXPECT_EQ(kestrelapi_decoder_read(d, f, 4, &n, &more), OHWAPI_NO_DATA);
    EXPECT_EQ(kestrelapi_decoder_free(d), OHWAPI_OK);
    EXPECT_EQ(
        kestrelapi_capture_decoder_create(opened, descriptions[0].c_str(), &d, why, sizeof why),
        OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(kestrelapi_capture_decoder_create(taken, "can rx=5", &d, why, sizeof why),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_STREQ(why, "column 9 (''): bitrate= is missing");
    EXPECT_EQ(kestrelapi_capture_free(taken), OHWAPI_OK);

    const std::string missing = dir.file("none.sr");
    EXPECT_EQ(kestrelapi_capture_open(missing.c_str(), &opened, why, sizeof why),
              OHWAPI_INVALID_ARGUMENT);
    EXPECT_EQ(opened, nullptr);
    EXPECT_NE(std::string(why).find(missing), std::string::npos) << why;
    EXPECT_EQ(kestrelapi_capture_open(nullptr, &opened, why, sizeof why), OHWAPI_INVALID_ARGUMENT);
}

// ---- The session reader on files of other writers.

// Each sample's levels as sigrok-cli reads the file (its binary output, unitsize bytes a
// sample), against the transitions the reader stored.
void expect_same_levels(const std::string& sr, const temp_dir& dir) {
    const std::string bin = dir.file("levels.bin");
    const auto r = run("env -u LD_LIBRARY_PATH sigrok-cli -i " + sr + " -O binary -o " + bin);
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string raw = export_test::read_file(bin);
    const auto cap = xport::read_sr(sr);
    const size_t unit = (cap.stores.size() + 7) / 8;
    ASSERT_EQ(raw.size(), size_t(cap.length) * unit);
    for (size_t c = 0; c < cap.stores.size(); ++c) {
        std::vector<uint64_t> s(raw.size());
        std::vector<uint8_t> l(raw.size());
        const size_t n = cap.stores[c]->read(0, s.data(), l.data(), s.size());
        size_t k = 0;
        for (size_t i = 0; i < size_t(cap.length); ++i) {
            while (k + 1 < n && s[k + 1] <= i)
                ++k;
            const int want = (uint8_t(raw[i * unit + c / 8]) >> (c % 8)) & 1;
            ASSERT_EQ(l[k], want) << "channel " << c << " sample " << i;
        }
    }
}

TEST(session_reader, files_sigrok_wrote_read_sample_for_sample) {
    std::string why;
    if (!export_test::have_sigrok(why)) GTEST_SKIP() << why;
    temp_dir dir;
    // sigrok's demo device: 8 logic channels beside analog ones; 12 channels in two bytes.
    const std::string a = dir.file("demo.sr"), b = dir.file("demo12.sr"), c = dir.file("demo8.sr");
    ASSERT_EQ(run("env -u LD_LIBRARY_PATH sigrok-cli -d demo --samples 30000 -o " + a).status, 0);
    ASSERT_EQ(run("env -u LD_LIBRARY_PATH sigrok-cli -d demo:analog_channels=0 --samples 30000 "
                  "-o " +
                  c)
                  .status,
              0);
    ASSERT_EQ(run("env -u LD_LIBRARY_PATH sigrok-cli -d demo:logic_channels=12:analog_channels=0 "
                  "--samples 30000 -o " +
                  b)
                  .status,
              0);
    const auto demo = xport::read_sr(a);
    EXPECT_EQ(demo.stores.size(), 8u);
    EXPECT_EQ(demo.names[0], "D0");
    EXPECT_EQ(demo.length, 30000);
    EXPECT_NEAR(demo.period, 1 / 200e3, 1e-12);
    expect_same_levels(c, dir);
    const auto twelve = xport::read_sr(b);
    EXPECT_EQ(twelve.stores.size(), 12u);
    EXPECT_EQ(twelve.names[11], "D11");
    expect_same_levels(b, dir);
}

// Samples of `unit` bytes into a session file whose data members have the given lengths in
// bytes, in turn (the last takes the rest); members at odd positions are stored, not
// deflated.
void write_session(const std::string& path, const std::vector<uint64_t>& samples, unsigned unit,
                   unsigned total, const std::vector<size_t>& lengths) {
    std::vector<uint8_t> data;
    for (const uint64_t x : samples)
        for (unsigned b = 0; b < unit; ++b)
            data.push_back(static_cast<uint8_t>(x >> (8 * b)));
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    static const char version[] = "2";
    const std::string meta =
        "[device 1]\ncapturefile=logic-1\ntotal probes=" + std::to_string(total) +
        "\nsamplerate=1 MHz\nunitsize=" + std::to_string(unit) + "\n";
    zip_file_add(z, "version", zip_source_buffer(z, version, 1, 0), 0);
    zip_file_add(z, "metadata", zip_source_buffer(z, meta.data(), meta.size(), 0), 0);
    size_t off = 0;
    for (size_t k = 0; off < data.size(); ++k) {
        const size_t len = std::min(data.size() - off, lengths[k % lengths.size()]);
        const zip_int64_t i = zip_file_add(z, ("logic-1-" + std::to_string(k + 1)).c_str(),
                                           zip_source_buffer(z, data.data() + off, len, 0), 0);
        ASSERT_GE(i, 0);
        if (k % 2 == 1) zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_STORE, 0);
        off += len;
    }
    ASSERT_EQ(zip_close(z), 0);
}

// Each channel's transitions read back are exactly the changes of its bit in `samples`.
void expect_changes(const xport::session_file& cap, const std::vector<uint64_t>& samples) {
    ASSERT_EQ(cap.length, isamp(samples.size()));
    std::vector<uint64_t> s(samples.size() + 1);
    std::vector<uint8_t> l(samples.size() + 1);
    for (unsigned c = 0; c < cap.stores.size(); ++c) {
        std::vector<std::pair<uint64_t, int>> expect{{0, int(samples[0] >> c) & 1}};
        for (size_t i = 1; i < samples.size(); ++i)
            if (((samples[i] ^ samples[i - 1]) >> c) & 1)
                expect.push_back({i, int(samples[i] >> c) & 1});
        const size_t n = cap.stores[c]->read(0, s.data(), l.data(), s.size());
        std::vector<std::pair<uint64_t, int>> got;
        for (size_t i = 0; i < n; ++i)
            if (s[i] < samples.size()) got.push_back({s[i], l[i]});
        ASSERT_EQ(got, expect) << "channel " << c;
    }
}

// Every unit size from one to eight bytes, channels short of the unit's bits (the bits
// beyond them hold noise the reader must ignore), runs of equal samples from one sample to
// hundreds, in chunks of odd lengths that split samples: each channel's transitions are
// exactly the changes of its bit.
TEST(session_reader, every_unit_size_reads_each_channels_changes) {
    temp_dir dir;
    std::mt19937_64 rng(27);
    for (unsigned unit = 1; unit <= 8; ++unit) {
        const unsigned total = 8 * unit - (unit % 3);
        SCOPED_TRACE("unit " + std::to_string(unit) + ", " + std::to_string(total) + " channels");
        const size_t samples = 20011;
        std::vector<uint64_t> want(samples);
        uint64_t w = rng();
        for (size_t i = 0; i < samples; ++i) {
            // Mostly long runs, with stretches where a few channels change at every sample.
            if (rng() % 8 == 0) w ^= uint64_t{1} << (rng() % 64);
            if (i % 1000 < 50) w ^= rng() & rng();
            if (rng() % 500 == 0) w = rng();
            want[i] = w;
        }
        // Members of growing odd lengths that split samples.
        std::vector<size_t> lengths;
        for (size_t k = 1, sum = 0; sum < samples * unit; ++k)
            sum += lengths.emplace_back(7919 + 13 * k);
        const std::string path = dir.file("unit" + std::to_string(unit) + ".sr");
        write_session(path, want, unit, total, lengths);
        const auto cap = xport::read_sr(path);
        ASSERT_EQ(cap.stores.size(), total);
        expect_changes(cap, want);
    }
}

// Data members that end at every byte of a unit and every sample of a block of 64, deflated
// ones (inflated whole) between stored ones (streamed): a unit split between two members
// is put together again, and every channel of dense data (each channel changing at
// random, some at every sample, blocks where none changes) reads back change for change.
TEST(session_reader, members_split_at_every_unit_boundary) {
    temp_dir dir;
    std::mt19937_64 rng(32);
    for (const unsigned unit : {1u, 2u, 3u, 8u}) {
        for (const unsigned total : {8 * unit, 8 * unit - 5}) {
            SCOPED_TRACE("unit " + std::to_string(unit) + ", " + std::to_string(total) +
                         " channels");
            std::vector<uint64_t> samples(4099);
            uint64_t w = rng();
            for (size_t i = 0; i < samples.size(); ++i) {
                if (i % 700 < 100)
                    w = rng(); // every channel at random
                else if (i % 700 < 200)
                    w ^= 1; // one channel at every sample
                else if (rng() % 16 == 0)
                    w ^= rng() & rng(); // now and then a few
                samples[i] = w;
            }
            // Lengths from one byte up to a few units and past a block of 64 samples.
            std::vector<size_t> lengths;
            for (size_t n = 1; n <= 3 * unit + 2; ++n)
                lengths.push_back(n);
            lengths.push_back(64 * unit + 1);
            lengths.push_back(64 * unit - 1);
            lengths.push_back(200 * unit + 3);
            const std::string path = dir.file("split.sr");
            write_session(path, samples, unit, total, lengths);
            const auto cap = xport::read_sr(path);
            ASSERT_EQ(cap.stores.size(), total);
            const uint64_t mask = total == 64 ? ~uint64_t{0} : (uint64_t{1} << total) - 1;
            for (auto& x : samples)
                x &= mask;
            expect_changes(cap, samples);
        }
    }
}

// A deflated member whose bytes were damaged is refused, never read as samples.
TEST(session_reader, a_damaged_member_is_refused) {
    temp_dir dir;
    std::vector<uint64_t> samples(100000);
    std::mt19937_64 rng(5);
    for (auto& x : samples)
        x = rng() % 7 == 0 ? rng() : 0x55;
    const std::string path = dir.file("damaged.sr");
    write_session(path, samples, 1, 8, {samples.size()});
    ASSERT_NO_THROW(xport::read_sr(path));
    std::string bytes = export_test::read_file(path);
    // The member's compressed bytes follow its local header and name.
    const size_t at = bytes.find("logic-1-1");
    ASSERT_NE(at, std::string::npos);
    bytes[at + 9 + 2000] = static_cast<char>(bytes[at + 9 + 2000] ^ 0x10);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_THROW(xport::read_sr(path), xport::file_error);
}

// A version 1 session as early sigrok wrote it: no unit size, one unchunked capture file,
// a channel left out of the names.
TEST(session_reader, version_one_files_and_refusals) {
    temp_dir dir;
    const std::string path = dir.file("v1.sr");
    int err = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(z, nullptr);
    static const char version[] = "1";
    static const char meta[] = "[device 1]\ndriver=fx2lafw\ncapturefile=logic-1\n"
                               "total probes=10\nsamplerate=1 MHz\nprobe1=clk\nprobe10=last\n";
    std::vector<uint8_t> data;
    for (int i = 0; i < 1000; ++i) {
        const uint16_t w = static_cast<uint16_t>((i & 1) | ((i / 10 % 2) << 9));
        data.push_back(uint8_t(w));
        data.push_back(uint8_t(w >> 8));
    }
    zip_file_add(z, "version", zip_source_buffer(z, version, 1, 0), 0);
    zip_file_add(z, "metadata", zip_source_buffer(z, meta, sizeof meta - 1, 0), 0);
    zip_file_add(z, "logic-1", zip_source_buffer(z, data.data(), data.size(), 0), 0);
    ASSERT_EQ(zip_close(z), 0);
    const auto cap = xport::read_sr(path);
    ASSERT_EQ(cap.stores.size(), 10u);
    EXPECT_EQ(cap.names[0], "clk");
    EXPECT_EQ(cap.names[1], "");
    EXPECT_EQ(cap.names[9], "last");
    EXPECT_EQ(cap.length, 1000);
    EXPECT_DOUBLE_EQ(cap.period, 1e-6);
    std::vector<uint64_t> s(2000);
    std::vector<uint8_t> l(2000);
    EXPECT_EQ(cap.stores[0]->read(0, s.data(), l.data(), s.size()), 1000u);
    EXPECT_EQ(cap.stores[9]->read(0, s.data(), l.data(), s.size()), 100u);
    EXPECT_EQ(s[1], 10u);
    EXPECT_EQ(cap.stores[5]->read(0, s.data(), l.data(), s.size()), 1u);

    EXPECT_EQ(xport::parse_samplerate("250 MHz"), 250000000u);
    EXPECT_EQ(xport::parse_samplerate("1.5 kHz"), 1500u);
    EXPECT_EQ(xport::parse_samplerate("9600"), 9600u);
    EXPECT_EQ(xport::parse_samplerate("fast"), 0u);
    EXPECT_EQ(xport::parse_samplerate("8 mhz"), 8000000u);
    EXPECT_EQ(xport::parse_samplerate("2 G"), 2000000000u);
    EXPECT_EQ(xport::parse_samplerate("1 THz"), 1000000000000u);
    EXPECT_EQ(xport::parse_samplerate("12 K hz"), 12000u);
    EXPECT_EQ(xport::parse_samplerate("3 kx"), 0u);
    EXPECT_EQ(xport::parse_samplerate("3 Hz"), 3u);

    const std::string text = dir.file("text.sr");
    std::ofstream(text) << "not a zip";
    EXPECT_THROW(xport::read_sr(text), xport::format_error);
    EXPECT_THROW(xport::read_sr(dir.file("missing.sr")), xport::file_error);
}

} // namespace
