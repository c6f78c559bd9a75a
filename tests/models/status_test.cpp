#include <gtest/gtest.h>

#include "hw/status.h"

TEST(HwStatus, NotifiesOnlyOnChange) {
    mox::semaphore notifier(100, 0);
    hw::status s(notifier);
    EXPECT_EQ(s.get_value(), hw::status::v::idle);
    s.set(hw::status::v::idle); // idle with its default (empty) text: no change
    EXPECT_FALSE(notifier.take(mox::timeout(0)));

    s.set(hw::status::v::preparing);
    EXPECT_EQ(s.get_description(), "Preparing");
    s.set(hw::status::v::preparing, "Preparing"); // the same text spelled out
    s.set(hw::status::v::preparing, "Waiting for device startup");
    s.set(hw::status::v::idle);
    s.set(hw::status::v::idle);
    int notified = 0;
    while (notifier.take(mox::timeout(0))) ++notified;
    EXPECT_EQ(notified, 3);
    EXPECT_EQ(hw::status::default_text(static_cast<hw::status::v>(42)), "?");
    EXPECT_EQ(hw::status::default_text(hw::status::v::trigged_and_sampling),
              "Trigg'd, collecting samples");
}
