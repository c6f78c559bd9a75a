#include "export/output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace xport {

namespace {
constexpr size_t stream_buffer = 1 << 20;

mode_t default_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}
} // namespace

output_file::output_file(std::string final_path) : final_(std::move(final_path)) {
    if (final_.empty()) throw file_error("empty file name");
    const auto slash = final_.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : final_.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? final_ : final_.substr(slash + 1);
    if (base.empty()) fail("not a file name", EISDIR);
    std::vector<char> name(dir.size() + base.size() + 16);
    std::snprintf(name.data(), name.size(), "%s.%s.XXXXXX", dir.c_str(), base.c_str());
    fd_ = ::mkstemp(name.data());
    if (fd_ < 0) fail("cannot create a file beside", errno);
    temp_ = name.data();
    // mkstemp makes the file private; the result should look like any other new file.
    if (::fchmod(fd_, default_mode()) != 0) fail("cannot set the mode of", errno);
}

output_file::~output_file() {
    if (f_)
        std::fclose(f_);
    else if (fd_ >= 0)
        ::close(fd_);
    if (!committed_ && !temp_.empty()) ::unlink(temp_.c_str());
}

ssize_t output_file::write_some(void* self, const char* data, size_t size) {
    auto& o = *static_cast<output_file*>(self);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(o.fd_, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (o.write_errno_ == 0) o.write_errno_ = n < 0 ? errno : EIO;
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

int output_file::close_stream(void* self) {
    auto& o = *static_cast<output_file*>(self);
    const int rc = ::close(o.fd_);
    o.fd_ = -1;
    return rc;
}

std::FILE* output_file::stream() {
    if (!f_) {
        f_ = ::fopencookie(
            this, "w", {nullptr, &output_file::write_some, nullptr, &output_file::close_stream});
        if (!f_) fail("cannot write", errno);
        std::setvbuf(f_, nullptr, _IOFBF, stream_buffer);
    }
    return f_;
}

void output_file::detach() {
    if (f_)
        std::fclose(f_);
    else if (fd_ >= 0)
        ::close(fd_);
    f_ = nullptr;
    fd_ = -1;
}

void output_file::commit() {
    if (f_) {
        const bool bad = std::ferror(f_) != 0;
        const int rc = std::fclose(f_);
        const int err = errno;
        f_ = nullptr;
        fd_ = -1;
        if (bad || rc != 0)
            fail("cannot write", write_errno_ != 0 ? write_errno_ : bad ? EIO : err);
    } else if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (std::rename(temp_.c_str(), final_.c_str()) != 0) fail("cannot rename into", errno);
    committed_ = true;
}

void output_file::fail(const std::string& what, int err) const {
    throw file_error(what + " " + final_ + ": " + std::strerror(err));
}

} // namespace xport
