// A handle of the exported interface on the virtual bus, with the internals tests look at.
#pragma once
#include <gtest/gtest.h>

#include <kestrel_sim/bus.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/api_handles.h"
#include "hw/exception.h"
#include "kestrelapi.h"
#include "settings.h"

namespace core_test {

// One device of each model on the virtual bus.
struct model_case {
    kestrelapi_model_t model;
    const char* sn;
    unsigned channels;
    unsigned groups;
};
inline constexpr model_case family[] = {{kestrel_one, "7302101000001", 18, 1},
                                        {kestrel_two, "7302102000042", 36, 2},
                                        {kestrel_three, "7302103000007", 54, 3}};

using namespace std::chrono_literals;
using kestrel_sim::bus;
using steady = std::chrono::steady_clock;

template <typename F> bool eventually(F&& cond, std::chrono::milliseconds limit = 10s) {
    const auto end = steady::now() + limit;
    while (!cond()) {
        if (steady::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

inline kestrelapi_trigger_description_t trig(kestrelapi_trigger_type_t type, int8_t ch) {
    kestrelapi_trigger_description_t t;
    std::memset(&t, 0, sizeof t);
    t.type = type;
    t.channel = ch;
    return t;
}

inline bool read_flag(kestrelapi_handle h, ohwapi_err_code_t (*getter)(kestrelapi_handle, bool*)) {
    bool f = false;
    EXPECT_EQ(getter(h, &f), OHWAPI_OK);
    return f;
}

class api_handle {
public:
    explicit api_handle(kestrelapi_model_t m) {
        EXPECT_EQ(kestrelapi_create_new_handle(&h, m), OHWAPI_OK);
        internals().device.status.set_observer([this](hw::status::v, const std::string& text) {
            std::lock_guard l(m_);
            texts_.push_back(text);
        });
    }
    ~api_handle() {
        internals().device.status.set_observer({});
        EXPECT_EQ(kestrelapi_free(h), OHWAPI_OK);
    }
    api_handle(const api_handle&) = delete;
    api_handle& operator=(const api_handle&) = delete;

    kestrelapi_handle get() const { return h; }
    api_utils::api_handles& internals() { return *static_cast<api_utils::api_handles*>(h); }

    ohwapi_err_code_t open(std::string sn) {
        std::string desc = "KESTREL";
        device_descriptor_t d;
        d.sn = sn.data();
        d.desc = desc.data();
        return kestrelapi_device_open(h, d);
    }
    bool open_flag() { return read_flag(h, kestrelapi_get_device_open_flag); }
    bool ready_flag() { return read_flag(h, kestrelapi_get_ready_flag); }
    // Closes and waits until the close thread has finished.
    void close() {
        EXPECT_EQ(kestrelapi_device_close(h), OHWAPI_OK);
        EXPECT_TRUE(eventually([&] { return !open_flag() && ready_flag(); }));
    }
    std::vector<std::string> status_texts() {
        std::lock_guard l(m_);
        return texts_;
    }

private:
    kestrelapi_handle h = nullptr;
    std::mutex m_;
    std::vector<std::string> texts_;
};

// Every test starts from an empty bus and plugs what it needs.
class on_bus : public ::testing::Test {
protected:
    void SetUp() override {
        bus::instance().reset();
        bus::instance().unplug_all();
    }
    void TearDown() override { bus::instance().reset(); }
};

// One device of a model alone on the bus, opened through a handle of the exported interface.
class opened_device : public on_bus {
protected:
    void start(const model_case& c) {
        bus::instance().unplug_all();
        bus::instance().plug(c.sn);
        fw = bus::instance().firmware(c.sn);
        h = std::make_unique<api_handle>(c.model);
        ASSERT_EQ(kestrelapi_device_open_first(h->get()), OHWAPI_OK);
    }
    void TearDown() override {
        if (h) h->close();
        h.reset();
        on_bus::TearDown();
    }

    std::shared_ptr<kestrel_sim::firmware> fw;
    std::unique_ptr<api_handle> h;
};

} // namespace core_test
