/*
 * kestrelapi.h - the exported interface of libkestrel_api.so.1, the driver library of the
 * KESTREL family of USB logic analyzers (18, 36 or 54 digital channels).
 *
 * A host program creates a handle for a model, lists and opens a device, launches a
 * capture with settings and a trigger, polls the flags, then walks every channel's
 * signal as transitions. Every function returns an ohwapi_err_code_t: 0 on success.
 * Failures of background work (close, capture, firmware update, serial-number change)
 * are read back with kestrelapi_get_last_error.
 *
 * Usable from C and C++. The seven functions at the end of this file keep C++ linkage
 * (their symbols encode their argument types) and are declared for C++ callers only.
 */
#ifndef KESTRELAPI_H
#define KESTRELAPI_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
#define KESTRELAPI_EXPORT __attribute__((visibility("default")))
#else
#define KESTRELAPI_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handle: one per device model, from kestrelapi_create_new_handle to kestrelapi_free. */
typedef void* kestrelapi_handle;

/* Opaque capture: one finished capture, from kestrelapi_take_capture to
 * kestrelapi_capture_free. */
typedef struct kestrelapi_capture_s* kestrelapi_capture;

typedef enum {
    kestrel_one = 601,   /* 18 channels, one group */
    kestrel_two = 602,   /* 36 channels, two groups */
    kestrel_three = 603, /* 54 channels, three groups */
} kestrelapi_model_t;

/* The integer every exported function returns. */
typedef enum {
    OHWAPI_OK = 0,
    OHWAPI_HW_ERRORS = 1000,
    OHWAPI_NOT_SUPPORTED = OHWAPI_HW_ERRORS + 1,
    OHWAPI_DEVICE_NOT_OPEN = OHWAPI_HW_ERRORS + 2,
    OHWAPI_DEVICE_NOT_FOUND = OHWAPI_HW_ERRORS + 3,
    OHWAPI_INVALID_SERIAL = OHWAPI_HW_ERRORS + 4,
    OHWAPI_INVALID_CONFIG = OHWAPI_HW_ERRORS + 5,
    OHWAPI_INVALID_ARGUMENT = OHWAPI_HW_ERRORS + 6,
    OHWAPI_BUSY = OHWAPI_HW_ERRORS + 7,
    OHWAPI_ABORTED = OHWAPI_HW_ERRORS + 8,
    OHWAPI_POWER_FAILURE = OHWAPI_HW_ERRORS + 9,
    OHWAPI_PLL_FAILURE = OHWAPI_HW_ERRORS + 10,
    OHWAPI_FLUSH_TIMEOUT = OHWAPI_HW_ERRORS + 11,
    OHWAPI_NOT_RESPONDING = OHWAPI_HW_ERRORS + 12,
    OHWAPI_NO_DATA = OHWAPI_HW_ERRORS + 13,
    OHWAPI_FIRMWARE_ERROR = OHWAPI_HW_ERRORS + 14,
    OHWAPI_FIRM_UPDT_FAILED = OHWAPI_HW_ERRORS + 15,
    OHWAPI_DATA_NOT_ALIGNED = OHWAPI_HW_ERRORS + 16,
    OHWAPI_DEVICE_FORGED = OHWAPI_HW_ERRORS + 17,
    OHWAPI_STORE_FULL = OHWAPI_HW_ERRORS + 19, /* the store's file could not grow */
    OHWAPI_HARDWARE_FAULT = OHWAPI_HW_ERRORS + 100,
    OHWAPI_UNKNOWN_ERROR = 1999,
    OHWAPI_USB_ERRORS = 2000,  /* + the negative libusb error: 1901..1999 */
    OHWAPI_USB3_ERRORS = 3000, /* + the D3XX status: 3001..3032 */
    OHWAPI_NOT_IMPLEMENTED = 99998,
} ohwapi_err_code_t;

typedef enum {
    KESTRELAPI_IO_IN = 0,
    KESTRELAPI_IO_PP = 1, /* push-pull output */
    KESTRELAPI_IO_OD = 2, /* open-drain output */
} kestrelapi_io_type_t;

typedef enum {
    KESTRELAPI_PULL_DOWN = 0,
    KESTRELAPI_PULL_UP = 1,
} kestrelapi_pull_t;

typedef enum {
    SCLK_DISABLE = 0,
    SCLK_RISING = 1,
    SCLK_FALLING = 2,
    SCLK_DUAL = 3,
} kestrelapi_state_clk_mode_t;

typedef enum {
    SCLK_CH9 = 0,
    SCLK_CH18 = 1,
} kestrelapi_state_clk_source_t;

typedef enum {
    TIMEBASE_EXTERNAL = 2,
    TIMEBASE_INTERNAL = 3,
} kestrelapi_timebase_clk_t;

/* Bit 4 (16) marks rising for the external types. */
typedef enum {
    KESTRELAPI_TRG_FALLING = 0,
    KESTRELAPI_TRG_RISING = 1,
    KESTRELAPI_TRG_CHANGE = 3,
    KESTRELAPI_TRG_EXT_FALLING = 15,
    KESTRELAPI_TRG_EXT_RISING = 31,
    KESTRELAPI_TRG_NOTRIG = 99,
} kestrelapi_trigger_type_t;

