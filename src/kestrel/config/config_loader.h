#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "kestrel/config/config.h"
#include "kestrel/link/communication.h"
#include "mox/semaphore.h"

namespace kestrel {

// Delivers configuration payloads over the control link: each exchange waits for any
// reply on its endpoint and sends once more before it gives up with not_responding.
class config_loader {
public:
    // `mark`, when given, is sampled on the link's thread as each acknowledgement of the run
    // flag arrives (see run_flag_mark).
    explicit config_loader(communication& com, std::function<uint64_t()> mark = {});
    ~config_loader();
    config_loader(const config_loader&) = delete;
    config_loader& operator=(const config_loader&) = delete;

    void send_to_device(const config& cfg);
    void config_oci(const config& cfg);
    void set_run_flag(bool run);
    // What `mark` gave when the last acknowledgement of the run flag arrived. Replies come in
    // the order the device sent them, so a status record counted after the mark was sent
    // after the device took the flag, however late the caller wakes.
    uint64_t run_flag_mark() const { return run_mark.load(); }
    void start_oci(bool flag);
    // A falling then rising start flag restarts the output engines.
    void resume_oci();
    // The device acknowledges a bridge reset on the config endpoint.
    void reset_ftdi(bool flag);

private:
    void exchange(commands::endpoints ep, const communication::bytes& payload, mox::semaphore& s,
                  uint32_t wait_ms, bool reset_first = true);

    communication& com;
    mox::semaphore sem{1, 0};
    std::mutex mutex;
    std::mutex oci_mutex;
    mox::semaphore run_sem{1, 0};
    const std::function<uint64_t()> mark;
    std::atomic<uint64_t> run_mark{0};
    mox::semaphore oci_sem{1, 0};
    mox::semaphore ociparams_sem{1, 0};
};

} // namespace kestrel
