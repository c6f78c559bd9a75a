#include "trs/budget.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace trs {

namespace {

std::string system_error(int err) {
    return std::strerror(err);
}

// A file in dir that nobody else can open and that goes with its descriptor.
int open_unlinked(const std::string& dir) {
#ifdef O_TMPFILE
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
    // File systems without unnamed files: a named one, removed at once.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        throw std::runtime_error("store directory " + dir + ": " + system_error(errno));
#endif
    std::string name = dir + "/.kestrel-store-XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named < 0) throw std::runtime_error("store directory " + dir + ": " + system_error(errno));
    ::unlink(name.c_str());
    return named;
}

} // namespace

spill_file::spill_file(const std::string& directory) : dir(directory), fd(open_unlinked(dir)) {}

spill_file::~spill_file() {
    ::close(fd);
}

namespace {

// At most IOV_MAX (1024 on Linux) pieces a call.
constexpr size_t most_pieces = 1024;

// Moves past `done` bytes of the pieces: the first piece not wholly done, and how far into it.
void skip(size_t done, size_t piece_bytes, size_t& first, size_t& into) {
    first = done / piece_bytes;
    into = done % piece_bytes;
}

} // namespace

int64_t spill_file::append(std::span<const void* const> pieces, size_t piece_bytes,
                           std::string& why) {
    const size_t size = pieces.size() * piece_bytes;
    const uint64_t at = end.fetch_add(size, std::memory_order_relaxed);
    std::array<iovec, most_pieces> v;
    size_t done = 0;
    while (done < size) {
        size_t first = 0, into = 0;
        skip(done, piece_bytes, first, into);
        const size_t n = std::min(pieces.size() - first, most_pieces);
        for (size_t i = 0; i < n; ++i)
            v[i] = {const_cast<void*>(pieces[first + i]), piece_bytes};
        v[0].iov_base = static_cast<char*>(v[0].iov_base) + into;
        v[0].iov_len -= into;
        const ssize_t w =
            ::pwritev(fd, v.data(), static_cast<int>(n), static_cast<off_t>(at + done));
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        // A short write that cannot go on: the file is as full as it gets.
        const int err = w < 0 ? errno : ENOSPC;
        why = "store directory " + dir + ": " + system_error(err) + " after " + std::to_string(at) +
              " bytes";
        return -1;
    }
    return static_cast<int64_t>(at);
}

void spill_file::read(int64_t offset, std::span<void* const> pieces, size_t piece_bytes) const {
    const size_t size = pieces.size() * piece_bytes;
    std::array<iovec, most_pieces> v;
    size_t done = 0;
    while (done < size) {
        size_t first = 0, into = 0;
        skip(done, piece_bytes, first, into);
        const size_t n = std::min(pieces.size() - first, most_pieces);
        for (size_t i = 0; i < n; ++i)
            v[i] = {pieces[first + i], piece_bytes};
        v[0].iov_base = static_cast<char*>(v[0].iov_base) + into;
        v[0].iov_len -= into;
        const ssize_t r = ::preadv(fd, v.data(), static_cast<int>(n),
                                   static_cast<off_t>(offset) + static_cast<off_t>(done));
        if (r > 0) {
            done += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        throw std::runtime_error("store file in " + dir + ": " +
                                 (r < 0 ? system_error(errno) : std::string("unexpected end")));
    }
}

void spill_file::drop_cache() const {
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
}

budget::budget() : limit_(default_limit()), dir(default_directory()) {}

uint64_t budget::default_limit() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page) / 4;
}

std::string budget::default_directory() {
    const char* d = std::getenv("KESTREL_STORE_DIR");
    return d != nullptr && *d != '\0' ? d : "/var/tmp";
}

void budget::set(uint64_t memory_bytes, const std::string& directory) {
    // Refused at once rather than at the first spill, deep into a capture.
    ::close(open_unlinked(directory));
    std::lock_guard l(m);
    limit_ = memory_bytes;
    if (dir != directory) current.reset();
    dir = directory;
}

std::string budget::directory() const {
    std::lock_guard l(m);
    return dir;
}

std::shared_ptr<spill_file> budget::file() {
    std::lock_guard l(m);
    if (!current) {
        try {
            current = std::make_shared<spill_file>(dir);
        } catch (const std::runtime_error& e) {
            if (reason.empty()) reason = e.what();
            full_ = true;
            return nullptr;
        }
    }
    return current;
}

void budget::next_capture() {
    std::lock_guard l(m);
    current.reset();
    reason.clear();
    full_ = false;
}

std::string budget::full_reason() const {
    std::lock_guard l(m);
    return reason;
}

void budget::mark_full(const std::string& why) {
    std::lock_guard l(m);
    if (reason.empty()) reason = why;
    full_ = true;
}

uint64_t budget::spilled_bytes() const {
    std::lock_guard l(m);
    return current ? current->bytes() : 0;
}

} // namespace trs
