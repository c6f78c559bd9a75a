#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hw/log.h"
#include "kestrel/link/communication.h"
#include "mox/event_value.h"
#include "mox/progress.h"
#include "mox/timeout.h"

namespace kestrel::commands {

// First parameter byte of every request and reply on the file_loader endpoint.
enum class file_loader : uint8_t {
    res_error = 0,
    res_sucess = 1,
    res_busy = 2,
    exists = 3,
    get_crc = 4,
    remove = 5,
    open = 6,
    write = 7,
    close = 8,
};

} // namespace kestrel::commands

namespace kestrel {

// The waits the device is given; tests shorten them to reach the no-reply paths.
struct file_loader_timing {
    uint32_t op_ms = 5000;
    uint32_t chunk_ms = 1500;
    uint32_t crc_ms = 20000;
    uint32_t busy_pause_ms = 200;
};

// Host side of the device's small file system: one operation at a time, each waiting for
// the device's answer. The device appends written chunks to the file opened last.
class file_loader {
public:
    using bytes = std::vector<uint8_t>;

    static constexpr size_t chunk_size = 250;
    static constexpr unsigned max_attempts = 100;

    using timing = file_loader_timing;

    file_loader(communication& com, const hw::log_fn& log, timing t = {});
    ~file_loader();
    file_loader(const file_loader&) = delete;
    file_loader& operator=(const file_loader&) = delete;

    // Named operations: false when the device refuses or stays busy for every attempt;
    // hw::exception(not_responding) when an attempt gets no answer.
    bool file_exists(const std::string& name);
    // True at once when the device confirms there is nothing to remove; false when it
    // stays busy on the question.
    bool file_remove(const std::string& name);
    bool file_open(const std::string& name);
    bool file_close(const std::string& name);
    // Advances progress from 0 to 100 over the chunks.
    bool file_write(const bytes& data, mox::progress<uint8_t, 100>& progress);
    // Whether the device's CRC of the stored file is crc; throws not_responding when the
    // device does not answer a request and its resend.
    bool check_crc(const std::string& name, uint32_t crc);

    // One reply of the device on the endpoint (the listener thread calls it). Public so
    // that replies can be fed without a link.
    void com_handler(const bytes& reply);

private:
    bool do_file_operation(commands::file_loader op, const std::string& filename, mox::timeout t);
    // The device's answer, or none when it stayed busy for every attempt.
    std::optional<bool> answer_of(commands::file_loader op, const std::string& filename,
                                  mox::timeout t);
    // Waits for the result of op; a late answer to an earlier operation is skipped.
    bool wait_result(commands::file_loader op, mox::timeout t, uint8_t& result);

    communication& com;
    const hw::log_fn& log;
    const timing times;
    std::mutex m;
    mox::event_value<uint8_t> e_op_result{0};
    mox::event_value<bool> eop_done{false};
    mox::event_value<uint32_t> ecrc{0};
    // Operation code of the reply that set e_op_result.
    std::atomic<uint8_t> result_op{0};
};

} // namespace kestrel
