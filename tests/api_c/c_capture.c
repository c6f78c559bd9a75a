/* A plain C caller: only the public header, only the library. Captures with every simple
 * trigger type and with a trigger program, and checks what it reads back. */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kestrelapi.h"

static void sleep_ms(long ms) {
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}

static int fail(const char* what, int code) {
    printf("FAILED: %s (%d)\n", what, code);
    return 1;
}

/* Polls the done flag for up to a minute; 0 once the capture is done. */
static int wait_done(kestrelapi_handle h) {
    bool done = false;
    for (int i = 0; i < 6000 && !done; ++i) {
        kestrelapi_get_capture_done_flag(h, &done);
        const ohwapi_err_code_t rc = kestrelapi_get_last_error(h);
        if (rc != OHWAPI_OK) return fail("capture", rc);
        if (!done) sleep_ms(10);
    }
    return done ? 0 : fail("capture never finished", 0);
}

static int capture(kestrelapi_handle h, unsigned channels, kestrelapi_trigger_type_t type,
                   int8_t ch, bool polarity) {
    kestrelapi_settings_t s;
    memset(&s, 0, sizeof s);
    s.sampling_depth = 100000;
    s.post_trig_depth = 50000;
    s.s_clk = 250000000;
    for (int i = 0; i < 6; ++i) {
        s.thresh_capture_mv[i] = 1650;
        s.vcc_gen_mv[i] = 3300;
    }
    s.timebase_src = TIMEBASE_INTERNAL;
    s.ext_trig_out_polarity = polarity;
    kestrelapi_trigger_description_t a = {type, ch}, b = {KESTRELAPI_TRG_NOTRIG, 0};
    ohwapi_err_code_t rc = kestrelapi_launch_new_capture_simple_trigger(h, a, b, s);
    if (rc != OHWAPI_OK) return fail("launch", rc);
    if (wait_done(h)) return 1;

    uint64_t trig = 0;
    int64_t total = 0, post = 0;
    kestrelapi_get_trigger_position(h, &trig);
    kestrelapi_get_available_samples(h, &total, &post);
    if (total != 100000 || trig != 5000) return fail("counts", (int)trig);
    for (unsigned c = 0; c < channels; ++c) {
        kestrelapi_trs_reset(h, (uint8_t)c);
        bool more = true;
        uint64_t last = 0;
        int level_at_trigger = -1, n = 0;
        kestrelapi_trs_t t;
        while (more) {
            if (kestrelapi_trs_get_next(h, (uint8_t)c, &t) != OHWAPI_OK) return fail("next", c);
            if (n > 0 && t.sampple_index < last) return fail("order", c);
            if (t.sampple_index <= trig) level_at_trigger = t.value;
            last = t.sampple_index;
            ++n;
            kestrelapi_trs_is_not_last(h, (uint8_t)c, &more);
        }
        if (n < 2) return fail("no activity", c);
        if ((type == KESTRELAPI_TRG_RISING || type == KESTRELAPI_TRG_FALLING) &&
            c == (unsigned)ch && level_at_trigger != (type == KESTRELAPI_TRG_RISING ? 1 : 0))
            return fail("level at the trigger", level_at_trigger);
    }
    return 0;
}

/* Level of a channel at a sample, from its transitions. */
static int level_at(kestrelapi_handle h, uint8_t c, uint64_t sample) {
    int level = -1;
    bool more = true;
    kestrelapi_trs_t t;
    kestrelapi_trs_reset(h, c);
    while (more && kestrelapi_trs_get_next(h, c, &t) == OHWAPI_OK && t.sampple_index <= sample) {
        level = t.value;
        kestrelapi_trs_is_not_last(h, c, &more);
    }
    return level;
}

