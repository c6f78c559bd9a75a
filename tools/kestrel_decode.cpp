// kestrel-decode: decodes buses in a sigrok session file (ours, sigrok's own, other
// devices') at native speed, printing every frame.
#include <kestrelapi.h>

#include <CLI/CLI.hpp>

#include "frame_format.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int exit_ok = 0, exit_failure = 1, exit_usage = 2, exit_file = 7;

int run(const std::string& path, const std::vector<std::string>& descriptions,
        const std::string& fmt) {
    const auto style = fmt == "csv"     ? frame_format::style::csv
                       : fmt == "jsonl" ? frame_format::style::jsonl
                                        : frame_format::style::text;
    kestrelapi_capture cap = nullptr;
    char why[512] = "";
    if (kestrelapi_capture_open(path.c_str(), &cap, why, sizeof why) != OHWAPI_OK) {
        std::fprintf(stderr, "kestrel-decode: %s\n", why);
        return exit_file;
    }
    struct closer {
        kestrelapi_capture c;
        ~closer() { kestrelapi_capture_free(c); }
    } close{cap};
    uint64_t samples = 0, trigger = 0, hz = 0;
    uint8_t channels = 0;
    kestrelapi_capture_info(cap, &samples, &trigger, &hz, &channels);
    int rc = exit_ok;
    {
        frame_format::printer out(stdout, style);
        for (size_t i = 0; i < descriptions.size(); ++i) {
            kestrelapi_decoder d = nullptr;
            if (kestrelapi_capture_decoder_create(cap, descriptions[i].c_str(), &d, why,
                                                  sizeof why) != OHWAPI_OK) {
                std::fprintf(stderr, "kestrel-decode: --decode '%s': %s\n", descriptions[i].c_str(),
                             why);
                return exit_usage;
            }
            out.add(d, frame_format::decoder_name(descriptions[i], i));
        }
        frame_format::header(stdout, style);
        ohwapi_err_code_t err = OHWAPI_OK;
        // The file is complete: one pass gives every frame.
        const int64_t trig = trigger > 0 ? static_cast<int64_t>(trigger) : -1;
        while (out.drain(1.0 / static_cast<double>(hz ? hz : 1), trig, err)) {
        }
        if (err != OHWAPI_OK) {
            std::fprintf(stderr, "kestrel-decode: decoding failed: %s\n",
                         kestrelapi_error_name(err));
            rc = exit_failure;
        }
        std::fflush(stdout);
        out.counts(stderr);
    }
    return rc;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Decodes UART, SPI, I2C and CAN in a sigrok session file (.sr).",
                 "kestrel-decode"};
    std::string path, fmt = "text";
    std::vector<std::string> descriptions;
    app.add_option("file", path, "Sigrok session file (.sr)")->required();
    app.add_option("--decode", descriptions,
                   "Decoder, e.g. 'uart rx=D0 baud=115200', 'spi clk=0 mosi=1 cs=2', "
                   "'i2c scl=3 sda=4', 'can rx=5 bitrate=500000' (repeatable; channels by "
                   "number, bit k of the file's samples, or by the file's channel names)")
        ->required();
    app.add_option("--format", fmt, "text, csv or jsonl")
        ->check(CLI::IsMember({"text", "csv", "jsonl"}))
        ->capture_default_str();
    app.set_version_flag("--version", "kestrel-decode " KESTREL_VERSION " (library " +
                                          frame_format::library_version() + ")");
    app.footer("Text lines give the decoder, the time of the frame's start from the trigger "
               "(from the first sample without one), its sample, kind, value in hex and "
               "flags. The frame count of every decoder goes to standard error.\n\nExit "
               "codes: 0 done, 1 decoding failed, 2 bad arguments or decoder, 7 file not "
               "readable as a session.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int rc = app.exit(e);
        return rc == 0 ? exit_ok : exit_usage;
    }
    return run(path, descriptions, fmt);
}
