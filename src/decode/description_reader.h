#pragma once

// The text that chooses a decoder: a protocol name, then options as KEY=VALUE or single
// words, separated by spaces ("uart rx=8 baud=115200 parity=even"). Channels are numbers
// or the names the source knows. A mistake throws description_error naming the column and the
// reason, as trigger programs do: "column 6 ('rx=99'): channel outside 0..17".

#include "decode/source.h"

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace decode {

class description_error : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class description_reader {
public:
    // Splits the text; the protocol is lower-cased. An empty text is refused.
    explicit description_reader(const std::string& text);

    const std::string& protocol() const { return words_[0].key; }
    [[noreturn]] void fail_protocol(const std::string& why) const { fail(words_[0], why); }

    // Each reads one option once; absent optional ones give the default. A required one
    // that is missing is refused at the end of the text.
    unsigned channel(const source& src, const char* key);
    bool has(const char* key) const;
    std::optional<unsigned> optional_channel(const source& src, const char* key);
    uint64_t number(const char* key, uint64_t lo, uint64_t hi, std::optional<uint64_t> def,
                    const char* unit = "");
    // One of `choices`, as its index; `def` when absent.
    size_t choice(const char* key, std::initializer_list<const char*> choices, size_t def);
    // A word without a value ("invert").
    bool word(const char* key);
    // Refuses the option `key` (or the protocol when it is absent) with a reason.
    [[noreturn]] void refuse(const char* key, const std::string& why) const;
    // Refuses whatever was not read, naming what the protocol takes.
    void finish(const char* takes);

private:
    struct item {
        std::string key, value, text;
        size_t column = 0; // 1-based
        bool has_value = false;
        bool used = false;
    };
    [[noreturn]] void fail(const item& at, const std::string& why) const;
    item* find(const char* key);
    const item* find(const char* key) const;
    [[noreturn]] void missing(const char* key) const;

    std::string text_;
    std::vector<item> words_;
};

} // namespace decode
