// kestrel-capture --until-stopped with a store budget: the capture runs until the duration
// or Ctrl-C, spills beyond its budget and writes what it holds.
#include <kestrel_sim/acquisition.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

class until_stopped : public on_bus {
protected:
    void SetUp() override {
        on_bus::SetUp();
        bus::instance().plug(sn);
        fw = bus::instance().firmware(sn);
    }
    const char* sn = "7302101000001";
    std::shared_ptr<kestrel_sim::firmware> fw;
    temp_dir dir, store;
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
