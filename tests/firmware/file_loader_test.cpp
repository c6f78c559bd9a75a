// Device file transfer against the virtual device's file system: chunking, busy and lost
// answers, refusals and the CRC exchange.
#include "fw_fixture.h"

namespace fw_test {
namespace {

class loader : public on_device {
protected:
    void SetUp() override {
        on_device::SetUp();
        // Takes the endpoint over from the core's updater.
        core().updater.reset();
        fl = std::make_unique<kestrel::file_loader>(core().com, core().log, fast_timing());
    }
    void TearDown() override {
        fl.reset();
        on_device::TearDown();
    }
    uint64_t requests(uint8_t o) { return fs().counters().requests[o]; }

    mox::semaphore notif{1, 0};
    mox::progress<uint8_t, 100> progress{notif};
    std::unique_ptr<kestrel::file_loader> fl;
};

TEST_F(loader, WritesInChunksOf250AndEndsAt100) {
    ASSERT_TRUE(fl->file_open("a.bin"));
    EXPECT_TRUE(fl->file_write({}, progress));
    EXPECT_EQ(requests(op::write), 0u);
    EXPECT_EQ(progress.value(), 0);

    const bytes data = pattern(251, 3);
    EXPECT_TRUE(fl->file_write(data, progress));
    EXPECT_TRUE(fl->file_close("a.bin"));
    EXPECT_EQ(requests(op::write), 2u);
    EXPECT_EQ(fs().read("a.bin"), data);
    EXPECT_EQ(progress.value(), 100);
    EXPECT_TRUE(fl->check_crc("a.bin", kestrel_sim::file_system::crc32(data)));
    EXPECT_FALSE(fl->check_crc("a.bin", kestrel_sim::file_system::crc32(data) ^ 1));
}

TEST_F(loader, BusyAnswersAreRetriedUntilTheDeviceDecides) {
    fs().answer_next(op::open, {file_answer::busy, file_answer::busy});
    EXPECT_TRUE(fl->file_open("a.bin"));
    EXPECT_EQ(requests(op::open), 3u);

    // A busy chunk was not taken: it goes again and the file stays whole.
    fs().answer_next(op::write, {file_answer::busy});
    const bytes data = pattern(600, 9);
    EXPECT_TRUE(fl->file_write(data, progress));
    EXPECT_TRUE(fl->file_close("a.bin"));
    EXPECT_EQ(fs().read("a.bin"), data);
}

TEST_F(loader, BusyForEveryAttemptOrSilentAtTheEndIsNeverSuccess) {
    fs().answer_next(op::open, std::vector<file_answer>(100, file_answer::busy));
    EXPECT_FALSE(fl->file_open("a.bin"));
    EXPECT_EQ(requests(op::open), 100u);

    fs().answer_next(op::close, {file_answer::busy, file_answer::silent});
    try {
        fl->file_close("a.bin");
        ADD_FAILURE() << "a close without answer succeeded";
    } catch (const hw::exception& e) {
        EXPECT_EQ(e.code(), hw::error::not_responding);
    }
}

TEST_F(loader, RefusalsFail) {
    fs().answer_next(op::open, {file_answer::error});
    EXPECT_FALSE(fl->file_open("a.bin"));
    ASSERT_TRUE(fl->file_open("a.bin"));
    fs().answer_next(op::write, {file_answer::normal, file_answer::error});
    EXPECT_FALSE(fl->file_write(pattern(1000, 1), progress));
    // Only the refused chunk and those before it were sent.
    EXPECT_EQ(requests(op::write), 2u);
    EXPECT_FALSE(fl->file_close("other.bin"));
}

TEST_F(loader, LostChunkRepliesCountAsWrittenAndTheCrcFindsRealDamage) {
    ASSERT_TRUE(fl->file_open("a.bin"));
    fs().answer_next(op::write, {file_answer::silent, file_answer::normal, file_answer::silent});
    const bytes data = pattern(700, 5);
    EXPECT_TRUE(fl->file_write(data, progress));
    fs().corrupt_on_close("a.bin", 321);
    EXPECT_TRUE(fl->file_close("a.bin"));
    EXPECT_FALSE(fl->check_crc("a.bin", kestrel_sim::file_system::crc32(data)));
}

TEST_F(loader, RemovingAMissingFileSendsNoRemove) {
    EXPECT_TRUE(fl->file_remove("none.bin"));
    EXPECT_EQ(requests(op::exists), 1u);
    EXPECT_EQ(requests(op::remove), 0u);
    fs().store("x.bin", {1, 2});
    EXPECT_TRUE(fl->file_exists("x.bin"));
    EXPECT_TRUE(fl->file_remove("x.bin"));
    EXPECT_FALSE(fs().exists("x.bin"));
}

TEST_F(loader, ARemoveWhoseExistsStaysBusyIsNeverSuccess) {
    // The signature must be gone before its image is written: a device busy on the
    // question has not said the file is absent.
    fs().store("x.bin", {1, 2});
    fs().answer_next(op::exists, std::vector<file_answer>(100, file_answer::busy));
    EXPECT_FALSE(fl->file_remove("x.bin"));
    EXPECT_EQ(requests(op::remove), 0u);
    EXPECT_TRUE(fs().exists("x.bin"));
}

TEST_F(loader, MalformedCrcRepliesAreResentOnceThenNotResponding) {
    fs().store("x.bin", {1, 2, 3});
    const uint32_t crc = kestrel_sim::file_system::crc32(bytes{1, 2, 3});
    fs().answer_next(op::get_crc, {file_answer::malformed});
    EXPECT_TRUE(fl->check_crc("x.bin", crc));
    EXPECT_EQ(requests(op::get_crc), 2u);

    fs().answer_next(op::get_crc, {file_answer::malformed, file_answer::silent});
    EXPECT_THROW(fl->check_crc("x.bin", crc), hw::exception);
}

TEST_F(loader, AReplyNamingAResultCodeIsNoAnswer) {
    bus::instance().firmware(sn)->set_handler(
        kestrel_sim::ep::file_loader, [](kestrel_sim::firmware& f, const kestrel_sim::packet_t&) {
            const uint8_t r[] = {op::res_success, op::res_success};
            f.reply(kestrel_sim::ep::file_loader, r);
        });
    EXPECT_THROW(fl->file_exists("x.bin"), hw::exception);
}

} // namespace
} // namespace fw_test
