#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace mox {

// Formats the log lines of one task (name, separator, optional xterm colour) and hands each
// finished line, end of line included, to the output function in one call. Used by one
// thread.
class console {
public:
    using tx_fn = std::function<void(std::string_view)>;

    struct colors {
        enum color : uint8_t {
            none = 0,
            yellow = 1,
            saumon = 2,
            blue = 3,
            rose = 4,
            pink = 5,
            lime = 6,
            green = 7,
            magenta = 8,
            cyan = 9,
            white = 10,
            gray = 11,
            gold = 12,
            olive = 13,
            sky = 14,
        };
        // xterm 256-colour index, as decimal text.
        static std::string_view get_col(color c);
    };

    enum log_lvl : uint8_t { none = 0, intermediate = 1, all = 2 };

    // The output function is copied, so a temporary (a lambda) may be passed.
    console(tx_fn tx_function, std::string_view task_name, colors::color color_code,
            log_lvl log_level, std::string_view new_line, std::string_view separator);
    console(const console&) = delete;
    console& operator=(const console&) = delete;

    void log(std::string_view msg);
    void log_error(std::string_view msg);
    void log_warning(std::string_view msg);

    // Appends msg and the line end to what is assembled and sends the line.
    void pretty_print(std::string_view msg);

private:
    void emit(const std::string& prefix, std::string_view msg);

    std::string buffer;
    tx_fn tx_function;
    std::string prefix_normal;
    std::string prefix_error;
    std::string prefix_warning;
    std::string suffix;
    log_lvl log_level;
};

} // namespace mox
