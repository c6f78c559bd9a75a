#include "export/writers.h"

#include "export/output_file.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <exception>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

namespace xport {

namespace {

constexpr size_t staging_units = 1 << 16;

// One logic-1-N file. libzip pulls its bytes while it writes the archive, so each chunk
// is generated from the stores when it is read and only a small staging buffer exists.
class chunk_source {
public:
    // `staging` is shared by the chunks: libzip reads one at a time.
    chunk_source(const capture_t& cap, isamp first, isamp end, size_t unit,
                 std::vector<uint8_t>& staging)
        : cap_(cap), first_(first), end_(end), unit_(unit), buf_(staging) {
        zip_error_init(&err_);
    }
    ~chunk_source() { zip_error_fini(&err_); }

    static zip_int64_t callback(void* ud, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        auto* self = static_cast<chunk_source*>(ud);
        try {
            return self->command(data, len, cmd);
        } catch (...) {
            self->failure = std::current_exception();
            zip_error_set(&self->err_, ZIP_ER_INTERNAL, 0);
            return -1;
        }
    }

    std::exception_ptr failure;

private:
    zip_int64_t command(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        switch (cmd) {
        case ZIP_SOURCE_OPEN:
            open();
            return 0;
        case ZIP_SOURCE_READ:
            return read(static_cast<uint8_t*>(data), len);
        case ZIP_SOURCE_CLOSE:
            cur_.clear();
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->size = static_cast<zip_uint64_t>(end_ - first_) * unit_;
            st->mtime = std::time(nullptr);
            st->valid |= ZIP_STAT_SIZE | ZIP_STAT_MTIME;
            return sizeof(*st);
        }
        case ZIP_SOURCE_ERROR:
            return zip_error_to_data(&err_, data, len);
        case ZIP_SOURCE_FREE:
            return 0; // owned by the writer
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            zip_error_set(&err_, ZIP_ER_OPNOTSUPP, 0);
            return -1;
        }
    }

    void open() {
        cur_.clear();
        due_ = {};
        word_ = 0;
        for (size_t k = 0; k < cap_.channels.size(); ++k) {
            cur_.emplace_back(cap_.iterator_of(cap_.channels[k]), first_);
            if (cur_[k].level()) word_ |= uint64_t{1} << k;
            if (cur_[k].next_change() < end_) due_.emplace(cur_[k].next_change(), k);
        }
        pos_ = first_;
        buf_.resize(staging_units * unit_);
        buf_len_ = buf_pos_ = 0;
    }

    zip_int64_t read(uint8_t* data, zip_uint64_t len) {
        zip_uint64_t done = 0;
        while (done < len) {
            if (buf_pos_ == buf_len_ && !fill()) break;
            const size_t n = std::min<zip_uint64_t>(len - done, buf_len_ - buf_pos_);
            std::memcpy(data + done, buf_.data() + buf_pos_, n);
            buf_pos_ += n;
            done += n;
        }
        return static_cast<zip_int64_t>(done);
    }

    // The next samples into the staging buffer, one level word per sample, run by run.
    bool fill() {
        if (pos_ >= end_) return false;
        size_t units = 0;
        while (units < staging_units && pos_ < end_) {
            const isamp next = due_.empty() ? end_ : due_.top().first;
            const isamp stop =
                std::min({end_, next, pos_ + static_cast<isamp>(staging_units - units)});
            uint8_t w[8];
            for (size_t b = 0; b < 8; ++b)
                w[b] = static_cast<uint8_t>(word_ >> (8 * b));
            for (isamp s = pos_; s < stop; ++s, ++units)
                std::memcpy(buf_.data() + units * unit_, w, unit_);
            pos_ = stop;
            while (!due_.empty() && due_.top().first == pos_) {
                const size_t k = due_.top().second;
                due_.pop();
                cur_[k].advance();
                word_ ^= uint64_t{1} << k;
                if (cur_[k].next_change() < end_) due_.emplace(cur_[k].next_change(), k);
            }
        }
        buf_pos_ = 0;
        buf_len_ = units * unit_;
        return true;
    }

