#include "kestrel/firmware/file_loader.h"

#include <chrono>
#include <iterator>

#include "hw/exception.h"
#include "mox/check.h"

namespace kestrel {

namespace {

using op_t = commands::file_loader;
using steady = std::chrono::steady_clock;

constexpr uint8_t code(op_t op) {
    return static_cast<uint8_t>(op);
}

template <typename It> std::vector<uint8_t> request_of(op_t op, It first, It last) {
    std::vector<uint8_t> out;
    out.reserve(1 + static_cast<size_t>(std::distance(first, last)));
    out.push_back(code(op));
    out.insert(out.end(), first, last);
    return out;
}

} // namespace

file_loader::file_loader(communication& c, const hw::log_fn& l, timing t)
    : com(c), log(l), times(t) {
    com.register_ep(commands::endpoints::file_loader,
                    [this](mox_com::acknowledge, const bytes& reply) { com_handler(reply); });
}

file_loader::~file_loader() {
    com.unregister_ep(commands::endpoints::file_loader);
}

void file_loader::com_handler(const bytes& reply) {
    if (reply.empty()) {
        log("com handler error: vector empty");
        throw hw::exception(hw::error::not_responding);
    }
    const uint8_t op = reply[0];
    if (op == code(op_t::get_crc)) {
        if (reply.size() != 5) throw hw::exception(hw::error::unknown_error);
        ecrc.set(uint32_t{reply[1]} | uint32_t{reply[2]} << 8 | uint32_t{reply[3]} << 16 |
                 uint32_t{reply[4]} << 24);
        return;
    }
    // Results only come back for the operations; 0..2 are result codes, not operations.
    if (op < code(op_t::exists) || op > code(op_t::close) || reply.size() != 2)
        throw hw::exception(hw::error::unknown_error);
    result_op = op;
    e_op_result.set(reply[1]);
}

bool file_loader::wait_result(op_t op, mox::timeout t, uint8_t& result) {
    const auto end = steady::now() + t.get();
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - steady::now());
        if (left.count() <= 0) return false;
        if (!e_op_result.wait(result, mox::timeout(static_cast<uint32_t>(left.count()))))
            return false;
        if (result_op == code(op)) return true;
    }
}

bool file_loader::do_file_operation(op_t op, const std::string& filename, mox::timeout t) {
    return answer_of(op, filename, t).value_or(false);
}

std::optional<bool> file_loader::answer_of(op_t op, const std::string& filename, mox::timeout t) {
    MOX_ASSERT(filename.size() < 0xFF);
    std::lock_guard lock(m);
    const bytes request = request_of(op, filename.begin(), filename.end());
    for (unsigned attempt = 0; attempt < max_attempts; ++attempt) {
        e_op_result.reset(0);
        com.tx(commands::endpoints::file_loader, request);
        uint8_t result = 0;
        if (!wait_result(op, t, result)) {
            // Whatever an earlier attempt answered, this one did not succeed; and a device
            // that stays silent is a link failure, not an answer about the file.
            log("no response de file op");
            com.throw_if_device_gone();
            throw hw::exception(hw::error::not_responding);
        }
        if (result != code(op_t::res_busy)) return result == code(op_t::res_sucess);
        mox::wait_ms(mox::timeout(times.busy_pause_ms));
    }
    log("file op still busy after " + std::to_string(max_attempts) + " attempts");
    return std::nullopt;
}

bool file_loader::file_exists(const std::string& name) {
    return do_file_operation(op_t::exists, name, times.op_ms);
}

bool file_loader::file_remove(const std::string& name) {
    // Only a confirmed absence is success: a device that stayed busy said nothing.
    const auto exists = answer_of(op_t::exists, name, times.op_ms);
    if (!exists) return false;
    if (!*exists) return true;
    return do_file_operation(op_t::remove, name, times.op_ms);
}

bool file_loader::file_open(const std::string& name) {
    return do_file_operation(op_t::open, name, times.op_ms);
}

bool file_loader::file_close(const std::string& name) {
    return do_file_operation(op_t::close, name, times.op_ms);
}

bool file_loader::file_write(const bytes& data, mox::progress<uint8_t, 100>& progress) {
    std::lock_guard lock(m);
    for (size_t offset = 0; offset < data.size(); offset += chunk_size) {
        const size_t end = std::min(offset + chunk_size, data.size());
        const bytes chunk = request_of(op_t::write, data.begin() + static_cast<ptrdiff_t>(offset),
                                       data.begin() + static_cast<ptrdiff_t>(end));
        progress.set(static_cast<uint8_t>(offset * 100 / data.size()));
        uint8_t result = code(op_t::res_busy);
        // A busy device did not take the chunk: it goes again, like a busy operation.
        for (unsigned attempt = 0; attempt < max_attempts && result == code(op_t::res_busy);
             ++attempt) {
            if (attempt > 0) mox::wait_ms(mox::timeout(times.busy_pause_ms));
            e_op_result.reset(0);
            com.tx(commands::endpoints::file_loader, chunk);
            // A lost reply counts the chunk as written: the CRC check of the whole file
            // finds a chunk that really went missing. A device that left the bus would
            // otherwise cost the wait for every remaining chunk.
            if (!wait_result(op_t::write, times.chunk_ms, result)) {
                com.throw_if_device_gone();
                result = code(op_t::res_sucess);
            }
        }
        if (result != code(op_t::res_sucess)) return false;
    }
    if (!data.empty()) progress.set(100);
    return true;
}

bool file_loader::check_crc(const std::string& name, uint32_t crc) {
    MOX_ASSERT(name.size() < 0xFF);
    std::lock_guard lock(m);
    const bytes request = request_of(op_t::get_crc, name.begin(), name.end());
    ecrc.reset(0);
    com.tx(commands::endpoints::file_loader, request);
    log("CRC request sent");
    uint32_t reported = 0;
    if (!ecrc.wait(reported, times.crc_ms)) {
        ecrc.reset(0);
        com.tx(commands::endpoints::file_loader, request);
        log("CRC request resent");
        if (!ecrc.wait(reported, times.crc_ms)) {
            log("No response to CRC request");
            com.throw_if_device_gone();
            throw hw::exception(hw::error::not_responding);
        }
    }
    const bool valid = reported == crc;
    log(std::string("crc valid? ") + (valid ? "true" : "false"));
    return valid;
}

} // namespace kestrel
