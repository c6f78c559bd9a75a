// Leaves the process with a handle open: "capture" with a capture waiting for its
// trigger, "open" with the device open and idle, "unpinged" open with the device's ping
// replies lost, so that the link keeps sending pings while the process exits.
// "fork-created" and "fork-open" fork with a handle only created, or open: the child finds
// the parent's handle refused and exits at once; the parent's handle still works.
#include <kestrel_sim/acquisition.h>
#include <kestrel_sim/bus.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kestrelapi.h"

namespace {
bool forked_child = false;
} // namespace

// A forked child holds memory that only the parent's threads (absent in the child) point to;
// the leak checker of sanitized builds would take it for leaked at the child's exit.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
    return forked_child ? 1 : 0;
}

namespace {

// The child's exit code: 0 when it ended as it should, else which step failed; 9 when it
// did not end within 20 s.
int fork_and_wait(kestrelapi_handle h) {
    const pid_t pid = fork();
    if (pid < 0) return 6;
    if (pid == 0) {
        forked_child = true;
        bool f = false;
        if (kestrelapi_get_device_open_flag(h, &f) != OHWAPI_INVALID_ARGUMENT) std::exit(7);
        if (kestrelapi_free(h) != OHWAPI_INVALID_ARGUMENT) std::exit(8);
        std::exit(0); // with the parent's handle still in the library's table
    }
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 10;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 9;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "capture";
    auto& b = kestrel_sim::bus::instance();
    b.reset();
    kestrelapi_handle h = nullptr;
    if (kestrelapi_create_new_handle(&h, kestrel_one) != OHWAPI_OK) return 2;
    if (mode == "fork-created") {
        if (const int child = fork_and_wait(h); child != 0) return 20 + child;
        return kestrelapi_device_open_first(h) == OHWAPI_OK ? 0 : 11;
    }
    if (mode == "unpinged") b.drop_replies(kestrel_sim::default_serial, 8, -1);
    if (kestrelapi_device_open_first(h) != OHWAPI_OK) return 3;
    if (mode == "fork-open") {
        if (const int child = fork_and_wait(h); child != 0) return 20 + child;
        bool open = false;
        if (kestrelapi_get_device_open_flag(h, &open) != OHWAPI_OK || !open) return 12;
        return kestrelapi_free(h) == OHWAPI_OK ? 0 : 13;
    }
    if (mode == "capture") {
        b.firmware(kestrel_sim::default_serial)->acq().never_trigger(true);
        kestrelapi_settings_t s;
        std::memset(&s, 0, sizeof s);
        s.sampling_depth = 20000;
        s.post_trig_depth = 10000;
        s.s_clk = 250000000;
        s.timebase_src = TIMEBASE_INTERNAL;
        s.ext_trig_out_polarity = true;
        kestrelapi_trigger_description_t a, none;
        std::memset(&a, 0, sizeof a);
        std::memset(&none, 0, sizeof none);
        a.type = KESTRELAPI_TRG_RISING;
        a.channel = 2;
        none.type = KESTRELAPI_TRG_NOTRIG;
        if (kestrelapi_launch_new_capture_simple_trigger(h, a, none, s) != OHWAPI_OK) return 4;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    return 0; // the handle stays open
}
