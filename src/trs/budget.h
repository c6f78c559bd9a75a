#pragma once

// The memory budget of a handle's transition stores and the files their sealed chunks
// spill to.
//
// Every store of a handle, and every store taken out of it, counts the chunks it holds in
// memory and its index of spilled blocks against one budget. Once they hold more than the budget, a
// store writes its oldest sealed chunks, in blocks, to the spill file of its capture and lets them
// go; the file is created unlinked (O_TMPFILE, else a name removed at once), so nobody else can
// open it and it disappears with the last store that uses it, or with the process. A capture's
// stores share one file; the next capture (a clear, a take) starts a new one.
//
// A file that cannot grow (no space, a quota, a file-size limit) marks the budget full:
// the stores then keep their chunks in memory, nothing is lost, and the capture, which
// watches full(), ends. The mark is cleared by the next capture.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace trs {

// One spill file: blocks appended at offsets reserved atomically, read back by offset.
class spill_file {
public:
    // Throws std::runtime_error with the directory and the system's reason.
    explicit spill_file(const std::string& directory);
    ~spill_file();
    spill_file(const spill_file&) = delete;
    spill_file& operator=(const spill_file&) = delete;

    // Writes the pieces, piece_bytes each, one after the other at a new offset and returns
    // it; -1 when the file cannot hold them, with the reason in `why`. The pieces are the
    // chunks of a block where they lie in memory: no copy into one buffer first.
    int64_t append(std::span<const void* const> pieces, size_t piece_bytes, std::string& why);
    // Reads back what append wrote into pieces of piece_bytes; throws std::runtime_error
    // when the system fails.
    void read(int64_t offset, std::span<void* const> pieces, size_t piece_bytes) const;
    uint64_t bytes() const { return end.load(std::memory_order_relaxed); }
    // Writes the file back and drops its pages from the page cache, so that the next reads
    // come from the disk (for measurements of cold reads).
    void drop_cache() const;
    const std::string& directory() const { return dir; }

private:
    std::string dir;
    int fd = -1;
    std::atomic<uint64_t> end{0};
};

class budget {
public:
    // Default: a quarter of physical memory, in `default_directory()`.
    budget();

    // memory_bytes 0: no limit. Checks that the directory can hold a file (creating and
    // dropping one); throws std::runtime_error with the reason, changing nothing.
    void set(uint64_t memory_bytes, const std::string& directory);
    uint64_t limit() const { return limit_.load(std::memory_order_relaxed); }
    std::string directory() const;

    // KESTREL_STORE_DIR, else /var/tmp (/tmp may be memory itself).
    static std::string default_directory();
    static uint64_t default_limit();

    // Bytes of chunks in memory (spare ones not counted) and of the stores' indexes of
    // spilled blocks.
    void add_resident(int64_t bytes) { resident_.fetch_add(bytes, std::memory_order_relaxed); }
    int64_t resident() const { return resident_.load(std::memory_order_relaxed); }
    bool over() const {
        const uint64_t l = limit();
        return l != 0 && !full() && resident() > static_cast<int64_t>(l);
    }

    // The spill file of the current capture, created at its first use; null (with the
    // budget marked full) when it cannot be created.
    std::shared_ptr<spill_file> file();
    // Starts a new capture: a new file at the next spill, the full mark cleared.
    void next_capture();

    bool full() const { return full_.load(std::memory_order_acquire); }
    // The first reason the file could not grow, for the capture's error text.
    std::string full_reason() const;
    void mark_full(const std::string& why);
    // Bytes spilled by the current capture.
    uint64_t spilled_bytes() const;

private:
    std::atomic<uint64_t> limit_;
    std::atomic<int64_t> resident_{0};
    std::atomic<bool> full_{false};
    mutable std::mutex m;
    std::string dir;                     // guarded by m
    std::string reason;                  // guarded by m
    std::shared_ptr<spill_file> current; // guarded by m
};

} // namespace trs
