// Scratch directories and file-size limits for tests that write stores and files.
#pragma once
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <sys/resource.h>

namespace core_test {

// A fresh directory under /tmp, removed with everything in it.
class scratch_dir {
public:
    scratch_dir() {
        char t[] = "/tmp/kestrel_scratch_XXXXXX";
        path = ::mkdtemp(t);
    }
    ~scratch_dir() { std::filesystem::remove_all(path); }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    size_t entries() const {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path),
                                                 std::filesystem::directory_iterator()));
    }
    std::string path;
};

// The process may not write files beyond `bytes` while it lives; SIGXFSZ is ignored so that
// a write beyond fails with EFBIG instead of ending the process.
class file_size_limit {
public:
    explicit file_size_limit(rlim_t bytes) {
        old_handler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old);
        rlimit l = old;
        l.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &l);
    }
    ~file_size_limit() {
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, old_handler);
    }
    file_size_limit(const file_size_limit&) = delete;
    file_size_limit& operator=(const file_size_limit&) = delete;

private:
    rlimit old{};
    void (*old_handler)(int) = nullptr;
};

} // namespace core_test
