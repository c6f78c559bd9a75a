// Firmware check, install, reboot and serial-number change through the exported
// functions, against the virtual device.
#include "fw_fixture.h"

#include "moxcom/crc.h"

namespace fw_test {
namespace {

const std::string fpga_sig = "fpga.bin.hash";

class update : public on_device {
protected:
    uint64_t opens() { return fs().counters().requests[op::open]; }
    uint64_t restarts() {
        const auto c = fw_counters();
        return c.reboots + c.bootloader_requests;
    }
    // A device that already holds these images with their signatures.
    void install(const paths& p) {
        ASSERT_EQ(launch(p, true), OHWAPI_OK);
        ASSERT_EQ(finish(), OHWAPI_OK);
        ASSERT_TRUE(done_flag());
    }

    const bytes mcu = pattern(1200, 1);
    const bytes recovery = pattern(800, 2);
    const bytes fpga{'a', 'b', 'c'};
};

TEST_F(update, AbsentImagesAreNeverNeededAndInstallNothing) {
    const paths none{"", "", ""};
    const paths missing{(dir / "no1").string(), (dir / "no2").string(), (dir / "no3").string()};
    for (const auto& p : {none, missing}) {
        bool needed = true;
        ASSERT_EQ(check(p, needed), OHWAPI_OK);
        EXPECT_FALSE(needed);
        ASSERT_EQ(launch(p, false), OHWAPI_OK);
        EXPECT_EQ(finish(), OHWAPI_OK);
        EXPECT_TRUE(done_flag());
    }
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(restarts(), 0u);
    EXPECT_EQ(core().status.get_value(), hw::status::v::idle);
}

TEST_F(update, ForcedInstallWritesImagesAndSignaturesThenRestartsInTheBootloader) {
    const auto p = images(mcu, recovery, fpga);
    bool needed = false;
    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_TRUE(needed); // nothing signed on the device yet

    install(p);
    EXPECT_EQ(fs().read("mcu.bin"), mcu);
    EXPECT_EQ(fs().read("recovery_mcu.bin"), recovery);
    EXPECT_EQ(fs().read("fpga.bin"), fpga);
    // SHA-256 of "abc".
    const bytes abc_digest{0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                           0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                           0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(fs().read(fpga_sig), abc_digest);
    EXPECT_EQ(fs().read("mcu.bin.hash")->size(), 32u);
    EXPECT_EQ(fw_counters().bootloader_requests, 1u);
    EXPECT_EQ(fw_counters().reboots, 0u);
    // Back on the bus, running what it was given, and reopened.
    EXPECT_EQ(fs().running("mcu.bin"), mcu);
    EXPECT_TRUE(h->open_flag());
    uint8_t progress = 0;
    ASSERT_EQ(kestrelapi_get_firmware_update_progress(h->get(), &progress), OHWAPI_OK);
    EXPECT_EQ(progress, 100);
    EXPECT_EQ(core().status.get_value(), hw::status::v::idle);

    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_FALSE(needed);

    // Forced again with the same images: all three are rewritten.
    const uint64_t before = opens();
    install(p);
    EXPECT_EQ(opens() - before, 6u);
}

TEST_F(update, OnlyAChangedFpgaImageIsWrittenAndAPlainRebootFollows) {
    install(images(mcu, recovery, fpga));
    const uint64_t opens_before = opens();
    const auto boot_before = fw_counters();

    const bytes new_fpga = pattern(3000, 7);
    const auto p = images(mcu, recovery, new_fpga);
    bool needed = false;
    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_TRUE(needed);
    ASSERT_EQ(launch(p, false), OHWAPI_OK);
    ASSERT_EQ(finish(), OHWAPI_OK);
    EXPECT_EQ(opens() - opens_before, 2u); // image and signature
    EXPECT_EQ(fs().read("fpga.bin"), new_fpga);
    EXPECT_EQ(fw_counters().reboots, boot_before.reboots + 1);
    EXPECT_EQ(fw_counters().bootloader_requests, boot_before.bootloader_requests);

    // A changed controller image asks for the bootloader.
    const auto q = images(pattern(1200, 9), recovery, new_fpga);
    ASSERT_EQ(launch(q, false), OHWAPI_OK);
    ASSERT_EQ(finish(), OHWAPI_OK);
    EXPECT_EQ(fw_counters().bootloader_requests, boot_before.bootloader_requests + 1);
}

TEST_F(update, AMissingSignatureMakesTheImageNeededWhateverItHolds) {
    const auto p = images(mcu, recovery, fpga);
    install(p);
    fs().remove(fpga_sig);
    bool needed = false;
    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_TRUE(needed);
    // A signature of other content counts the same.
    install(p);
    fs().store(fpga_sig, pattern(32, 0));
    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_TRUE(needed);
}

TEST_F(update, OnlyThePrefixOfAFileNameIsUsed) {
    auto p = images({}, {}, fpga);
    const size_t n = p.fpga.size();
    p.fpga += "-not-part-of-the-name";
    bool needed = false;
    ASSERT_EQ(kestrelapi_check_fw_update_needed(h->get(), &needed, nullptr, 0, nullptr, 0,
                                                p.fpga.data(), static_cast<uint32_t>(n)),
              OHWAPI_OK);
    EXPECT_TRUE(needed);
}

TEST_F(update, ADamagedImageIsAFirmwareErrorAndLeavesItUnsigned) {
    const auto p = images(mcu, recovery, fpga);
    fs().corrupt_on_close("fpga.bin", 1);
    ASSERT_EQ(launch(p, true), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_FIRMWARE_ERROR);
    EXPECT_FALSE(done_flag());
    EXPECT_FALSE(fs().exists(fpga_sig));
    EXPECT_EQ(restarts(), 0u);
    // Read again and again, until the next launch clears it.
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_FIRMWARE_ERROR);
    bool needed = false;
    ASSERT_EQ(check(p, needed), OHWAPI_OK);
    EXPECT_TRUE(needed);
    install(p);
    EXPECT_EQ(kestrelapi_get_last_error(h->get()), OHWAPI_OK);
}

TEST_F(update, ARefusedSignatureOrOpenIsAFirmwareError) {
    const auto p = images({}, {}, fpga);
    fs().answer_next(op::open, {file_answer::normal, file_answer::error});
    ASSERT_EQ(launch(p, true), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_FIRMWARE_ERROR);
    EXPECT_TRUE(fs().exists("fpga.bin"));
    EXPECT_FALSE(fs().exists(fpga_sig));
}

TEST_F(update, ABusyDeviceEndsTheUpdateWithBusyStored) {
    const auto p = images(mcu, recovery, fpga);
    std::unique_lock hold(core().device_busy);
    ASSERT_EQ(launch(p, true), OHWAPI_OK);
    EXPECT_TRUE(
        eventually([&] { return kestrelapi_get_last_error(h->get()) == OHWAPI_BUSY; }, 30s));
    hold.unlock();
    EXPECT_FALSE(done_flag());
    EXPECT_EQ(opens(), 0u);
    EXPECT_EQ(core().status.get_value(), hw::status::v::idle);
}

TEST_F(update, LinkFailuresAreReturnedByTheCheckAndStoredByTheInstall) {
    fast_updater();
    const auto p = images(mcu, recovery, fpga);
    fs().answer_next(op::exists, {file_answer::silent});
    bool needed = true;
    EXPECT_EQ(check(p, needed), OHWAPI_NOT_RESPONDING);
    EXPECT_FALSE(needed);

    fs().answer_next(op::exists, {file_answer::silent});
    ASSERT_EQ(launch(p, false), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_NOT_RESPONDING);
    EXPECT_FALSE(done_flag());

    h->close();
    EXPECT_EQ(check(p, needed), OHWAPI_DEVICE_NOT_OPEN);
    EXPECT_EQ(launch(p, false), OHWAPI_DEVICE_NOT_OPEN);
}

TEST_F(update, ADeviceThatDoesNotComeBackFailsTheUpdate) {
    auto s = bus::instance().firmware(sn)->status();
    s.restart_time = std::chrono::minutes(5);
    bus::instance().firmware(sn)->set_status(s);
    ASSERT_EQ(launch(images({}, {}, fpga), true), OHWAPI_OK);
    EXPECT_EQ(finish(60s), OHWAPI_NOT_RESPONDING);
    EXPECT_FALSE(done_flag());
    EXPECT_EQ(fw_counters().reboots, 1u);
}

class serial : public update {
protected:
    ohwapi_err_code_t change(std::string s, size_t n) {
        return kestrelapi_change_sn(h->get(), s.data(), static_cast<uint32_t>(n));
    }
};

TEST_F(serial, OutsideTheFamilyIsRefusedAtOnce) {
    EXPECT_EQ(change("1234101000001", 13), OHWAPI_INVALID_SERIAL);
    EXPECT_EQ(change("7302101000001", 3), OHWAPI_INVALID_SERIAL);
    EXPECT_EQ(change("", 0), OHWAPI_INVALID_SERIAL);
    EXPECT_TRUE(fs().counters().requests.empty());
}

TEST_F(serial, TheNewNumberIsWrittenAndReportedAfterTheNextRestart) {
    const std::string new_sn = "7302101000077";
    ASSERT_EQ(change(new_sn + "trailing", new_sn.size()), OHWAPI_OK);
    ASSERT_EQ(finish(), OHWAPI_OK);
    EXPECT_TRUE(done_flag());
    EXPECT_EQ(fs().read("sn.txt"), bytes(new_sn.begin(), new_sn.end()));
    EXPECT_EQ(restarts(), 0u); // the change itself does not restart the device

    ASSERT_EQ(kestrelapi_reboot_and_close(h->get()), OHWAPI_OK);
    EXPECT_TRUE(eventually([&] { return !h->open_flag() && h->ready_flag(); }));
    // Listed as the host sees it: the restart shows through the USB descriptors.
    EXPECT_TRUE(eventually([&] {
        uint16_t n = 0;
        if (kestrelapi_create_device_list(h->get()) != OHWAPI_OK ||
            kestrelapi_get_devices_count(h->get(), &n) != OHWAPI_OK || n != 1)
            return false;
        device_descriptor_t d{};
        if (kestrelapi_get_device_descriptor(h->get(), 0, &d) != OHWAPI_OK) return false;
        const bool renamed = std::string(d.sn) == new_sn;
        kestrelapi_free_device_descriptor(&d);
        return renamed;
    }));
    device_sn = new_sn;
    EXPECT_EQ(fw_counters().bootloader_requests, 1u);
    EXPECT_EQ(h->open(new_sn), OHWAPI_OK);
}

TEST_F(serial, AChangeTheDeviceDoesNotConfirmIsAFirmwareError) {
    fs().corrupt_on_close("sn.txt", 0);
    ASSERT_EQ(change("7302101000078", 13), OHWAPI_OK);
    EXPECT_EQ(finish(), OHWAPI_FIRMWARE_ERROR);
    EXPECT_FALSE(done_flag());
}

} // namespace
} // namespace fw_test

