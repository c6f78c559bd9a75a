// Acquisition engine of the virtual device: the signals on its inputs, the faults of the
// sample stream, and the ground truth of the last capture.
//
// Signals are functions of time (picoseconds since the run flag went to 1), so any sample
// can be asked for without replaying the capture; the sampling frequency of the loaded
// configuration turns sample indexes into times.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel_sim {

// One input signal. Times are in seconds; they are rounded to whole picoseconds.
struct signal_t {
    enum class kind_t { constant, square, counter, uart, spi, random, pattern };
    enum class spi_role_t { clk, data, cs };
    enum class i2c_role_t { scl, sda };

    kind_t kind = kind_t::constant;
    bool level = false;         // constant: the level; random: the level at time 0
    int64_t period_ps = 0;      // square: period; counter: time per count; random: mean interval
    int64_t high_ps = 0;        // square: time high in each period
    int64_t phase_ps = 0;       // square, uart, spi: time of the first rising edge / frame start
    unsigned bit = 0;           // counter: which bit of the count
    std::vector<uint8_t> bytes; // uart, spi: the bytes sent, in order; pattern: the levels
    double rate_hz = 0;         // uart: baud rate; spi: clock frequency; pattern: levels/s
    unsigned gap_bits = 2;      // uart: idle bits after each frame; spi: idle clocks after a frame
    bool repeat = true;         // uart, spi: start again after the last byte (else idle forever)
    spi_role_t role = spi_role_t::clk;
    uint64_t seed = 0; // random

    static signal_t constant(bool level);
    // Rising edge at `phase_s` (plus whole periods), high for `duty` of the period.
    static signal_t square(double period_s, double duty = 0.5, double phase_s = 0);
    // Bit `bit` of a count that starts at 0 and goes up by one every `step_s`.
    static signal_t counter(unsigned bit, double step_s);
    // 8N1 frames, least significant bit first, idle high; the first start bit at `start_s`.
    static signal_t uart(std::vector<uint8_t> bytes, double baud, unsigned gap_bits = 2,
                         bool repeat = true, double start_s = 0);
    // SPI mode 0, most significant bit first: chip select low for the whole frame, data
    // set while the clock is low and held over its rising edge. The three roles of one bus
    // use the same parameters.
    static signal_t spi(spi_role_t role, std::vector<uint8_t> bytes, double clock_hz,
                        unsigned gap_clocks = 4, bool repeat = true, double start_s = 0);
    // One toggle at a seeded random point of every `mean_interval_s` window.
    static signal_t random(uint64_t seed, double mean_interval_s, bool initial = false);
    // The levels in turn (0 or 1), each for `unit_s`, from `start_s` on; the last level
    // before the start and, without repeat, after the end.
    static signal_t pattern(std::vector<uint8_t> levels, double unit_s, bool repeat = true,
                            double start_s = 0);
    // One I2C write of `bytes` to the 7-bit `address` at `clock_hz`: start, address with
    // the write bit, the bytes, every ninth bit an acknowledgement (low), stop; then both
    // lines idle high for four clocks before it repeats.
    static signal_t i2c(i2c_role_t role, uint8_t address, const std::vector<uint8_t>& bytes,
                        double clock_hz, bool repeat = true, double start_s = 0);
    // One classic CAN data frame (or a remote frame) on the bus level, 1 recessive: start
    // of frame, the 11-bit identifier (29 bits when `extended`), the control field, up to
    // eight data bytes, the CRC-15, bit stuffing up to the end of the CRC, the
    // acknowledgement slot driven dominant by a receiver, end of frame and intermission;
    // the bus idles for eleven bits before each frame.
    static signal_t can(uint32_t id, bool extended, const std::vector<uint8_t>& bytes,
                        double bitrate, bool remote = false, bool repeat = true,
                        double start_s = 0);
    // The bus levels of that frame, one per bit, without the idle before it.
    static std::vector<uint8_t> can_bits(uint32_t id, bool extended,
                                         const std::vector<uint8_t>& bytes, bool remote = false);
};

// Signals chosen by a description instead of code (the virtual device's
// KESTREL_SIM_SIGNALS), one item per channel or bus, separated by ';' or new lines, '#'
// starting a comment:
//   CH=clock:FREQ[:DUTY]         a square wave (FREQ like 1MHz, 250k, 9600)
//   CH=counter:STEP[:BIT]        bit BIT (default 0) of a count going up every STEP (1us, 80ns)
//   A-B=counter:STEP             bits 0, 1, ... of that count on channels A..B
//   CH=uart:BAUD:DATA            8N1 frames of DATA, repeated
//   CLK,DATA,CS=spi:FREQ:DATA    SPI mode 0 frames of DATA, repeated
//   SCL,SDA=i2c:FREQ:ADDR:DATA   an I2C write of DATA to ADDR (7 bits, 0x50 or 80), repeated
//   CH=can:BITRATE:ID:DATA       a CAN data frame of DATA (0..8 bytes, or none) with the
//                                identifier ID: extended when above 0x7FF or written with
//                                eight hexadecimal digits (0x00000123), repeated
//   CH=0, CH=1 (or low, high)    a constant level
// DATA is text (with \n, \r, \t, \\ and \xNN) or hexadecimal bytes such as 0x81,0x3C.
struct signal_choice_t {
    std::vector<unsigned> channels; // natural channels
    std::vector<signal_t> signals;  // one per channel
};
// Throws std::invalid_argument with a message that names the item and what is wrong.
std::vector<signal_choice_t> parse_signal_description(const std::string& text);

