#include "kestrel_sim/files.h"

#include <algorithm>

namespace kestrel_sim {

namespace {

const char* const images[] = {"fpga.bin", "mcu.bin", "recovery_mcu.bin"};

std::string trimmed(const std::vector<uint8_t>& b) {
    std::string s(b.begin(), b.end());
    const auto last = s.find_last_not_of(std::string(" \t\r\n\0", 5));
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

} // namespace

uint32_t file_system::crc32(std::span<const uint8_t> data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

file_answer file_system::next_answer(uint8_t op) {
    auto it = answers_.find(op);
    if (it == answers_.end() || it->second.empty()) return file_answer::normal;
    const file_answer a = it->second.front();
    it->second.pop_front();
    return a;
}

file_system::bytes file_system::handle(std::span<const uint8_t> request) {
    std::lock_guard lk(m_);
    if (request.empty() || request[0] < file_op::exists || request[0] > file_op::close) {
        ++counters_.malformed_requests;
        return {};
    }
    const uint8_t op = request[0];
    ++counters_.requests[op];
    const auto payload = request.subspan(1);
    const std::string name(payload.begin(), payload.end());
    const file_answer a = next_answer(op);
    if (a == file_answer::busy) return {op, file_op::res_busy};
    if (a == file_answer::error) return {op, file_op::res_error};

    bytes reply;
    auto result = [&](bool ok) { reply = {op, ok ? file_op::res_success : file_op::res_error}; };
    switch (op) {
    case file_op::exists:
        result(files_.count(name) > 0);
        break;
    case file_op::remove:
        result(files_.erase(name) > 0);
        break;
    case file_op::open:
        files_[name].clear();
        open_ = name;
        result(true);
        break;
    case file_op::write:
        if (open_) {
            auto& f = files_[*open_];
            f.insert(f.end(), payload.begin(), payload.end());
            counters_.bytes_written += payload.size();
        }
        result(open_.has_value());
        break;
    case file_op::close: {
        const bool ok = open_ && *open_ == name;
        if (ok) {
            open_.reset();
            if (auto c = corrupt_.find(name); c != corrupt_.end()) {
                auto& f = files_[name];
                if (!f.empty()) f[c->second % f.size()] ^= 0x5A;
                corrupt_.erase(c);
            }
        }
        result(ok);
        break;
    }
    case file_op::get_crc: {
        auto it = files_.find(name);
        const uint32_t crc = it == files_.end() ? 0 : crc32(it->second);
        reply = {op};
        for (int i = 0; i < 4; ++i)
            reply.push_back(static_cast<uint8_t>(crc >> (8 * i)));
        break;
    }
    }
    if (a == file_answer::silent) return {};
    if (a == file_answer::malformed) reply.pop_back();
    return reply;
}

bool file_system::exists(const std::string& name) const {
    std::lock_guard lk(m_);
    return files_.count(name) > 0;
}

std::optional<file_system::bytes> file_system::read(const std::string& name) const {
    std::lock_guard lk(m_);
    auto it = files_.find(name);
    if (it == files_.end()) return std::nullopt;
    return it->second;
}

void file_system::store(const std::string& name, bytes content) {
    std::lock_guard lk(m_);
    files_[name] = std::move(content);
}

void file_system::remove(const std::string& name) {
    std::lock_guard lk(m_);
    files_.erase(name);
}

std::vector<std::string> file_system::names() const {
    std::lock_guard lk(m_);
    std::vector<std::string> out;
    for (const auto& [n, f] : files_)
        out.push_back(n);
    return out;
}

void file_system::answer_next(uint8_t op, std::vector<file_answer> answers) {
    std::lock_guard lk(m_);
    answers_[op] = std::deque<file_answer>(answers.begin(), answers.end());
}

void file_system::corrupt_on_close(const std::string& name, size_t offset) {
    std::lock_guard lk(m_);
    corrupt_[name] = offset;
}

void file_system::clear_faults() {
    std::lock_guard lk(m_);
    answers_.clear();
    corrupt_.clear();
}

std::optional<std::string> file_system::boot() {
    std::lock_guard lk(m_);
    ++counters_.boots;
    // A file left open by an interrupted transfer is closed by the restart.
    open_.reset();
    running_.clear();
    for (const char* img : images)
        if (auto it = files_.find(img); it != files_.end()) running_[img] = it->second;
    auto sn = files_.find("sn.txt");
    if (sn == files_.end()) return std::nullopt;
    std::string s = trimmed(sn->second);
    if (s.empty()) return std::nullopt;
    return s;
}

std::optional<file_system::bytes> file_system::running(const std::string& name) const {
    std::lock_guard lk(m_);
    auto it = running_.find(name);
    if (it == running_.end()) return std::nullopt;
    return it->second;
}

file_counters_t file_system::counters() const {
    std::lock_guard lk(m_);
    return counters_;
}

} // namespace kestrel_sim
