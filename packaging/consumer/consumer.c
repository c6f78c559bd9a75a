/* A program built against an installed kestrel: opens the first KESTREL ONE, runs one
 * short capture and prints what it found. */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include <kestrelapi.h>

#include <stdio.h>
#include <time.h>

static int failed(const char* what, ohwapi_err_code_t e) {
    fprintf(stderr, "consumer: %s failed with %d\n", what, (int)e);
    return 1;
}

static void pause_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&ts, NULL);
}

static int capture(kestrelapi_handle h) {
    kestrelapi_settings_t s = {0};
    s.sampling_depth = 20000;
    s.post_trig_depth = 10000;
    s.s_clk = 250000000;
    for (int i = 0; i < 6; ++i) {
        s.thresh_capture_mv[i] = 1650;
        s.vcc_gen_mv[i] = 3300;
    }
    s.timebase_src = TIMEBASE_INTERNAL;
    s.ext_in_threshold_mv = 1000;
    s.ext_trig_out_polarity = true;
    kestrelapi_trigger_description_t a = {KESTRELAPI_TRG_RISING, 3};
    kestrelapi_trigger_description_t b = {KESTRELAPI_TRG_NOTRIG, 0};
    ohwapi_err_code_t e = kestrelapi_launch_new_capture_simple_trigger(h, a, b, s);
    if (e != OHWAPI_OK) return failed("launch", e);
    bool done = false;
    for (int i = 0; i < 6000 && !done; ++i) { /* up to a minute */
        kestrelapi_get_capture_done_flag(h, &done);
        if (!done && kestrelapi_get_last_error(h) != OHWAPI_OK)
            return failed("capture", kestrelapi_get_last_error(h));
        if (!done) pause_ms(10);
    }
    if (!done) return failed("capture (not done)", OHWAPI_UNKNOWN_ERROR);
    int64_t total = 0, post = 0;
    uint64_t trig = 0;
    kestrelapi_get_available_samples(h, &total, &post);
    kestrelapi_get_trigger_position(h, &trig);
    unsigned count = 0;
    bool more = true;
    kestrelapi_trs_t t;
    kestrelapi_trs_reset(h, 3);
    while (more && kestrelapi_trs_get_next(h, 3, &t) == OHWAPI_OK) {
        ++count;
        kestrelapi_trs_is_not_last(h, 3, &more);
    }
    printf("consumer: %lld samples, trigger at %llu, %u transitions on channel 3\n",
           (long long)total, (unsigned long long)trig, count);
    return 0;
}

int main(void) {
    kestrelapi_handle h;
    ohwapi_err_code_t e = kestrelapi_create_new_handle(&h, kestrel_one);
    if (e != OHWAPI_OK) return failed("create handle", e);
    e = kestrelapi_device_open_first(h);
    int rc = e != OHWAPI_OK ? failed("open", e) : capture(h);
    kestrelapi_device_close(h);
    bool open = true, ready = false;
    for (int i = 0; i < 3000 && (open || !ready); ++i) {
        kestrelapi_get_device_open_flag(h, &open);
        kestrelapi_get_ready_flag(h, &ready);
        if (open || !ready) pause_ms(10);
    }
    kestrelapi_free(h);
    return rc;
}