/* A trigger program on engine A, with the pre-trigger length the caller asks for. */
static int programmed(kestrelapi_handle h) {
    char why[256];
    if (kestrelapi_set_trigger_program(h, 0, "ch3 rise & ch4 high", why, sizeof why) != OHWAPI_OK)
        return fail(why, 0);
    if (kestrelapi_set_trigger_program(h, 1, "ch3 rise & ch3 low", why, sizeof why) !=
            OHWAPI_INVALID_ARGUMENT ||
        strstr(why, "ch3 appears twice") == NULL)
        return fail("refusal", 0);
    char text[1024];
    if (kestrelapi_describe_trigger_program(h, 0, text, sizeof text) != OHWAPI_OK ||
        strstr(text, "trigger clock: 250000000 Hz") == NULL)
        return fail("description", 0);
    kestrelapi_settings_t s;
    memset(&s, 0, sizeof s);
    s.sampling_depth = 100000;
    s.post_trig_depth = 90000;
    s.s_clk = 250000000;
    s.timebase_src = TIMEBASE_INTERNAL;
    s.ext_trig_out_polarity = true;
    ohwapi_err_code_t rc = kestrelapi_launch_new_capture_programmed(h, s);
    if (rc != OHWAPI_OK) return fail("programmed launch", rc);
    if (wait_done(h)) return 1;
    uint64_t trig = 0;
    kestrelapi_get_trigger_position(h, &trig);
    if (trig != 10000) return fail("programmed trigger position", (int)trig);
    if (level_at(h, 3, trig) != 1 || level_at(h, 3, trig - 1) != 0 || level_at(h, 4, trig) != 1)
        return fail("program not satisfied at the trigger", 0);
    return 0;
}

int main(void) {
    /* Any handle lists the family; the serial number's prefix gives the model. */
    kestrelapi_handle probe = NULL;
    if (kestrelapi_create_new_handle(&probe, kestrel_one) != OHWAPI_OK) return fail("handle", 0);
    uint16_t count = 0;
    kestrelapi_create_device_list(probe);
    kestrelapi_get_devices_count(probe, &count);
    if (count == 0) return fail("no device", 0);
    device_descriptor_t d = {NULL, NULL};
    if (kestrelapi_get_device_descriptor(probe, 0, &d) != OHWAPI_OK) return fail("descriptor", 0);
    const char group_digit = strlen(d.sn) > 6 ? d.sn[6] : '1';
    kestrelapi_free_device_descriptor(&d);
    kestrelapi_free(probe);
    const kestrelapi_model_t model = group_digit == '3'   ? kestrel_three
                                     : group_digit == '2' ? kestrel_two
                                                          : kestrel_one;
    const unsigned channels = model == kestrel_three ? 54 : model == kestrel_two ? 36 : 18;

    const struct {
        kestrelapi_trigger_type_t type;
        int8_t ch;
        bool polarity;
    } triggers[] = {{KESTRELAPI_TRG_NOTRIG, 0, true},     {KESTRELAPI_TRG_RISING, 3, true},
                    {KESTRELAPI_TRG_FALLING, 5, true},    {KESTRELAPI_TRG_CHANGE, -1, true},
                    {KESTRELAPI_TRG_EXT_RISING, 0, true}, {KESTRELAPI_TRG_EXT_FALLING, 0, false}};
    kestrelapi_handle h = NULL;
    if (kestrelapi_create_new_handle(&h, model) != OHWAPI_OK) return fail("handle", model);
    ohwapi_err_code_t rc = kestrelapi_device_open_first(h);
    if (rc != OHWAPI_OK) return fail("open", rc);
    for (unsigned t = 0; t < 6; ++t)
        if (capture(h, channels, triggers[t].type, triggers[t].ch, triggers[t].polarity)) return 1;
    if (programmed(h)) return 1;
    kestrelapi_device_close(h);
    bool open = true;
    for (int i = 0; i < 500 && open; ++i) {
        kestrelapi_get_device_open_flag(h, &open);
        if (open) sleep_ms(10);
    }
    kestrelapi_free(h);
    printf("model %d: all captures ok\n", (int)model);
    return open ? 1 : 0;
}
