#include "mox/console.h"

#include "mox/check.h"

#include <array>
#include <utility>

namespace mox {

std::string_view console::colors::get_col(color c) {
    static constexpr std::array<std::string_view, 15> index{
        "15",  "11", "217", "33",  "177", "219", "148", "10",
        "201", "14", "15",  "250", "221", "107", "39",
    };
    MOX_ASSERT(c < index.size());
    return index[c];
}

console::console(tx_fn tx, std::string_view task_name, colors::color color_code, log_lvl level,
                 std::string_view new_line, std::string_view separator)
    : tx_function(std::move(tx)), log_level(level) {
    const std::string name = std::string(task_name) + std::string(separator);
    if (color_code == colors::none) {
        prefix_normal = prefix_error = prefix_warning = name;
        suffix = new_line;
        return;
    }
    prefix_normal = "\033[38;5;" + std::string(colors::get_col(color_code)) + "m" + name;
    prefix_error = "\033[38;5;9m" + name;
    prefix_warning = "\033[38;5;202m" + name;
    suffix = "\033[0m" + std::string(new_line);
}

void console::emit(const std::string& prefix, std::string_view msg) {
    if (log_level == none) return;
    buffer += prefix;
    pretty_print(msg);
}

void console::log(std::string_view msg) {
    emit(prefix_normal, msg);
}
void console::log_error(std::string_view msg) {
    emit(prefix_error, msg);
}
void console::log_warning(std::string_view msg) {
    emit(prefix_warning, msg);
}

void console::pretty_print(std::string_view msg) {
    buffer += msg;
    buffer += suffix;
    // Cleared also when the output function throws, so a failed line is not resent.
    const std::string line = std::exchange(buffer, {});
    if (tx_function) tx_function(line);
}

} // namespace mox
