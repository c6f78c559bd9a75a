#pragma once

#include <atomic>

namespace mox {

// Keeps a flag true exactly while the owning scope runs, also when an exception leaves it.
class smartflag {
public:
    explicit smartflag(std::atomic<bool>& f) : flag(f) { flag = true; }
    ~smartflag() { flag = false; }
    smartflag(const smartflag&) = delete;
    smartflag& operator=(const smartflag&) = delete;

private:
    std::atomic<bool>& flag;
};

} // namespace mox