#pragma pack(push, 4)

typedef struct {
    char* sn;   /* serial number, NUL-terminated */
    char* desc; /* USB product description, NUL-terminated */
} device_descriptor_t;

/* One capture, described in one flat record (556 bytes, 4-byte packing). */
typedef struct {
    int64_t sampling_depth;                      /* total samples to capture */
    int64_t post_trig_depth;                     /* samples after the trigger */
    uint32_t s_clk;                              /* sampling frequency, Hz */
    uint32_t t_clk[2];                           /* clocks of trigger slots A and B, Hz */
    uint16_t thresh_capture_mv[6];               /* input capture thresholds, mV */
    uint16_t vcc_gen_mv[6];                      /* generated I/O supply voltages, mV */
    kestrelapi_io_type_t io_type[54];            /* per channel */
    kestrelapi_pull_t io_pull[54];               /* per channel */
    kestrelapi_state_clk_mode_t state_clk_mode;  /* state-clock sampling edge */
    kestrelapi_state_clk_source_t state_clk_src; /* state-clock input channel */
    kestrelapi_timebase_clk_t timebase_src;      /* internal or external time base */
    bool ext_trig_50r;                           /* 50-ohm termination on trigger input */
    uint16_t ext_in_threshold_mv;                /* external trigger input threshold, mV */
    bool ext_trig_out_polarity;                  /* polarity of the trigger output */
    uint8_t trig_order;                          /* 0 A or B, 1 A then B, 2 B then A, 3 A and B */
    bool oci_clk_out_enable[3][2];               /* clock output enable, per group and output */
    uint64_t oci_clk_out_freq[3][2];             /* clock output frequency, Hz */
} kestrelapi_settings_t;

/* A simple trigger: a type and the channel (0..17) of the master group; -1 is any channel. */
typedef struct {
    kestrelapi_trigger_type_t type;
    int8_t channel;
} kestrelapi_trigger_description_t;

/* One transition: the level that starts at a sample (value: 0 falling, 1 rising, 2 bloc,
 * 3 none). The field name sampple_index is spelled with a double p. */
typedef struct {
    uint8_t value;
    uint64_t sampple_index;
} kestrelapi_trs_t;

#pragma pack(pop)

/* The record layouts are part of the interface: checked wherever this header is compiled. */
#ifdef __cplusplus
#define KESTRELAPI_LAYOUT(cond, msg) static_assert(cond, msg)
#else
#define KESTRELAPI_LAYOUT(cond, msg) _Static_assert(cond, msg)
#endif
KESTRELAPI_LAYOUT(sizeof(kestrelapi_settings_t) == 556, "settings record is 556 bytes");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, s_clk) == 16, "s_clk at 16");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, t_clk) == 20, "t_clk at 20");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, thresh_capture_mv) == 28, "thresholds at 28");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, vcc_gen_mv) == 40, "vcc_gen_mv at 40");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, io_type) == 52, "io_type at 52");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, io_pull) == 268, "io_pull at 268");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, state_clk_mode) == 484, "state_clk_mode at 484");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, state_clk_src) == 488, "state_clk_src at 488");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, timebase_src) == 492, "timebase_src at 492");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, ext_trig_50r) == 496, "ext_trig_50r at 496");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, ext_in_threshold_mv) == 498, "threshold at 498");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, ext_trig_out_polarity) == 500, "polarity at 500");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, trig_order) == 501, "trig_order at 501");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, oci_clk_out_enable) == 502, "enables at 502");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_settings_t, oci_clk_out_freq) == 508, "frequencies at 508");
KESTRELAPI_LAYOUT(sizeof(kestrelapi_trigger_description_t) == 8, "trigger description is 8 bytes");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_trigger_description_t, channel) == 4, "channel at 4");
KESTRELAPI_LAYOUT(sizeof(kestrelapi_trs_t) == 12, "transition record is 12 bytes");
KESTRELAPI_LAYOUT(offsetof(kestrelapi_trs_t, sampple_index) == 4, "sample index at 4");
#undef KESTRELAPI_LAYOUT

/* Checks at the boundary
 *
 * Every function that takes a handle first looks it up among the handles created and not
 * yet freed, by its value only (nothing behind an unknown pointer is read), and refuses a
 * NULL, never-created or freed handle with OHWAPI_INVALID_ARGUMENT. A NULL output pointer
 * and a channel or device index beyond the model or the list are refused the same way.
 * A handle freed while another thread's call uses it is deleted once that call returns.
 * The check costs a few nanoseconds a call. */

/* Handles and errors */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_create_new_handle(kestrelapi_handle* h,
                                                                 kestrelapi_model_t model);
