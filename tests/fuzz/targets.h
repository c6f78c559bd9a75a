// Fuzz targets: each takes one input and returns 0. Input from the device or the caller
// may be refused with an exception; anything else (an abort, a sanitizer report, an
// exception of an unexpected type) is a fault. Built as libFuzzer binaries (KESTREL_FUZZ)
// and, in the normal build, replayed over the stored inputs by test_fuzz_regressions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel_fuzz {

using target_fn = int (*)(const uint8_t*, size_t);

int interpreter(const uint8_t* data, size_t size);
int status_record(const uint8_t* data, size_t size);
int buffer_parser(const uint8_t* data, size_t size);
int file_loader_reply(const uint8_t* data, size_t size);
int trigger_description(const uint8_t* data, size_t size);
int sim_config_decode(const uint8_t* data, size_t size);
int settings(const uint8_t* data, size_t size);
// Sequences of exported calls from two threads against the virtual device (api_misuse.cpp).
int api_misuse(const uint8_t* data, size_t size);
int trigger_program(const uint8_t* data, size_t size);

struct target {
    const char* name;
    target_fn fn;
};

inline constexpr target all_targets[] = {
    {"interpreter", interpreter},
    {"status_record", status_record},
    {"buffer_parser", buffer_parser},
    {"file_loader_reply", file_loader_reply},
    {"trigger_description", trigger_description},
    {"sim_config_decode", sim_config_decode},
    {"settings", settings},
    {"api_misuse", api_misuse},
    {"trigger_program", trigger_program},
};

// Seed inputs for a target, made with the library's own encoders and the layouts the
// unit tests use.
std::vector<std::vector<uint8_t>> seeds(const std::string& target_name);

} // namespace kestrel_fuzz
