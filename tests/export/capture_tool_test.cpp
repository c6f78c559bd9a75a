// kestrel-capture built into the test, so that the virtual device's faults reach it: the
// exit codes of a trigger that never comes, a device that stops answering and Ctrl-C.
#include <kestrel_sim/acquisition.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../core/api_fixture.h"
#include "helpers.h"

int kestrel_capture_main(int argc, char** argv);

namespace {

using namespace core_test;
using namespace export_test;

int run_tool(std::vector<std::string> args) {
    args.insert(args.begin(), "kestrel-capture");
    args.push_back("-v"); // leaves this process's standard output alone
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return kestrel_capture_main(static_cast<int>(args.size()), argv.data());
}

class capture_tool : public on_bus {
protected:
    void SetUp() override {
        on_bus::SetUp();
        bus::instance().plug(sn);
        fw = bus::instance().firmware(sn);
    }
    const char* sn = "7302101000001";
    std::shared_ptr<kestrel_sim::firmware> fw;
    temp_dir dir;
};

TEST_F(capture_tool, a_trigger_that_never_comes_is_exit_4) {
    fw->acq().never_trigger(true);
    const auto t0 = steady::now();
    EXPECT_EQ(run_tool({"-t", "3:rising", "--timeout", "0.5", "-o", dir.file("x.vcd")}), 4);
    EXPECT_LT(steady::now() - t0, 30s);
    EXPECT_TRUE(dir.entries().empty());
    EXPECT_FALSE(fw->run_flag()); // stopped, not left running
}

TEST_F(capture_tool, the_trigger_timeout_starts_once_the_samples_before_it_are_kept) {
    // 2000 samples before the trigger at 2 kHz take a second, twice the timeout: the
    // capture goes on (done, or stopped with Ctrl-C when it streams slowly), no exit 4.
    std::thread ctrl_c([] {
        std::this_thread::sleep_for(3s);
        std::raise(SIGINT);
    });
    const int rc = run_tool({"-r", "2k", "-n", "40k", "--timeout", "0.5", "-o", dir.file("x.vcd")});
    ctrl_c.join();
    EXPECT_TRUE(rc == 0 || rc == 5) << rc;
}

TEST_F(capture_tool, a_device_that_stops_answering_is_exit_6) {
    bus::instance().ignore_packets(sn, 1, -1);
    EXPECT_EQ(run_tool({"-n", "20k", "-o", dir.file("x.sr")}), 6);
    EXPECT_TRUE(dir.entries().empty());
    bus::instance().ignore_packets(sn, 1, 0);
    // The device is usable again by the next run.
    EXPECT_EQ(run_tool({"-n", "20k", "-o", dir.file("y.sr")}), 0);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"y.sr"});
}

TEST_F(capture_tool, ctrl_c_while_waiting_keeps_nothing) {
    fw->acq().never_trigger(true);
    std::thread ctrl_c([&] {
        // Interrupt once the device runs the capture.
        eventually([&] { return fw->run_flag(); }, 20s);
        std::raise(SIGINT);
    });
    EXPECT_EQ(run_tool({"-t", "any:change", "--timeout", "60", "--keep-partial", "-o",
                        dir.file("x.csv")}),
              5);
    ctrl_c.join();
    EXPECT_TRUE(dir.entries().empty());
}

TEST_F(capture_tool, the_chosen_device_and_model) {
    // One device streaming at a time: the bridges of several plugged devices repeat.
    bus::instance().unplug_all();
    bus::instance().plug("7302102000042");
    EXPECT_EQ(run_tool({"-d", "7302101000001", "-o", dir.file("gone.vcd")}), 3);
    EXPECT_EQ(
        run_tool({"-d", "7302102000042", "-n", "50k", "-c", "20-35", "-o", dir.file("two.vcd")}),
        0);
    const auto v = read_vcd(dir.file("two.vcd"));
    ASSERT_EQ(v.names.size(), 16u);
    EXPECT_EQ(v.names.front(), "ch20");
    EXPECT_EQ(v.names.back(), "ch35");
    // Channel 36 is beyond a two-group model.
    EXPECT_EQ(run_tool({"-d", "7302102000042", "-c", "36", "-o", dir.file("bad.vcd")}), 2);
}

// The sample of every row of a CSV export and how many rows.
struct csv_rows {
    size_t rows = 0;
    uint64_t last_sample = 0;
};
csv_rows read_csv(const std::string& path) {
    std::ifstream f(path);
    std::string line;
    csv_rows r;
    std::getline(f, line); // header
    while (std::getline(f, line)) {
        ++r.rows;
        r.last_sample = std::stoull(line.substr(0, line.find(',')));
    }
    return r;
}

// Captures until stopped, over a store budget whose file goes to `store`.
class until_stopped : public capture_tool {
protected:
    temp_dir store;
};

TEST_F(until_stopped, the_duration_ends_a_capture_that_spills_and_the_file_holds_it) {
    EXPECT_EQ(run_tool({"--until-stopped", "--duration", "1", "--store-budget", "1M", "--store-dir",
                        store.path(), "-c", "8,12", "-o", dir.file("u.csv")}),
              0);
    const auto info = fw->acq().capture();
    EXPECT_FALSE(info.running);
    const csv_rows r = read_csv(dir.file("u.csv"));
    EXPECT_GT(r.rows, 1000u);
    EXPECT_GT(r.last_sample, 1000000u);   // far beyond the default depth of -n
    EXPECT_TRUE(store.entries().empty()); // the store's file had no name and is gone
}

TEST_F(until_stopped, ctrl_c_ends_it_and_keeps_what_was_captured) {
    std::thread ctrl_c([&] {
        // Once samples stream.
        eventually(
            [&] {
                const auto info = fw->acq().capture();
                return !info.streamed.empty() && info.streamed[0] > 5000000;
            },
            60s);
        std::raise(SIGINT);
    });
    EXPECT_EQ(run_tool({"--until-stopped", "-n", "100G", "--store-dir", store.path(), "-c", "8",
                        "-o", dir.file("c.csv")}),
              0);
    ctrl_c.join();
    EXPECT_GT(read_csv(dir.file("c.csv")).rows, 10u);
}

TEST_F(until_stopped, options_are_checked_before_anything_starts) {
    EXPECT_EQ(run_tool({"--duration", "1", "-o", dir.file("x.csv")}), 2); // needs --until-stopped
    EXPECT_EQ(run_tool({"--until-stopped", "--store-budget", "12X", "-o", dir.file("x.csv")}), 2);
    EXPECT_EQ(run_tool({"--until-stopped", "--store-dir", store.file("missing"), "-o",
                        dir.file("x.csv")}),
              2);
    EXPECT_EQ(fw->acq().capture().runs, 0u);
    EXPECT_TRUE(dir.entries().empty());
}

} // namespace
