#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "drivers/d3xx/ft245.h"
#include "drivers/libusb/driver.h"
#include "hw/usb_group.h"
#include "kestrel/link/communication.h"

TEST(UsbLocal, MissingBridgeLibraryIsReported) {
    // The working directory of this test holds no ./libftd3xx.so.
    d3xx::ft245 bridge;
    try {
        bridge.open("730210100001", "KESTREL-CORE", 0);
        FAIL() << "open succeeded without a bridge library";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "could not load the dynamic library");
    }
    EXPECT_FALSE(bridge.is_open());
    EXPECT_DEATH(d3xx::gpio(bridge.handles(), 2), "gpio_index < 2");
}

TEST(UsbLocal, BridgeLibraryMayBeNamedByTheEnvironment) {
    // In a child of its own: the library stays loaded once a bridge has used it.
    EXPECT_EXIT(
        {
            ::setenv("KESTREL_D3XX_LIBRARY", KESTREL_SIM_LIBRARY, 1);
            d3xx::ft245 bridge;
            bridge.open("730210100001", "KESTREL-CORE", 0);
            std::_Exit(bridge.is_open() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            ::setenv("KESTREL_D3XX_LIBRARY", "", 1); // empty: the working directory's
            d3xx::ft245 bridge;
            try {
                bridge.open("730210100001", "KESTREL-CORE", 0);
            } catch (const std::runtime_error& e) {
                std::_Exit(std::string(e.what()) == "could not load the dynamic library" ? 0 : 2);
            }
            std::_Exit(1);
        },
        testing::ExitedWithCode(0), "");
}

TEST(UsbLocal, GroupBuffersKeepTheirCapacity) {
    hw::usb_group_t g(4096);
    EXPECT_EQ(g.capacity(), 4096u);
    EXPECT_TRUE(g.get_read_buffer().empty());
    EXPECT_TRUE(g.get_write_buffer().empty());
    g.clear_write_buffer();
    g.swap_buffers();
    g.swap_buffers();
    EXPECT_EQ(g.capacity(), 4096u);
}

namespace {

// Runs create_usb3 in a child whose address space is too small for the first buffers
// and returns the child's log.
[[maybe_unused]] std::string halving_log() {
    int fds[2];
    if (pipe(fds) != 0) return "";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::mutex m;
        std::string log_text;
        hw::log_fn log = [&](const std::string& s) {
            std::lock_guard lock(m);
            log_text += s + "\n";
        };
        {
            libusb::driver drv;
            libusb::interface_bulk bulk(drv, 2, 0x04, 0x84);
            kestrel::communication com(bulk, log);
            rlimit current{};
            getrlimit(RLIMIT_AS, &current);
            // Room for about 2 x 5 MB on top of what the process maps now.
            std::ifstream statm("/proc/self/statm");
            size_t pages = 0;
            statm >> pages;
            const rlim_t used = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
            rlimit low{used + 10u * 1000 * 1000, current.rlim_max};
            setrlimit(RLIMIT_AS, &low);
            try {
                com.create_usb3(1);
            } catch (...) {
                // The bridge library is missing here; the reservation is what counts.
            }
            setrlimit(RLIMIT_AS, &current);
        }
        std::lock_guard lock(m);
        (void)!write(fds[1], log_text.data(), log_text.size());
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return out;
}

} // namespace

TEST(UsbLocal, BufferCapacityHalvesUnderMemoryPressure) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit allows";
#else
    const std::string log = halving_log();
    const char* expected[] = {"Tryin USB buffer capacity reserve: 16MB", "reserve Failed!",
                              "Tryin USB buffer capacity reserve: 8MB",
                              "Tryin USB buffer capacity reserve: 4MB"};
    size_t at = 0;
    for (const char* line : expected) {
        const size_t found = log.find(line, at);
        ASSERT_NE(found, std::string::npos) << line << "\nlog:\n" << log;
        at = found;
    }
    EXPECT_EQ(log.find("Tryin USB buffer capacity reserve: 2MB"), std::string::npos) << log;
    EXPECT_NE(log.find("Openning Core 0"), std::string::npos) << log;
#endif
}