// What the engine knows about a capture. Sample indexes count from the first sample
// streamed (capture sample 0).
struct capture_info_t {
    bool running = false; // run flag 1 with a usable configuration
    bool trigged = false;
    uint32_t sampling_freq = 0;
    int64_t pre_trig_samples = 0;  // history kept before the trigger sample
    int64_t post_trig_samples = 0; // samples after the trigger sample
    int64_t trigger_sample = -1;   // capture sample of the trigger, -1 before it
    int64_t first_sample = 0;      // device sample (since the run started) of capture sample 0
    int64_t total_samples = 0;     // samples each group streams in full
    std::vector<int64_t> streamed; // per group (bridge index): samples handed to the host
    std::vector<uint64_t> bytes;   // per group: bytes handed to the host
    // Per group: capture samples in the whole packets that reached the host (an abort of
    // the pipe drops the bytes on their way, lost_bytes).
    std::vector<int64_t> delivered;
    std::vector<uint64_t> lost_bytes;
    uint64_t runs = 0; // captures started since the device came up
    // An output program runs in this capture and has started (at the trigger, when its
    // engine waits for it); the capture sample of its start (negative: before sample 0).
    bool outputs_running = false;
    int64_t program_start_sample = 0;
};

// One group's output program engine.
struct output_status_t {
    bool loading = false;       // load_enable of its last parameters
    bool ready = false;         // what endpoint 71 reports: a program, loading off, start flag on
    size_t words = 0;           // program words in the engine
    size_t loading_words = 0;   // words received since loading was enabled
    uint64_t ignored_bytes = 0; // pipe 0x02 bytes received while loading was off
    uint64_t bad_addresses = 0; // loading values whose address did not follow the stream
};

class acquisition {
public:
    class engine; // device side, used by the firmware model and the bridges

    explicit acquisition(unsigned groups);
    ~acquisition();
    acquisition(const acquisition&) = delete;
    acquisition& operator=(const acquisition&) = delete;

    // Inputs. A capture works on the signals set when its run started.
    void set_signal(unsigned natural_channel, signal_t s);
    signal_t signal(unsigned natural_channel) const;
    // Signals by description (see parse_signal_description); all or nothing: a malformed
    // description or a channel the device does not have throws std::invalid_argument.
    void set_signals(const std::string& description);
    // Clock, data and chip select of one SPI bus on three channels.
    void set_spi(unsigned clk_channel, unsigned data_channel, unsigned cs_channel,
                 std::vector<uint8_t> bytes, double clock_hz, unsigned gap_clocks = 4);
    void set_external_input(signal_t s);
    // Output-sync flag of a group's output engine, streamed in `rfu` packets.
    void set_output_sync(unsigned group, signal_t s);
    // Every input back to the default activity, then what KESTREL_SIM_SIGNALS (or the file
    // KESTREL_SIM_SIGNALS_FILE) chooses for the channels this device has.
    void reset_signals();
    unsigned channels() const;

    // Faults. `group` is the bridge index; all of them keep until clear_faults().
    // The group's buffer overflows once `after_samples` capture samples were produced:
    // the stream ends there and the status reports `overrun`.
    void overrun_after(unsigned group, int64_t after_samples);
    // The trigger condition is never met.
    void never_trigger(bool on);
    // After `after_bytes` bytes the group's stream stops for `duration` (negative: until
    // clear_faults()); the data is kept and follows afterwards.
    void stall_stream(unsigned group, uint64_t after_bytes, std::chrono::milliseconds duration);
    // The next `count` reads of pipe 0x82 of the group fail with `ft_status`, no data moved.
    void fail_reads(unsigned group, unsigned count, uint32_t ft_status = 4);
    void clear_faults();

    // Ground truth of the current (or last) capture.
    capture_info_t capture() const;
    // Waits until the capture triggered; false after `timeout` without trigger.
    bool wait_trigger(std::chrono::milliseconds timeout) const;
    bool level(unsigned natural_channel, int64_t capture_sample) const;
    bool external_level(int64_t capture_sample) const;
    bool output_sync_level(unsigned group, int64_t capture_sample) const;

    // Output program engines. `group` is the bridge index (configuration vector order).
    output_status_t output_status(unsigned group) const;
    // The device words of the group's program, as decoded from its loading form.
    std::vector<uint32_t> output_words(unsigned group) const;
    // Levels of the group's channels (bit j: channel j) that its program holds `period`
    // output periods (8 ns each) after it started.
    uint32_t output_levels(unsigned group, uint64_t period) const;

    engine& device_side() { return *e_; }

private:
    std::unique_ptr<engine> e_;
};

} // namespace kestrel_sim
