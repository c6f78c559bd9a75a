#pragma once

// A file that appears under its final name only once it is complete: it is written under a
// temporary name in the same directory and renamed over the final name by commit().
// Destroyed without commit() (an error, an exception), it removes the temporary file.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace xport {

// The file system refused: the message names the path and the reason.
class file_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class output_file {
public:
    explicit output_file(std::string final_path);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    const std::string& temp_path() const { return temp_; }
    // Buffered stream on the temporary file (for text formats); owned here.
    std::FILE* stream();
    // Closes the descriptor, for writers that replace the temporary file by path.
    void detach();
    // Flushes and closes the stream if one was opened, then renames into place.
    void commit();

private:
    [[noreturn]] void fail(const std::string& what, int err) const;
    // The stream writes through these, so that the system's reason for a failed write is
    // kept: stdio only remembers that one failed.
    static ssize_t write_some(void* self, const char* data, size_t size);
    static int close_stream(void* self);

    std::string final_;
    std::string temp_;
    int fd_ = -1;
    std::FILE* f_ = nullptr;
    int write_errno_ = 0; // of the first failed write
    bool committed_ = false;
};

} // namespace xport
