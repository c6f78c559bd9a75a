// Leaves the process with a handle open: "capture" with a capture waiting for its
// trigger, "open" with the device open and idle, "unpinged" open with the device's ping
// replies lost, so that the link keeps sending pings while the process exits.
#include <kestrel_sim/acquisition.h>
#include <kestrel_sim/bus.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "kestrelapi.h"

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "capture";
    auto& b = kestrel_sim::bus::instance();
    b.reset();
    kestrelapi_handle h = nullptr;
    if (kestrelapi_create_new_handle(&h, kestrel_one) != OHWAPI_OK) return 2;
    if (mode == "unpinged") b.drop_replies(kestrel_sim::default_serial, 8, -1);
    if (kestrelapi_device_open_first(h) != OHWAPI_OK) return 3;
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
