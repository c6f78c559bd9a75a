#include "api/util_main.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "kestrelapi.h"

namespace api_utils {

namespace {

void assert_err(ohwapi_err_code_t code) {
    if (code == OHWAPI_OK) return;
    std::cout << "Error thrown by API " << static_cast<int>(code) << std::endl;
    throw std::runtime_error("unhandled error");
}

void msleep(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The images in the working directory unless the environment names others.
std::string image_path(const char* env, const char* fallback) {
    const char* v = std::getenv(env);
    return v != nullptr && *v != '\0' ? v : fallback;
}

struct images {
    std::string mcu = image_path("KESTREL_MCU_IMAGE", "mcu.bin");
    std::string recovery = image_path("KESTREL_RECOVERY_IMAGE", "recovery_mcu.bin");
    std::string fpga = image_path("KESTREL_FPGA_IMAGE", "fpga.bin");
};

kestrelapi_handle open_first() {
    kestrelapi_handle h = nullptr;
    assert_err(kestrelapi_create_new_handle(&h, kestrel_one));
    (void)kestrelapi_create_device_list(h);
    assert_err(kestrelapi_device_open_first(h));
    return h;
}

void print_versions(kestrelapi_handle h) {
    uint8_t major = 0, minor = 0;
    assert_err(kestrelapi_get_mcu_version_major(h, &major));
    assert_err(kestrelapi_get_mcu_version_minor(h, &minor));
    std::cout << "MCU version:" << unsigned{major} << "." << unsigned{minor} << std::endl;
    assert_err(kestrelapi_get_fpga_version_major(h, &major));
    assert_err(kestrelapi_get_fpga_version_minor(h, &minor));
    std::cout << "FPGA version:" << unsigned{major} << "." << unsigned{minor} << std::endl;
}

// Launches a non-forced update and follows it; a failure ends the program through the
// last error.
void run_update(kestrelapi_handle h) {
    images img;
    assert_err(
        kestrelapi_launch_fw_update(h, false, img.mcu.data(), static_cast<uint32_t>(img.mcu.size()),
                                    img.recovery.data(), static_cast<uint32_t>(img.recovery.size()),
                                    img.fpga.data(), static_cast<uint32_t>(img.fpga.size())));
    bool done = false;
    while (!done) {
        uint8_t progress = 0;
        assert_err(kestrelapi_get_firmware_update_done_flag(h, &done));
        assert_err(kestrelapi_get_firmware_update_progress(h, &progress));
        assert_err(kestrelapi_get_last_error(h));
        msleep(100);
        std::cout << "Update progress:" << unsigned{progress} << std::endl;
    }
    print_versions(h);
}

void change_sn(std::string sn) {
    kestrelapi_handle h = open_first();
    std::cout << "Device open and ready, changing SN" << std::endl;
    assert_err(kestrelapi_change_sn(h, sn.data(), static_cast<uint32_t>(sn.size())));
    bool done = false;
    while (!done) {
        assert_err(kestrelapi_get_firmware_update_done_flag(h, &done));
        // A change that failed never sets the flag: its error ends the wait.
        assert_err(kestrelapi_get_last_error(h));
        msleep(100);
        std::cout << "SN Update in progress..." << std::endl;
    }
    std::cout << "Done" << std::endl;
    assert_err(kestrelapi_device_close(h));
    bool ready = false;
    for (int i = 0; i < 50 && !ready; ++i) {
        assert_err(kestrelapi_get_ready_flag(h, &ready));
        if (!ready) msleep(100);
    }
    assert_err(kestrelapi_free(h));
}

void do_update() {
    kestrelapi_handle h = open_first();
    std::cout << "Device open and ready, loading firmware" << std::endl;
    run_update(h);
    std::cout << "Done" << std::endl;
    assert_err(kestrelapi_device_close(h));
    bool ready = false;
    for (int i = 0; i < 50 && !ready; ++i) {
        assert_err(kestrelapi_get_ready_flag(h, &ready));
        if (!ready) msleep(100);
    }
    assert_err(kestrelapi_free(h));
}

void check_for_update(kestrelapi_handle h) {
    images img;
    bool needed = false;
    assert_err(kestrelapi_check_fw_update_needed(
        h, &needed, img.mcu.data(), static_cast<uint32_t>(img.mcu.size()), img.recovery.data(),
        static_cast<uint32_t>(img.recovery.size()), img.fpga.data(),
        static_cast<uint32_t>(img.fpga.size())));
    std::cout << "Firmware update needed?" << (needed ? "true" : "false") << std::endl;
    if (needed) {
        std::cout << "Start update\n" << std::flush;
        run_update(h);
    }
    std::cout << "Done\n" << std::flush;
}

void do_std_test() {
    kestrelapi_handle h = open_first();
    std::cout << "Device open and ready\n" << std::flush;
    check_for_update(h);
    std::cout << "Device open and ready\n" << std::flush;

    kestrelapi_settings_t s;
    std::memset(&s, 0, sizeof s);
    s.s_clk = 250000000;
    s.sampling_depth = 10000000;
    s.post_trig_depth = static_cast<int64_t>(0.9 * static_cast<double>(s.sampling_depth));
    s.thresh_capture_mv[0] = s.thresh_capture_mv[1] = 1000;
    s.vcc_gen_mv[0] = s.vcc_gen_mv[1] = 3000;
    s.timebase_src = TIMEBASE_INTERNAL;
    s.state_clk_mode = SCLK_DISABLE;
    s.state_clk_src = SCLK_CH9;
    s.ext_trig_50r = false;
    s.ext_in_threshold_mv = 1000;
    s.ext_trig_out_polarity = true;
    for (int i = 0; i < 54; ++i) {
        s.io_type[i] = KESTRELAPI_IO_IN;
        s.io_pull[i] = KESTRELAPI_PULL_DOWN;
    }

    for (int count = 0; count < 1; ++count) {
        msleep(1500);
        std::cout << "\n\n\n **************Capture count: " << count << std::endl;
        kestrelapi_trigger_description_t trig_a{KESTRELAPI_TRG_NOTRIG, -1};
        kestrelapi_trigger_description_t trig_b{KESTRELAPI_TRG_NOTRIG, 0};
        assert_err(kestrelapi_launch_new_capture_simple_trigger(h, trig_a, trig_b, s));
        assert_err(kestrelapi_get_last_error(h));

        bool flag = false;
        while (!flag) {
            assert_err(kestrelapi_get_config_done_flag(h, &flag));
            assert_err(kestrelapi_get_last_error(h));
            if (!flag) msleep(10);
        }
        std::cout << "STD cfg done!\n" << std::flush;

        flag = false;
        while (!flag) {
            assert_err(kestrelapi_get_triggered_flag(h, &flag));
            assert_err(kestrelapi_get_last_error(h));
            if (!flag) {
                msleep(100);
                std::cout << "Waiting for trigger" << std::endl;
            }
        }
        std::cout << "Trigged, ready for data!" << std::endl;

        int64_t total = 0, post = 0;
        for (;;) {
            assert_err(kestrelapi_get_available_samples(h, &total, &post));
            if (post >= s.post_trig_depth) break;
            assert_err(kestrelapi_get_last_error(h));
            msleep(100);
            std::cout << "retrieved transitions, pre-trig: " << (total - post) / 1000
                      << "K, post-trig:" << post / 1000 << "K" << std::endl;
        }

        assert_err(kestrelapi_get_last_error(h));
        assert_err(kestrelapi_request_abort(h));
        bool ready = false;
        while (!ready) {
            assert_err(kestrelapi_get_ready_flag(h, &ready));
            if (!ready) {
                msleep(100);
                std::cout << "Waiting for abort\n" << std::flush;
            }
        }
    }
    assert_err(kestrelapi_free(h));
    std::cout << "device freed\n" << std::flush;
}

} // namespace

// Also what --help prints. The tool of the same name answers --version itself.
constexpr const char* usage = "usage: kestrel_util -c | -u | -s | -r | --version\n"
                              "  -c  check the firmware (updating it when needed), run one "
                              "standard capture\n"
                              "  -u  install the firmware images the device lacks, reboot and "
                              "reopen it\n"
                              "  -s  read a serial number from standard input and write it to "
                              "the device\n"
                              "  -r  nothing\n"
                              "The device is the first KESTREL ONE on the bus.\n";

int util_main(int argc, char** argv) {
    std::cout << "KESTREL_ONE API utility" << std::endl;
    if (argc != 2) {
        std::cout << "Invalid argument count" << std::endl;
        std::cerr << usage;
        return 1;
    }
    const std::string arg = argv[1];
    if (arg == "--help" || arg == "-h") {
        std::cout << usage << std::flush;
    } else if (arg == "-s") {
        char word[128] = {};
        std::cout << "Enter new SN: " << std::flush;
        if (std::scanf("%127s", word) != 1) word[0] = '\0';
        std::cout << "Setting New SN: " << word << std::endl;
        change_sn(word);
    } else if (arg == "-u") {
        do_update();
    } else if (arg == "-r") {
    } else if (arg == "-c") {
        do_std_test();
    } else {
        // A mistyped option is a usage error, not a run that did nothing.
        std::cout << "Invalid argument: " << arg << std::endl;
        std::cerr << usage;
        return 2;
    }
    return 0;
}

} // namespace api_utils