    const capture_t& cap_;
    const isamp first_, end_;
    const size_t unit_;
    zip_error_t err_;
    std::vector<channel_cursor> cur_;
    using entry = std::pair<isamp, size_t>;
    std::priority_queue<entry, std::vector<entry>, std::greater<>> due_;
    uint64_t word_ = 0;
    isamp pos_ = 0;
    std::vector<uint8_t>& buf_;
    size_t buf_pos_ = 0, buf_len_ = 0;
};

std::string zip_message(zip_error_t* e) {
    return zip_error_strerror(e);
}

} // namespace

std::string sr_samplerate(uint64_t hz) {
    if (hz >= 1000000000 && hz % 1000000000 == 0) return std::to_string(hz / 1000000000) + " GHz";
    if (hz >= 1000000 && hz % 1000000 == 0) return std::to_string(hz / 1000000) + " MHz";
    if (hz >= 1000 && hz % 1000 == 0) return std::to_string(hz / 1000) + " kHz";
    return std::to_string(hz) + " Hz";
}

void write_sr(const capture_t& cap, const std::string& path, size_t chunk_bytes) {
    if (cap.channels.empty() || cap.channels.size() > 64)
        throw std::invalid_argument("between 1 and 64 channels");
    const size_t unit = (cap.channels.size() + 7) / 8;
    const isamp chunk_samples = static_cast<isamp>(std::max<size_t>(1, chunk_bytes / unit));

    std::string metadata = "[global]\nsigrok version=0.5.2\n\n[device 1]\ncapturefile=logic-1\n";
    metadata += "total probes=" + std::to_string(cap.channels.size()) + "\n";
    metadata += "samplerate=" + sr_samplerate(rate_hz(cap.period)) + "\n";
    metadata += "total analog=0\n";
    for (size_t k = 0; k < cap.channels.size(); ++k)
        metadata += "probe" + std::to_string(k + 1) + "=" + cap.names[k] + "\n";
    metadata += "unitsize=" + std::to_string(unit) + "\n";
    static const char version[] = "2";

    output_file out(path);
    out.detach(); // libzip replaces the temporary file by path
    int zerr = 0;
    zip_t* za = zip_open(out.temp_path().c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zerr);
    if (!za) {
        zip_error_t e;
        zip_error_init_with_code(&e, zerr);
        const std::string m = zip_message(&e);
        zip_error_fini(&e);
        throw file_error("cannot write " + path + ": " + m);
    }
    std::vector<std::unique_ptr<chunk_source>> chunks;
    std::vector<uint8_t> staging;
    auto fail = [&](const std::string& what) {
        const std::string m = what + " " + path + ": " + zip_message(zip_get_error(za));
        zip_discard(za);
        throw file_error(m);
    };
    auto add = [&](const char* name, zip_source_t* src) {
        if (!src) fail("cannot prepare");
        const zip_int64_t idx = zip_file_add(za, name, src, ZIP_FL_ENC_UTF_8);
        if (idx < 0) {
            zip_source_free(src);
            fail("cannot prepare");
        }
        return static_cast<zip_uint64_t>(idx);
    };
    add("version", zip_source_buffer(za, version, 1, 0));
    add("metadata", zip_source_buffer(za, metadata.data(), metadata.size(), 0));
    int n = 1;
    for (isamp first = 0; first < cap.length; first += chunk_samples, ++n) {
        const isamp end = std::min(cap.length, first + chunk_samples);
        chunks.push_back(std::make_unique<chunk_source>(cap, first, end, unit, staging));
        const std::string name = "logic-1-" + std::to_string(n);
        const auto idx =
            add(name.c_str(), zip_source_function(za, chunk_source::callback, chunks.back().get()));
        // Fast deflate: level words repeat for long runs, and large captures stay quick.
        zip_set_file_compression(za, idx, ZIP_CM_DEFLATE, 1);
    }
    if (zip_close(za) != 0) {
        for (auto& c : chunks)
            if (c->failure) {
                zip_discard(za);
                std::rethrow_exception(c->failure);
            }
        fail("cannot write");
    }
    for (auto& c : chunks)
        if (c->failure) std::rethrow_exception(c->failure);
    out.commit();
}

} // namespace xport
