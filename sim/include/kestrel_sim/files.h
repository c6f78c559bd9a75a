// The device's file system behind the file_loader endpoint (2): named files written by
// open, chunked writes and close, checked by CRC-32, with the faults the host's transfer
// must survive. Images stored here are what the device runs after its next restart; a
// stored "sn.txt" becomes its serial number then.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestrel_sim {

// Operation codes, the first byte of every request and reply.
namespace file_op {
inline constexpr uint8_t res_error = 0;
inline constexpr uint8_t res_success = 1;
inline constexpr uint8_t res_busy = 2;
inline constexpr uint8_t exists = 3;
inline constexpr uint8_t get_crc = 4;
inline constexpr uint8_t remove = 5;
inline constexpr uint8_t open = 6;
inline constexpr uint8_t write = 7;
inline constexpr uint8_t close = 8;
} // namespace file_op

// How the device treats one request of an operation.
enum class file_answer {
    normal,
    busy,      // not performed, answered res_busy
    error,     // not performed, answered res_error (a refused open, a failed write ...)
    silent,    // performed, the reply is lost
    malformed, // performed, the reply is one byte short
};

struct file_counters_t {
    std::map<uint8_t, uint64_t> requests; // per operation code
    uint64_t bytes_written = 0;
    uint64_t malformed_requests = 0;
    uint64_t boots = 0;
};

class file_system {
public:
    using bytes = std::vector<uint8_t>;

    // Handles one request; returns the reply parameters, empty for none.
    bytes handle(std::span<const uint8_t> request);

    // Test access to the stored files.
    bool exists(const std::string& name) const;
    std::optional<bytes> read(const std::string& name) const;
    void store(const std::string& name, bytes content);
    void remove(const std::string& name);
    std::vector<std::string> names() const;

    // The next requests of the operation are answered this way, in order; afterwards
    // normally again.
    void answer_next(uint8_t op, std::vector<file_answer> answers);
    // When `name` is next closed, the stored byte at `offset` (modulo the size) is flipped.
    void corrupt_on_close(const std::string& name, size_t offset = 0);
    void clear_faults();

    // The device restarts: it runs the images stored now. Returns the serial number from
    // "sn.txt" when there is one.
    std::optional<std::string> boot();
    // What the device runs since its last restart (empty before the first).
    std::optional<bytes> running(const std::string& name) const;

    file_counters_t counters() const;

    static uint32_t crc32(std::span<const uint8_t> data);

private:
    file_answer next_answer(uint8_t op);

    mutable std::mutex m_;
    std::map<std::string, bytes> files_;
    std::optional<std::string> open_;
    std::map<uint8_t, std::deque<file_answer>> answers_;
    std::map<std::string, size_t> corrupt_;
    std::map<std::string, bytes> running_;
    file_counters_t counters_;
};

} // namespace kestrel_sim
