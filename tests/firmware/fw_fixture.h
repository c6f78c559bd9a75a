// A handle opened on the virtual device, with the device's file system at hand and an
// updater whose file operations give up quickly when the device stays silent.
#pragma once
#include <kestrel_sim/bus.h>
#include <kestrel_sim/files.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../core/api_fixture.h"
#include "kestrel/firmware/update.h"

namespace fw_test {

using namespace core_test;
using bytes = std::vector<uint8_t>;
using kestrel_sim::file_answer;
namespace op = kestrel_sim::file_op;

inline const std::string sn = "7302101000001";

inline bytes pattern(size_t n, uint8_t seed) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 31 + seed);
    return b;
}

inline kestrel::file_loader::timing fast_timing() {
    kestrel::file_loader::timing t;
    t.op_ms = 500;
    t.chunk_ms = 300;
    t.crc_ms = 500;
    t.busy_pause_ms = 1;
    return t;
}

class on_device : public on_bus {
protected:
    void SetUp() override {
        on_bus::SetUp();
        bus::instance().plug(sn);
        h = std::make_unique<api_handle>(kestrel_one);
        ASSERT_EQ(h->open(sn), OHWAPI_OK);
        dir = std::filesystem::temp_directory_path() /
              ("kestrel_fw_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
    }
    void TearDown() override {
        if (h->open_flag()) h->close();
        h.reset();
        std::filesystem::remove_all(dir);
        on_bus::TearDown();
    }

    kestrel::core& core() { return h->internals().device; }
    kestrel_sim::file_system& fs() { return bus::instance().firmware(device_sn)->files(); }
    kestrel_sim::firmware_counters_t fw_counters() {
        return bus::instance().firmware(device_sn)->counters();
    }

    // The device core's updater, rebuilt with short waits for tests of silent devices.
    void fast_updater() {
        auto& c = core();
        c.updater.reset(); // its loader leaves the endpoint before the new one takes it
        c.updater.reset(new kestrel::update(c.usb_driver, c.com, c.log, c.stat_ctrl,
                                            c.device_status, c.device_busy, c.status, c.progress,
                                            fast_timing()));
    }

    std::string image(const std::string& name, const bytes& content) {
        const auto p = dir / name;
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        return p.string();
    }

    // Paths of the three images on the host; an empty path is an absent image.
    struct paths {
        std::string mcu, recovery, fpga;
    };
    paths images(const bytes& mcu, const bytes& recovery, const bytes& fpga) {
        return {image("mcu.bin", mcu), image("recovery_mcu.bin", recovery),
                image("fpga.bin", fpga)};
    }

    ohwapi_err_code_t check(paths p, bool& needed) {
        return kestrelapi_check_fw_update_needed(
            h->get(), &needed, p.mcu.data(), static_cast<uint32_t>(p.mcu.size()), p.recovery.data(),
            static_cast<uint32_t>(p.recovery.size()), p.fpga.data(),
            static_cast<uint32_t>(p.fpga.size()));
    }
    ohwapi_err_code_t launch(paths p, bool force) {
        return kestrelapi_launch_fw_update(h->get(), force, p.mcu.data(),
                                           static_cast<uint32_t>(p.mcu.size()), p.recovery.data(),
                                           static_cast<uint32_t>(p.recovery.size()), p.fpga.data(),
                                           static_cast<uint32_t>(p.fpga.size()));
    }
    bool done_flag() {
        bool f = false;
        EXPECT_EQ(kestrelapi_get_firmware_update_done_flag(h->get(), &f), OHWAPI_OK);
        return f;
    }
    // Waits until the background work has ended: done, or failed.
    ohwapi_err_code_t finish(std::chrono::milliseconds limit = 60s) {
        EXPECT_TRUE(eventually(
            [&] { return done_flag() || kestrelapi_get_last_error(h->get()) != OHWAPI_OK; },
            limit));
        // Give the thread its release of the work lock.
        EXPECT_TRUE(eventually([&] { return h->ready_flag(); }, limit));
        return kestrelapi_get_last_error(h->get());
    }

    std::unique_ptr<api_handle> h;
    std::filesystem::path dir;
    std::string device_sn = sn;
};

} // namespace fw_test
