#include "trs/editor.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>
#include <vector>

namespace {

using trs::value;
using ov = trs::editor::ovtrs;
using overlay = trs::editor::overlay_t;
using history = trs::editor::history_t;
using items_t = std::vector<std::pair<isamp, int>>;

// Every item of a store as (sample, level), walked without folding.
items_t items(trs::store& s) {
    items_t v;
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    trs::tr t{};
    do {
        t = it.next();
        v.emplace_back(t.sample, static_cast<int>(t.pol));
    } while (!t.is_last);
    return v;
}

// Channel 0: 1000 samples at level 0 with a pulse to 1 over 400..600; channel 1 empty.
struct Editor : ::testing::Test {
    mox::semaphore gui;
    trs::manager man{2, gui};
    history hist{64};
    mox::semaphore notifier{1000};
    trs::builder b0 = man.create_builder(0);
    void SetUp() override {
        b0.append(400, 1);
        b0.append(600, 0);
        b0.append_idle(1000, 0);
    }
};

TEST_F(Editor, PaintingKeepsTheOverlayOrdered) {
    auto e = man.create_editor(0, hist, notifier);
    EXPECT_EQ(e.get_max_sample(), 1000);
    EXPECT_EQ(e.get_at_sample(10), (ov{0, value::none}));
    e.add_overlay_transition({100, value::rising}, 50);
    EXPECT_EQ(e.get_overlay(), (overlay{{100, value::rising}, {150, value::none}}));
    e.add_overlay_transition({120, value::falling}, 10);
    EXPECT_EQ(e.get_overlay(), (overlay{{100, value::rising},
                                        {120, value::falling},
                                        {130, value::rising},
                                        {150, value::none}}));
    // Covered entries go; the level of the last one removed returns after the stretch.
    e.add_overlay_transition({105, value::falling}, 30);
    EXPECT_EQ(e.get_overlay(), (overlay{{100, value::rising},
                                        {105, value::falling},
                                        {135, value::rising},
                                        {150, value::none}}));
    // The level already in force adds no entry at the start.
    e.add_overlay_transition({140, value::rising}, 100);
    EXPECT_EQ(e.get_overlay(), (overlay{{100, value::rising},
                                        {105, value::falling},
                                        {135, value::rising},
                                        {240, value::none}}));
    EXPECT_EQ(e.get_at_sample(100), (ov{0, value::none}));
    EXPECT_EQ(e.get_at_sample(105), (ov{100, value::rising}));
    EXPECT_EQ(e.get_at_sample(900), (ov{240, value::none}));

    // Only the part within 0 .. 1000 is painted; what lies wholly outside is not an edit.
    EXPECT_THROW(e.add_overlay_transition({10, value::rising}, -1), std::invalid_argument);
    EXPECT_THROW(e.add_overlay_transition({10, value::bloc}, 5), std::invalid_argument);
    const size_t steps = hist.size();
    e.add_overlay_transition({-50, value::rising}, 10);
    e.add_overlay_transition({2000, value::rising}, 10);
    e.add_overlay_transition({10, value::rising}, 0);
    EXPECT_EQ(hist.size(), steps);
    e.add_overlay_transition({-50, value::rising}, 100);
    e.add_overlay_transition({950, value::falling}, 1000);
    EXPECT_EQ(e.get_overlay().front(), (ov{0, value::rising}));
    EXPECT_EQ(e.get_overlay().back(), (ov{1000, value::none}));
}

TEST_F(Editor, MovingAnEntry) {
    auto e = man.create_editor(0, hist, notifier);
    e.restore({{100, value::rising}, {150, value::falling}, {200, value::none}});
    EXPECT_EQ(e.move_overlay_transition(1, 250, false, false), 199);
    EXPECT_EQ(e.move_overlay_transition(1, 20, false, false), 101);
    EXPECT_EQ(e.get_overlay()[1].sample, 150);
    EXPECT_EQ(e.move_overlay_transition(1, 250, true, true), 250);
    EXPECT_EQ(e.get_overlay(),
              (overlay{{100, value::rising}, {250, value::falling}, {300, value::none}}));
    // The tail stops where its last entry reaches the end of the channel.
    EXPECT_EQ(e.move_overlay_transition(1, 5000, true, true), 950);
    EXPECT_EQ(e.get_overlay().back().sample, 1000);

    // No such entry: nothing moves, and no lone undo step breaks the history's alternation.
    const size_t steps = hist.size();
    EXPECT_EQ(e.move_overlay_transition(3, 77, true, false), 77);
    EXPECT_EQ(e.move_overlay_transition(trs::editor::no_index_ovtrs, 77, true, true), 77);
    e.clear();
    EXPECT_EQ(e.move_overlay_transition(0, -5, true, false), -5);
    EXPECT_EQ(hist.size(), steps);
    e.add_overlay_transition({10, value::rising}, 5);
    EXPECT_EQ(hist.size(), steps + 2);
}

TEST_F(Editor, UndoAndRedo) {
    auto e = man.create_editor(0, hist, notifier);
    EXPECT_FALSE(hist.undo());
    e.add_overlay_transition({100, value::rising}, 50);
    const overlay one = e.get_overlay();
    e.add_overlay_transition({120, value::falling}, 10);
    const overlay two = e.get_overlay();
    e.move_overlay_transition(0, 90, true, false);
    ASSERT_TRUE(hist.undo());
    EXPECT_EQ(e.get_overlay(), two);
    ASSERT_TRUE(hist.undo());
    EXPECT_EQ(e.get_overlay(), one);
    ASSERT_TRUE(hist.redo());
    EXPECT_EQ(e.get_overlay(), two);
    ASSERT_TRUE(hist.undo());
    ASSERT_TRUE(hist.undo());
    EXPECT_TRUE(e.get_overlay().empty());
    EXPECT_FALSE(hist.undo());
    ASSERT_TRUE(hist.redo());

    // A new edit drops the redo branch; the edits before it can still be undone.
    e.add_overlay_transition({500, value::falling}, 20);
    const overlay other = e.get_overlay();
    EXPECT_FALSE(hist.redo());
    ASSERT_TRUE(hist.undo());
    EXPECT_EQ(e.get_overlay(), one);
    ASSERT_TRUE(hist.undo());
    EXPECT_TRUE(e.get_overlay().empty());
    ASSERT_TRUE(hist.redo());
    ASSERT_TRUE(hist.redo());
    EXPECT_EQ(e.get_overlay(), other);
}

TEST(UndoRedo, BoundedAndAlternating) {
    using op = history::operation;
    history h(4);
    std::vector<size_t> applied;
    auto cb = [&](const overlay& v) { applied.push_back(v.size()); };
    for (size_t k = 0; k < 3; ++k) {
        h.add({cb, overlay(k), op::undo});
        h.add({cb, overlay(k + 1), op::redo});
    }
    EXPECT_EQ(h.size(), 4u);
    EXPECT_TRUE(h.undo());
    EXPECT_TRUE(h.undo());
    EXPECT_FALSE(h.undo()); // the oldest edit was dropped
    EXPECT_EQ(applied, (std::vector<size_t>{2, 1}));
    EXPECT_DEATH(
        {
            history d(4);
            d.add({cb, {}, op::undo});
            d.add({cb, {}, op::undo});
        },
        "current.op != previous_op");
}

TEST_F(Editor, RebuildMergesOverlayAndBackground) {
    auto e = man.create_editor(0, hist, notifier);
    trs::store& s = b0.get_store();
    EXPECT_FALSE(e.rebuild_bg()); // nothing to merge
    EXPECT_EQ(items(s), (items_t{{0, 0}, {400, 1}, {600, 0}}));

    e.add_overlay_transition({100, value::rising}, 100); // a new pulse
    e.add_overlay_transition({350, value::rising}, 100); // joins the stored pulse early
    e.add_overlay_transition({500, value::falling}, 50); // a gap inside it
    e.add_overlay_transition({580, value::rising}, 40);  // holds it past its stored end
    notifier.reset();
    ASSERT_TRUE(e.rebuild_bg());
    EXPECT_TRUE(notifier.wait(mox::timeout(0)));
    EXPECT_FALSE(e.is_busy());
    EXPECT_TRUE(e.get_overlay().empty());
    EXPECT_TRUE(man.is_channel_uncaptured(0));
    EXPECT_EQ(s.samples_count(), 1000);
    EXPECT_EQ(
        items(s),
        (items_t{{0, 0}, {100, 1}, {200, 0}, {350, 1}, {500, 0}, {550, 1}, {620, 0}, {1000, 0}}));

    // One level over the whole channel; the closing item of the last rebuild is not kept.
    e.add_overlay_transition({0, value::falling}, 1000);
    ASSERT_TRUE(e.rebuild_bg());
    EXPECT_EQ(items(s), (items_t{{0, 0}, {1000, 0}}));
}

TEST_F(Editor, RebuildAtTheChannelEdges) {
    // The empty channel gets the longest channel's length.
    auto e1 = man.create_editor(1, hist, notifier);
    trs::store& s1 = man.create_builder(1).get_store();
    e1.add_overlay_transition({0, value::rising}, 10);
    e1.add_overlay_transition({990, value::rising}, 10);
    ASSERT_TRUE(e1.rebuild_bg());
    EXPECT_EQ(items(s1), (items_t{{0, 1}, {10, 0}, {990, 1}, {1000, 1}}));
    EXPECT_EQ(s1.samples_count(), 1000);

    // A channel that grew past the editable range keeps its length and its later data.
    auto e0 = man.create_editor(0, hist, notifier);
    b0.append(1200, 1);
    b0.append_idle(1500, 1);
    e0.add_overlay_transition({400, value::falling}, 100);
    ASSERT_TRUE(e0.rebuild_bg());
    EXPECT_EQ(items(b0.get_store()), (items_t{{0, 0}, {500, 1}, {600, 0}, {1200, 1}, {1500, 1}}));
    EXPECT_THROW(man.create_editor(2, hist, notifier), std::out_of_range);
}

} // namespace