namespace fw_test {
namespace {

class closed_device : public on_device {};

TEST_F(closed_device, RebootAndCloseIsRefusedLikeTheOtherFirmwareCalls) {
    h->close();
    ASSERT_TRUE(eventually([&] { return !h->open_flag() && h->ready_flag(); }));
    const auto requests = fw_counters().bootloader_requests;
    // Refused at once, as update_needed and the update are, instead of waiting for a reply
    // no link can bring and then reporting success.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(kestrelapi_reboot_and_close(h->get()), OHWAPI_DEVICE_NOT_OPEN);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    bool needed = true;
    EXPECT_EQ(
        kestrelapi_check_fw_update_needed(h->get(), &needed, nullptr, 0, nullptr, 0, nullptr, 0),
        OHWAPI_DEVICE_NOT_OPEN);
    EXPECT_EQ(fw_counters().bootloader_requests, requests);
}

} // namespace
} // namespace fw_test

namespace fw_test {
namespace {

TEST_F(update, ASerialChangeDuringAnUpdateIsRefusedAndTheUpdateKeepsItsDoneFlag) {
    const bytes big = pattern(20000, 3); // long enough to be running when the change comes
    ASSERT_EQ(launch(images({}, {}, big), true), OHWAPI_OK);
    std::string new_sn = "7302101000079";
    EXPECT_EQ(kestrelapi_change_sn(h->get(), new_sn.data(), static_cast<uint32_t>(new_sn.size())),
              OHWAPI_BUSY);
    // The update alone sets done, once it has finished, and without an error.
    EXPECT_EQ(launch(images({}, {}, big), true), OHWAPI_BUSY);
    EXPECT_EQ(finish(), OHWAPI_OK);
    EXPECT_TRUE(done_flag());
    EXPECT_FALSE(fs().exists("sn.txt") &&
                 fs().read("sn.txt") == bytes(new_sn.begin(), new_sn.end()));
    // Once it has ended the change is taken.
    ASSERT_TRUE(eventually([&] {
        return kestrelapi_change_sn(h->get(), new_sn.data(),
                                    static_cast<uint32_t>(new_sn.size())) == OHWAPI_OK;
    }));
    EXPECT_EQ(finish(), OHWAPI_OK);
}

} // namespace
} // namespace fw_test

namespace fw_test {
namespace {

TEST_F(update, ARestartRequestTheDeviceNeverSeesFailsTheUpdate) {
    // The request is lost: no acknowledgement, no restart; the device stays on the bus
    // with the old image, and a reopen would find it at once.
    bus::instance().ignore_packets(sn, 7, 1); // the status endpoint
    ASSERT_EQ(launch(images({}, {}, fpga), true), OHWAPI_OK);
    EXPECT_EQ(finish(60s), OHWAPI_NOT_RESPONDING);
    EXPECT_FALSE(done_flag());
    EXPECT_EQ(restarts(), 0u);
    // A request that arrives restarts the device, and the update is done once it is back.
    ASSERT_EQ(launch(images({}, {}, fpga), true), OHWAPI_OK);
    EXPECT_EQ(finish(60s), OHWAPI_OK);
    EXPECT_TRUE(done_flag());
    EXPECT_EQ(restarts(), 1u);
}

} // namespace
} // namespace fw_test