/* Stops the handle's work (a capture is aborted, a close or an update is waited for
 * within bounds) and frees it. NULL is OK; a handle already freed gives
 * OHWAPI_INVALID_ARGUMENT. Handles still alive when the process exits are freed then.
 * A free waits for every call on the handle in progress on other threads. From the
 * handle's log function: on one of the library's threads it is refused with OHWAPI_BUSY
 * (free the handle from a thread of the host's); inside a call the host made, it returns
 * at once and the handle goes when that call returns. A process forked from the one that
 * created a handle does not own it: there the handle is refused with
 * OHWAPI_INVALID_ARGUMENT, and the child's exit leaves it to the parent. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_free(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_last_error(kestrelapi_handle handle);

/* Device list, open and close */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_create_device_list(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_free_device_list(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_devices_count(kestrelapi_handle handle,
                                                                 uint16_t* count);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_device_descriptor(kestrelapi_handle handle,
                                                                     uint8_t device_number,
                                                                     device_descriptor_t* d);
/* Releases the two strings kestrelapi_get_device_descriptor handed out and nulls them. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_free_device_descriptor(device_descriptor_t* d);
/* Opens a device of the handle's model. OHWAPI_NOT_SUPPORTED, at once, when another device
 * on the bus carries a USB3 bridge this one needs: the bridges' serial numbers are the same
 * on every device, so the data could not be told apart (kestrelapi_get_last_error_text
 * says which bridge; keep one KESTREL device plugged to capture). */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_device_open(kestrelapi_handle handle,
                                                           device_descriptor_t desc);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_device_open_first(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_device_close(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_device_open_flag(kestrelapi_handle handle,
                                                                    bool* f);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_mcu_version_major(kestrelapi_handle handle,
                                                                     uint8_t* v);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_mcu_version_minor(kestrelapi_handle handle,
                                                                     uint8_t* v);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_fpga_version_major(kestrelapi_handle handle,
                                                                      uint8_t* v);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_fpga_version_minor(kestrelapi_handle handle,
                                                                      uint8_t* v);

/* Capture launch and flags
 *
 * A launch refuses settings outside what the device takes with OHWAPI_INVALID_CONFIG (a
 * trigger channel with OHWAPI_INVALID_ARGUMENT) before anything starts;
 * kestrelapi_get_last_error_text names the field and its range:
 * sampling_depth 2..10^12 samples, post_trig_depth 0..sampling_depth, s_clk
 * 1..1000000000 Hz, thresh_capture_mv 0..3000 mV, vcc_gen_mv 1800..3300 mV or 0 (off),
 * ext_in_threshold_mv 0..2500 mV (the entries of the model's groups), a trigger channel
 * 0..17 (-1 for a change on any channel). A launch while a capture runs (until its done
 * flag, or until it has ended with an error) is refused with OHWAPI_BUSY and changes
 * nothing. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_launch_new_capture_simple_trigger(
    kestrelapi_handle handle, kestrelapi_trigger_description_t trig_a,
    kestrelapi_trigger_description_t trig_b, kestrelapi_settings_t settings);
/* Ends a running capture within about 100 ms in any phase; the ready flag comes back and
 * kestrelapi_get_last_error gives OHWAPI_ABORTED. What arrived is kept: every channel is
 * stored to one common length (the available samples, the length every group reached)
 * with one trigger position, or, aborted before every group placed the trigger, nothing
 * is stored. An overrun (OHWAPI_NO_DATA) likewise keeps everything each group delivered
 * before it, cut to the shortest group. A capture whose groups cannot be placed at
 * one trigger instant (a group streamed the whole depth without its trigger) fails with
 * OHWAPI_DATA_NOT_ALIGNED and logs "Group N did not trigger". */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_request_abort(kestrelapi_handle handle);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_ready_flag(kestrelapi_handle handle, bool* f);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_config_done_flag(kestrelapi_handle handle,
                                                                    bool* f);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_triggered_flag(kestrelapi_handle handle,
                                                                  bool* f);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_capture_done_flag(kestrelapi_handle handle,
                                                                     bool* f);

/* Transition access */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_available_samples(
    kestrelapi_handle handle, int64_t* total_available_samples, int64_t* post_trig_samples);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_trigger_position(kestrelapi_handle handle,
                                                                    uint64_t* trig_pos);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_reset(kestrelapi_handle handle,
                                                         uint8_t channel_index);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_before(kestrelapi_handle handle,
                                                          uint8_t channel_index,
                                                          uint64_t target_sample);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_get_next(kestrelapi_handle handle,
                                                            uint8_t channel_index,
                                                            kestrelapi_trs_t* transition_data);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_get_previous(kestrelapi_handle handle,
                                                                uint8_t channel_index,
                                                                kestrelapi_trs_t* transition_data);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_is_not_last(kestrelapi_handle handle,
                                                               uint8_t channel_index,
                                                               bool* is_not_last_trs);

/* Bulk transition reads
 *
 * kestrelapi_trs_read copies the level changes of a channel whose sample is at or after
 * from_sample, in increasing sample order, at most `capacity` of them: samples[i] is where
 * the level levels[i] (0 or 1) starts. *count receives how many were written; 0 means there
 * is nothing at or after from_sample. The first item of a channel is its initial level at
 * sample 0; transitions stored at one sample are reported once, with the level that holds
 * from that sample on, so the samples strictly increase and reading on with from_sample =
 * the last sample + 1 neither skips nor repeats an item. The items are those of the walk
 * with kestrelapi_trs_reset / kestrelapi_trs_get_next, and the channel's iterator is not
 * moved.
 *
 * kestrelapi_trs_level_at writes the level in force at `sample` (found by binary search).
 *
 * Both may run while a capture appends: they see the transitions stored so far (nothing
 * before the channel's first samples are stored). They return
 * OHWAPI_INVALID_ARGUMENT for a channel beyond the model's count, a NULL pointer and a
 * capacity of 0; kestrelapi_trs_level_at also for a sample at or beyond the channel's length
 * (every sample of an empty channel). */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_read(kestrelapi_handle handle,
                                                        uint8_t channel_index, uint64_t from_sample,
                                                        uint64_t* samples, uint8_t* levels,
                                                        uint32_t capacity, uint32_t* count);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_trs_level_at(kestrelapi_handle handle,
                                                            uint8_t channel_index, uint64_t sample,
                                                            uint8_t* level);

/* Export of a capture
 *
 * The capture the handle holds, written to `path` as a file of one format: every
 * channel, or those whose bit is set in the 128-bit mask (bit ch of channel_mask_lo for
 * channels 0..63, bit ch - 64 of channel_mask_hi for 64..127; both zero: every channel).
 * The capture must be finished or aborted; what the stores hold (the samples every
 * selected channel covers) is written. The file is written under a temporary name in the
 * same directory and renamed to `path` when complete, so `path` never holds a partial file.
 *
 * Returns OHWAPI_INVALID_ARGUMENT for a NULL or empty path, a channel beyond the model,
 * and a file that cannot be created, written or renamed into place (a log line and
 * kestrelapi_get_last_error_text give the reason); OHWAPI_BUSY while a capture runs;
 * OHWAPI_NO_DATA when nothing is stored.
 *
 * VCD (IEEE 1364): timescale the largest of 1, 10, 100 s..fs that divides the sampling
 * period, one 1-bit wire per channel named as kestrelapi_set_channel_name gave (ch0..chN
 * by default, whitespace replaced by '_'), the trigger as a comment and an event `trigger`.
 * sigrok session (.sr, srzip v2): the selected channels packed in ascending order, bit k
 * of each sample the k-th selected channel, in chunk files of 4 MiB at most.
 * CSV: header "sample,time,channel,level"; one row per level change in time order (time in
 * seconds, channel its name), the level of every channel at sample 0 first, and a row
 * whose channel is "trigger" at the trigger.
 * CSV in columns (kestrelapi_export_csv_columns), the layout sigrok's CSV input reads:
 * comment lines starting with ';' (the samples, the rate in Hz and the trigger; the line
 * "; samplerate=N"; the sigrok-cli input options for the file), a caption row
 * "sample,time,<channel names>", then a row of every selected channel's level (0 or 1) at
 * sample 0 and at each sample where one of them changes. sigrok counts rows as samples:
 * the sample and time columns hold where they are. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_export_vcd(kestrelapi_handle handle,
                                                          const char* path,
                                                          uint64_t channel_mask_lo,
                                                          uint64_t channel_mask_hi);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_export_sr(kestrelapi_handle handle, const char* path,
                                                         uint64_t channel_mask_lo,
                                                         uint64_t channel_mask_hi);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_export_csv(kestrelapi_handle handle,
                                                          const char* path,
                                                          uint64_t channel_mask_lo,
                                                          uint64_t channel_mask_hi);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_export_csv_columns(kestrelapi_handle handle,
                                                                  const char* path,
                                                                  uint64_t channel_mask_lo,
                                                                  uint64_t channel_mask_hi);

/* Memory budget of the transition stores
 *
 * At most memory_bytes of the handle's transitions (those of the captures taken out of it
 * included) stay in memory; beyond it, a capture's oldest sealed chunks go, as they are, to
 * a file in `directory` that nobody else can open and that disappears with the capture or
 * the process, and are read back from there when needed: every read works the same. NULL
 * directory: KESTREL_STORE_DIR, else /var/tmp. memory_bytes 0: no limit. The default is a
 * quarter of physical memory in that directory.
 *
 * OHWAPI_BUSY while a capture runs; OHWAPI_INVALID_ARGUMENT, at once and with the reason in
 * kestrelapi_get_last_error_text, for a directory that cannot hold a file. When the file
 * cannot grow during a capture (no space, a quota, a file-size limit), the capture ends with
 * OHWAPI_STORE_FULL and the reason (directory, the system's error, the bytes written) in
 * kestrelapi_get_last_error_text; every transition stored until then stays readable, and
 * the capture's length is the one every channel covers, as after an abort. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_set_store_budget(kestrelapi_handle handle,
                                                                uint64_t memory_bytes,
                                                                const char* directory);

/* Captures as objects of their own
 *
 * kestrelapi_take_capture moves the handle's last finished (or aborted, or cut) capture
 * out of it, in constant time whatever its length: every channel's transitions, in memory
 * and on disk, its common length, trigger position, sampling rate, channel count and the
 * channel names given with kestrelapi_set_channel_name. The handle then reads as a fresh
 * one (no items, 0 available samples, trigger position 0) and can launch again while the
 * capture lives; freeing the handle leaves the capture readable. OHWAPI_BUSY while a
 * capture runs or the handle exports; OHWAPI_NO_DATA when the handle holds no samples
 * (none captured, or already taken).
 *
 * kestrelapi_capture_info gives the samples every channel covers, the trigger position
 * (as kestrelapi_get_trigger_position gave it), the rate in Hz and the channel count; a
 * NULL pointer is OHWAPI_INVALID_ARGUMENT. kestrelapi_capture_read and
 * kestrelapi_capture_level_at follow kestrelapi_trs_read's and kestrelapi_trs_level_at's
 * rules exactly. kestrelapi_capture_export writes the capture in the format of the path's
 * extension (.vcd, .sr or .csv, in any case; others are OHWAPI_INVALID_ARGUMENT) with the
 * rules of kestrelapi_export_vcd; a file the system refuses also sets errno to its error.
 *
 * A capture is looked up among those taken and not yet freed by its value only: a NULL,
 * unknown or freed capture gives OHWAPI_INVALID_ARGUMENT, kestrelapi_capture_free
 * included. Any number of threads may read one capture at once; a free waits for the
 * calls in progress on it to return. Captures not freed stay until the process exits. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_take_capture(kestrelapi_handle handle,
                                                            kestrelapi_capture* capture);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_free(kestrelapi_capture capture);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_info(kestrelapi_capture capture,
                                                            uint64_t* samples,
                                                            uint64_t* trigger_position,
                                                            uint64_t* sampling_freq_hz,
                                                            uint8_t* channels);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_read(kestrelapi_capture capture,
                                                            uint8_t channel, uint64_t from_sample,
                                                            uint64_t* samples, uint8_t* levels,
                                                            uint32_t capacity, uint32_t* count);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_level_at(kestrelapi_capture capture,
                                                                uint8_t channel, uint64_t sample,
                                                                uint8_t* level);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_export(kestrelapi_capture capture,
                                                              const char* path,
                                                              uint64_t channel_mask_lo,
                                                              uint64_t channel_mask_hi);
/* The capture as CSV in columns (kestrelapi_export_csv_columns' layout), whatever the
 * path's extension. */
KESTRELAPI_EXPORT ohwapi_err_code_t
kestrelapi_capture_export_csv_columns(kestrelapi_capture capture, const char* path,
                                      uint64_t channel_mask_lo, uint64_t channel_mask_hi);

/* Name of a channel in exported files (at most 255 bytes, no control characters, else
 * OHWAPI_INVALID_ARGUMENT, as for a channel beyond the model). NULL or "" restores chN.
 * Names belong to the handle and go with it. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_set_channel_name(kestrelapi_handle handle,
                                                                uint8_t channel, const char* name);

/* Trigger programs
 *
 * Each of the two trigger engines (0 = A, 1 = B) runs a program of steps on the channels
 * of the master group (0..17), written in a small language:
 *
 *   program   := step { ";" step }        each step must follow the previous one
 *   step      := condition [ timing ]
 *   condition := term { "&" term }        at most one edge, change or pulse per step;
 *                                         levels qualify it
 *   term      := "ch" N ( "rise" | "fall" | "change" | "high" | "low" )
 *              | "ch" N "pulse" ( "high" | "low" ) width   (a program of this step only)
 *              | "any change"
 *   timing    := "within" T | "after" T | "after" T "within" T
 *                                         (from the previous step; not on the first)
 *   width     := ">" T | "<" T | T ".." T
 *   T         := a decimal number with "ns", "us", "ms" or "s"
 *
 * Whitespace is free and keywords are case-insensitive. Examples:
 *
 *   ch3 rise                              a rising edge on channel 3
 *   ch3 rise & ch5 high & ch6 low         that edge while ch5 is high and ch6 low
 *   ch7 high & ch8 low                    as soon as both levels hold
 *   ch4 change                            any edge on channel 4
 *   any change & ch2 low                  an edge on any channel while ch2 is low
 *   ch2 pulse high 1us..5us               where a high pulse of 1 to 5 us ends
 *   ch2 pulse low >2us                    where a low pulse longer than 2 us ends
 *   ch2 pulse high <300ns                 where a high pulse shorter than 300 ns ends
 *   ch3 rise; ch4 fall within 10us        ch4 falls at most 10 us after ch3 rose
 *   ch0 fall; ch1 rise after 2us within 50us; ch2 high
 *
 * How it runs. The engine compares every sample with the one before it: an edge or change
 * is on the sample that has the new level. The program starts on the arming sample (once
 * the samples kept before the trigger are held), and an event on that very sample counts,
 * whatever its kind.
 * - A step's edge or change is the first one after the previous step's, on a later sample;
 *   its qualifying levels are checked on that same sample, after the edge, at any trigger
 *   clock: "any change & ch2 low" also fires where ch2 itself falls.
 * - A level step completes on the first sample where its levels hold, which may be the
 *   previous step's own; with "after", the first one from the bound on: in
 *   "ch0 rise; ch2 high after 5us" a ch2 that is high all along fires 5 us after the rise.
 * - "after T" and "within T" bound the step's instant from the previous step's: at least,
 *   at most T. A pulse's width runs from the sample where it starts to the one where it
 *   ends, where the trigger is: ">T" is longer than T, "<T" shorter than T, "a..b" keeps
 *   both ends.
 * - A step that fails starts the program over from its first step: an event before its
 *   "after" bound (a pulse that ends too early) on that event's sample, which may itself be
 *   the first step's event; a "within" that runs out (a pulse that lasts too long) on the
 *   first sample past it; an edge or change without its levels on the next sample. So
 *   "ch3 rise; ch4 fall within 1us" takes the first ch3 rise and, when ch4 has not fallen
 *   1 us later, the next ch3 rise from there; in "ch0 rise; ch1 rise & ch2 high within
 *   20us" a ch1 rise while ch2 is low starts the program over rather than waiting for a
 *   later ch1 rise.
 * - With trig_order "A then B" B's program starts on the sample after A's trigger, so B's
 *   events on or before that sample do not count (and the other way round for "B then A").
 * - The trigger clock is the fastest whose 11-bit step timers reach the program's longest
 *   time. Every bound is rounded to whole ticks of it so that the engine never takes what
 *   the text excludes: "after" and the shortest width up (">T" to the first tick past T),
 *   "within" and the longest width down ("<T" to the last tick short of T); at 35.7 MHz
 *   "after 2us" is 72 ticks (2.016 us) and "within 50us" 1785 (49.98 us).
 *   kestrelapi_describe_trigger_program shows the ticks and the times the engine uses.
 *   Times beyond about 1.02 s or below one tick, bounds that leave no whole tick ("<4ns" at
 *   4 ns a tick, "5ns..7ns") and programs of more than 255 engine words are refused with
 *   the place and the reason.
 *
 * The older trigger forms are accepted as aliases: "rising:3", "3:rising", "falling:3",
 * "change:3", "change" (any channel), "any:change"; "none" is no trigger. The external
 * trigger input is not a program: it stays with the simple launch.
 */

/* Compiles `program` for engine 0 (A) or 1 (B) of the handle and keeps it for the next
 * kestrelapi_launch_new_capture_programmed; NULL or "" (or "none") puts the engine back to
 * no trigger. A refused program returns OHWAPI_INVALID_ARGUMENT and writes the reason,
 * naming the place ("column 3 ('18'): channel outside 0..17"), NUL-terminated and cut to
 * message_size, into `message` when it is not NULL; the engine keeps its previous program.
 * On success `message` is set to "". */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_set_trigger_program(kestrelapi_handle handle,
                                                                   uint8_t engine,
                                                                   const char* program,
                                                                   char* message,
                                                                   uint32_t message_size);

/* Launches a capture whose engines run their programs: `trig_order` combines A and B (an
 * engine without a program leaves the other to decide alone), and `post_trig_depth` is
 * honoured as given, so the pre-trigger length is sampling_depth - post_trig_depth (a
 * pre-trigger of 0 gives 10 % of the depth, at most 2^28 samples). A pre-trigger beyond
 * the 2^28 samples the history holds is refused with OHWAPI_INVALID_CONFIG, and so is a
 * post_trig_depth of 0 (kestrelapi_get_last_error_text gives the range, 1..sampling_depth):
 * the capture ends once its post-trigger samples are in. `t_clk` is not read: each program
 * has the clock it needs. Both engines without a program: the capture triggers at once. Flags,
 * errors and transitions as with kestrelapi_launch_new_capture_simple_trigger. */
KESTRELAPI_EXPORT ohwapi_err_code_t
kestrelapi_launch_new_capture_programmed(kestrelapi_handle handle, kestrelapi_settings_t settings);

/* What engine 0 (A) or 1 (B) will run, as text, NUL-terminated and cut to text_size (NULL
 * or 0 is OHWAPI_INVALID_ARGUMENT): the program, the trigger clock chosen, and each engine
 * step after expansion with its time bounds as the timers hold them (ticks and the time
 * they make; qualifying levels "on the same sample"). */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_describe_trigger_program(kestrelapi_handle handle,
                                                                        uint8_t engine, char* text,
                                                                        uint32_t text_size);

/* Protocol decoders
 *
 * A decoder reads the transitions of a capture and yields frames of one bus protocol. It is
 * chosen by a text: the protocol, then options as KEY=VALUE or single words, separated by
 * spaces; channels by number or by the names kestrelapi_set_channel_name gave (ch0, ch1,
 * ... otherwise). Values in brackets are optional, the first choice the default:
 *
 *   uart rx=CH baud=N [bits=8|5..9] [parity=none|even|odd|mark|space] [stop=1|1.5|2]
 *        [invert] [msb]
 *       a DATA frame per word (PARITY_ERROR, FRAMING_ERROR: stop bit low), from the start
 *       bit's edge to the end of the stop bits; BREAK for a line low through a whole frame.
 *       Bits are sampled in their middle. Before the first frame a start bit is only taken
 *       after the line was high for a frame's data bits, so a capture that begins inside
 *       a frame skips it.
 *   spi clk=CH [mosi=CH] [miso=CH] [cs=CH] [mode=0..3] [bits=8|1..64] [lsb] [cs_high]
 *       per word a DATA frame (MOSI) and a DATA_MISO frame, from the first to the last
 *       sampling edge, most significant bit first unless lsb; chip select active low unless
 *       cs_high; a word cut short by chip select is flagged FRAMING_ERROR; the words of a
 *       capture that begins with chip select active are skipped until it lets go.
 *   i2c scl=CH sda=CH
 *       START, REPEATED_START, ADDRESS (the 7-bit address, flag READ for a read; a 10-bit
 *       address as one ADDRESS frame with its 10-bit value), DATA (flag READ in a read),
 *       ACK or NACK after every byte, STOP. Nothing before the first start is reported.
 *   can rx=CH bitrate=N [sample_point=70|1..99]
 *       classic CAN, 11- and 29-bit identifiers: CAN_ID (flags EXTENDED, REMOTE), CAN_DLC,
 *       DATA per byte, CAN_CRC (the received CRC, flag CRC_ERROR when it does not match),
 *       ACK or NACK (the acknowledgement slot); when six equal bits break the stuffing, the
 *       frame of the field under way flagged STUFF_ERROR ends the CAN frame. A start of
 *       frame is taken after 11 recessive bits.
 *
 * Samples count from the capture's sample 0. Frames come in the order they complete. */
typedef struct {
    uint64_t start_sample; /* first sample of the frame */
    uint64_t end_sample;   /* last sample of the frame */
    uint64_t value;        /* word, address, identifier, length or CRC */
    uint16_t kind;         /* KESTREL_FRAME_* */
    uint16_t flags;        /* KESTREL_FRAME_FLAG_* */
    uint32_t reserved;     /* 0 */
} kestrelapi_frame_t;

enum {
    KESTREL_FRAME_DATA = 1,
    KESTREL_FRAME_DATA_MISO = 2,
    KESTREL_FRAME_START = 3,
    KESTREL_FRAME_REPEATED_START = 4,
    KESTREL_FRAME_STOP = 5,
    KESTREL_FRAME_ADDRESS = 6,
    KESTREL_FRAME_ACK = 7,
    KESTREL_FRAME_NACK = 8,
    KESTREL_FRAME_BREAK = 9,
    KESTREL_FRAME_CAN_ID = 10,
    KESTREL_FRAME_CAN_DLC = 11,
    KESTREL_FRAME_CAN_CRC = 12,
};
enum {
    KESTREL_FRAME_FLAG_PARITY_ERROR = 1,
    KESTREL_FRAME_FLAG_FRAMING_ERROR = 2,
    KESTREL_FRAME_FLAG_READ = 4,
    KESTREL_FRAME_FLAG_CRC_ERROR = 8,
    KESTREL_FRAME_FLAG_STUFF_ERROR = 16,
    KESTREL_FRAME_FLAG_EXTENDED = 32,
    KESTREL_FRAME_FLAG_REMOTE = 64,
};

typedef struct kestrelapi_decoder_s* kestrelapi_decoder;

/* A decoder of the handle's current capture, also while it runs. A refused description returns
 * OHWAPI_INVALID_ARGUMENT and writes the reason, naming the column ("column 6 ('rx=99'):
 * channel outside 0..17"), NUL-terminated and cut to message_size, into `message` when it
 * is not NULL ("" on success). */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_decoder_create(kestrelapi_handle handle,
                                                              const char* description,
                                                              kestrelapi_decoder* decoder,
                                                              char* message, uint32_t message_size);
/* A decoder of a capture object (kestrelapi_take_capture, kestrelapi_capture_open); description
 * and message as for kestrelapi_decoder_create. The decoder reads the capture while it
 * lives: once kestrelapi_capture_free freed it, reads give OHWAPI_NO_DATA. An unknown or
 * freed capture is OHWAPI_INVALID_ARGUMENT. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_decoder_create(kestrelapi_capture capture,
                                                                      const char* description,
                                                                      kestrelapi_decoder* decoder,
                                                                      char* message,
                                                                      uint32_t message_size);
/* Opens a sigrok session file (.sr, versions 1 and 2, as sigrok writes them and as other
 * devices' files hold them: the logic channels of the first device, 1..64 of them in units
 * of 1..8 bytes, in one capture file or numbered chunks; analog channels are left out) as
 * a capture object, channel k being bit k of each sample, named as the file names its
 * channels (chN for those it leaves unnamed). A file without a sampling rate is taken at
 * 1 Hz. A file that cannot be read or is not such a session is OHWAPI_INVALID_ARGUMENT,
 * with the reason in `message` (NUL-terminated, cut to message_size; "" on success). Free
 * it with kestrelapi_capture_free. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_capture_open(const char* path,
                                                            kestrelapi_capture* capture,
                                                            char* message, uint32_t message_size);
/* Copies up to `capacity` frames completed so far into `frames`; *count receives how many.
 * Each read continues where the last stopped. *more stays true while frames are left or
 * the capture may still add some: during a capture a read may give 0 frames with *more
 * true (read again later). OHWAPI_INVALID_ARGUMENT for a decoder not created or already
 * freed, NULL pointers and a capacity of 0; OHWAPI_NO_DATA once the capture is gone (the
 * handle freed, a new capture launched). */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_decoder_read(kestrelapi_decoder decoder,
                                                            kestrelapi_frame_t* frames,
                                                            uint32_t capacity, uint32_t* count,
                                                            bool* more);
/* NULL is OK; a decoder already freed gives OHWAPI_INVALID_ARGUMENT. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_decoder_free(kestrelapi_decoder decoder);

/* Name of an error code as a static string: "OHWAPI_BUSY", "LIBUSB_ERROR_TIMEOUT" (1993),
 * "FT_DEVICE_NOT_FOUND" (3002), ...; "UNKNOWN" for any other value. 1999 is
 * "OHWAPI_UNKNOWN_ERROR" (LIBUSB_ERROR_IO also gives 1999); 1018 is "OHWAPI_TX_FAILURE". */
KESTRELAPI_EXPORT const char* kestrelapi_error_name(int code);

/* Diagnostics
 *
 * The library writes diagnostic lines (what a device, a capture or an update is doing,
 * and why something failed) to standard output, one line at a time, unless a function
 * takes them: kestrelapi_set_log_callback gives each line of the handle's work, without
 * its end of line, to fn with the line's level (KESTRELAPI_LOG_DEBUG, _INFO, _WARNING,
 * _ERROR) and the caller's user pointer. fn may be called from the library's threads,
 * one line at a time. fn may call the library: the lines those calls write follow once
 * fn returns; kestrelapi_set_log_callback of the same handle from inside fn is refused
 * with OHWAPI_BUSY, as is kestrelapi_free (see there). A null fn restores standard
 * output; once the call returns the previous fn is not called again. */
enum {
    KESTRELAPI_LOG_DEBUG = 0,   /* traces of progress */
    KESTRELAPI_LOG_INFO = 1,    /* steps: interfaces opened, capture done, reboot */
    KESTRELAPI_LOG_WARNING = 2, /* handled trouble: a retry, a missing reply */
    KESTRELAPI_LOG_ERROR = 3,   /* a failure: refused settings, a file not written */
};
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_set_log_callback(
    kestrelapi_handle handle, void (*fn)(void* user, int level, const char* line), void* user);

/* The reason of the handle's last failed launch, export or open, as one line of text
 * (NUL-terminated, cut to size - 1 bytes): the system's error of an export ("cannot
 * create a file beside /tmp/x/a.vcd: No such file or directory"), the settings field that
 * was refused and its range ("settings: s_clk = 0 is outside 1..1000000000 Hz"), why a
 * device cannot be opened; the error code's name when there is nothing more to say, ""
 * when the last of those calls succeeded. OHWAPI_INVALID_ARGUMENT for a NULL text or a
 * size of 0. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_last_error_text(kestrelapi_handle handle,
                                                                   char* text, uint32_t size);

/* The library's version (major.minor.patch; the SONAME carries the major). Needs no handle;
 * OHWAPI_INVALID_ARGUMENT when a pointer is NULL. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_get_library_version(uint32_t* major, uint32_t* minor,
                                                                   uint32_t* patch);

#ifdef __cplusplus
} /* extern "C" */

/* C++ linkage: complex trigger launch, firmware update, serial number, reboot. */
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_launch_new_capture_complex_trigger(
    kestrelapi_handle handle, kestrelapi_settings_t settings);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_check_fw_update_needed(
    kestrelapi_handle handle, bool* update_needed, char* mcu_fw_filename,
    uint32_t mcu_filename_size, char* rec_fw_filename, uint32_t rec_filename_size,
    char* fpga_fw_filename, uint32_t fpga_filename_size);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_launch_fw_update(
    kestrelapi_handle handle, bool force, char* mcu_fw_filename, uint32_t mcu_filename_size,
    char* rec_fw_filename, uint32_t rec_filename_size, char* fpga_fw_filename,
    uint32_t fpga_filename_size);
KESTRELAPI_EXPORT ohwapi_err_code_t
kestrelapi_get_firmware_update_progress(kestrelapi_handle handle, uint8_t* p);
KESTRELAPI_EXPORT ohwapi_err_code_t
kestrelapi_get_firmware_update_done_flag(kestrelapi_handle handle, bool* f);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_change_sn(kestrelapi_handle handle, char* new_sn,
                                                         uint32_t new_sn_size);
KESTRELAPI_EXPORT ohwapi_err_code_t kestrelapi_reboot_and_close(kestrelapi_handle handle);
#endif /* __cplusplus */

#endif /* KESTRELAPI_H */
