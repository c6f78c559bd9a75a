#include "decode/description_reader.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace decode {

namespace {

std::string lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

description_reader::description_reader(const std::string& text) : text_(text) {
    size_t i = 0;
    while (i < text.size()) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        item w;
        w.column = i + 1;
        const size_t b = i;
        while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])))
            ++i;
        w.text = text.substr(b, i - b);
        const auto eq = w.text.find('=');
        w.key = lower(w.text.substr(0, eq));
        if (eq != std::string::npos) {
            w.has_value = true;
            w.value = w.text.substr(eq + 1);
        }
        words_.push_back(std::move(w));
    }
    if (words_.empty()) {
        item none;
        none.column = 1;
        fail(none, "no protocol (uart, spi, i2c or can)");
    }
    if (words_[0].has_value) fail(words_[0], "no protocol (uart, spi, i2c or can)");
    words_[0].used = true;
    for (size_t k = 1; k < words_.size(); ++k)
        for (size_t j = 1; j < k; ++j)
            if (words_[j].key == words_[k].key) fail(words_[k], "given twice");
}

void description_reader::fail(const item& at, const std::string& why) const {
    throw description_error("column " + std::to_string(at.column) + " ('" + at.text + "'): " + why);
}

description_reader::item* description_reader::find(const char* key) {
    for (size_t k = 1; k < words_.size(); ++k)
        if (words_[k].key == key) return &words_[k];
    return nullptr;
}

const description_reader::item* description_reader::find(const char* key) const {
    return const_cast<description_reader*>(this)->find(key);
}

bool description_reader::has(const char* key) const {
    return find(key) != nullptr;
}

void description_reader::missing(const char* key) const {
    item end;
    end.column = text_.size() + 1;
    fail(end, std::string(key) + "= is missing");
}

std::optional<unsigned> description_reader::optional_channel(const source& src, const char* key) {
    item* w = find(key);
    if (!w) return std::nullopt;
    w->used = true;
    if (!w->has_value || w->value.empty()) fail(*w, "expected " + std::string(key) + "=CHANNEL");
    const std::string& v = w->value;
    const unsigned n = src.channels();
    if (std::all_of(v.begin(), v.end(), [](char c) { return std::isdigit(c) != 0; })) {
        unsigned ch = 0;
        const auto r = std::from_chars(v.data(), v.data() + v.size(), ch);
        if (r.ec != std::errc() || ch >= n)
            fail(*w, "channel outside 0.." + std::to_string(n == 0 ? 0 : n - 1));
        return ch;
    }
    if (auto ch = src.channel_named(v)) return *ch;
    fail(*w, "no channel is named '" + v + "'");
}

unsigned description_reader::channel(const source& src, const char* key) {
    if (auto ch = optional_channel(src, key)) return *ch;
    missing(key);
}

uint64_t description_reader::number(const char* key, uint64_t lo, uint64_t hi,
                                    std::optional<uint64_t> def, const char* unit) {
    item* w = find(key);
    if (!w) {
        if (!def) missing(key);
        return *def;
    }
    w->used = true;
    const std::string range = std::to_string(lo) + ".." + std::to_string(hi) + unit;
    if (!w->has_value) fail(*w, "expected " + std::string(key) + "=" + range);
    // A plain number, or one with a k or M multiplier (115200, 500k, 1M).
    std::string v = w->value;
    uint64_t mult = 1;
    if (!v.empty() && (v.back() == 'k' || v.back() == 'K'))
        mult = 1000, v.pop_back();
    else if (!v.empty() && v.back() == 'M')
        mult = 1000000, v.pop_back();
    uint64_t x = 0;
    const auto r = std::from_chars(v.data(), v.data() + v.size(), x);
    if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size())
        fail(*w, "not a number; expected " + range);
    if (x > hi / mult || x * mult < lo || x * mult > hi) fail(*w, "outside " + range);
    return x * mult;
}

size_t description_reader::choice(const char* key, std::initializer_list<const char*> choices,
                                  size_t def) {
    item* w = find(key);
    if (!w) return def;
    w->used = true;
    const std::string v = lower(w->value);
    size_t k = 0;
    std::string all;
    for (const char* c : choices) {
        if (v == c && w->has_value) return k;
        all += (k == 0 ? "" : k + 1 == choices.size() ? " or " : ", ") + std::string(c);
        ++k;
    }
    fail(*w, "expected " + std::string(key) + "=" + all);
}

bool description_reader::word(const char* key) {
    item* w = find(key);
    if (!w) return false;
    w->used = true;
    if (w->has_value) fail(*w, std::string(key) + " takes no value");
    return true;
}

void description_reader::refuse(const char* key, const std::string& why) const {
    const item* w = find(key);
    fail(w ? *w : words_[0], why);
}

void description_reader::finish(const char* takes) {
    for (const auto& w : words_)
        if (!w.used) fail(w, "unknown option of " + protocol() + " (" + takes + ")");
}

} // namespace decode
