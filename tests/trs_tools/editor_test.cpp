#include "trs/editor.h"
#include "trs/manager.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace {

using trs::value;
using ov = trs::editor::ovtrs;
using overlay = trs::editor::overlay_t;
using history = trs::editor::history_t;
using op = trs::editor::operation;

// Every item of a store, walked without folding.
std::vector<std::pair<isamp, int>> items(trs::store& s) {
    std::vector<std::pair<isamp, int>> v;
    trs::iterator it(s);
    it.restart(0, 10.0, 0);
    trs::tr t = it.next();
    v.emplace_back(t.sample, static_cast<int>(t.pol));
    while (!t.is_last) {
        t = it.next();
        v.emplace_back(t.sample, static_cast<int>(t.pol));
    }
    return v;
}

// A channel of 1000 samples at level 0 with a pulse to 1 over 400..600.
struct Editor : ::testing::Test {
    mox::semaphore gui;
    trs::manager man{4, gui};
    history hist{64};
    mox::semaphore notifier{1000};
    void SetUp() override {
        auto b = man.create_builder(0);
        b.append_idle(0, 0);
        b.append(400, 1);
        b.append(600, 0);
        b.append_idle(1000, 0);
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
    // Covering entries removes them; the level of the last one removed returns at the end.
    e.add_overlay_transition({110, value::falling}, 30);
    EXPECT_EQ(e.get_overlay(), (overlay{{100, value::rising},
                                        {110, value::falling},
                                        {140, value::rising},
                                        {150, value::none}}));
    // A stretch reaching past an entry that ends the overlay restores the background.
    e.add_overlay_transition({105, value::falling}, 100);
    EXPECT_EQ(e.get_overlay(),
              (overlay{{100, value::rising}, {105, value::falling}, {205, value::none}}));
    // Painting the level already in force adds no entry at the start.
    e.add_overlay_transition({150, value::falling}, 100);
    EXPECT_EQ(e.get_overlay(),
              (overlay{{100, value::rising}, {105, value::falling}, {250, value::none}}));

    EXPECT_EQ(e.get_at_sample(100), (ov{0, value::none})); // before the first entry
    EXPECT_EQ(e.get_at_sample(101), (ov{100, value::rising}));
    EXPECT_EQ(e.get_at_sample(105), (ov{100, value::rising}));
    EXPECT_EQ(e.get_at_sample(900), (ov{250, value::none}));
}

TEST_F(Editor, StretchesAreClippedToTheEditableRange) {
    auto e = man.create_editor(0, hist, notifier);
    EXPECT_THROW(e.add_overlay_transition({10, value::rising}, -1), std::invalid_argument);
    EXPECT_THROW(e.add_overlay_transition({10, value::bloc}, 5), std::invalid_argument);
    e.add_overlay_transition({-50, value::rising}, 10);  // wholly before the channel
    e.add_overlay_transition({2000, value::rising}, 10); // wholly after it
    e.add_overlay_transition({10, value::rising}, 0);    // nothing to paint
    e.add_overlay_transition({10, value::none}, 50);     // the background shows already
    EXPECT_TRUE(e.get_overlay().empty());
    EXPECT_EQ(hist.size(), 0u);

    e.add_overlay_transition({-50, value::rising}, 100);
    e.add_overlay_transition({950, value::falling}, 1000);
    EXPECT_EQ(
        e.get_overlay(),
        (overlay{
            {0, value::rising}, {50, value::none}, {950, value::falling}, {1000, value::none}}));
}

TEST_F(Editor, MovingAnEntry) {
    auto e = man.create_editor(0, hist, notifier);
    e.restore({{100, value::rising}, {150, value::falling}, {200, value::none}});
    EXPECT_EQ(e.move_overlay_transition(1, 250, false, false), 199);
    EXPECT_EQ(e.move_overlay_transition(1, 20, false, false), 101);
    EXPECT_EQ(e.get_overlay()[1].sample, 150); // without apply nothing moves
    EXPECT_EQ(hist.size(), 0u);

    EXPECT_EQ(e.move_overlay_transition(1, 250, true, true), 250);
    EXPECT_EQ(e.get_overlay(),
              (overlay{{100, value::rising}, {250, value::falling}, {300, value::none}}));
    // The tail stops where its last entry reaches the end of the channel.
    EXPECT_EQ(e.move_overlay_transition(1, 5000, true, true), 950);
    EXPECT_EQ(e.get_overlay().back().sample, 1000);
    EXPECT_EQ(e.move_overlay_transition(2, 999999, true, false), 1000);

    // No such entry: nothing moves and no history point is left half-made.
    const size_t steps = hist.size();
    EXPECT_EQ(e.move_overlay_transition(3, 77, true, false), 77);
    EXPECT_EQ(e.move_overlay_transition(trs::editor::no_index_ovtrs, 77, true, true), 77);
    e.clear();
    EXPECT_EQ(e.move_overlay_transition(0, -5, true, false), -5);
    EXPECT_EQ(hist.size(), steps);
    e.add_overlay_transition({10, value::rising}, 5); // the history still alternates
    EXPECT_EQ(hist.size(), steps + 2);
}

TEST_F(Editor, UndoAndRedoRestoreTheOverlay) {
    auto e = man.create_editor(0, hist, notifier);
    EXPECT_FALSE(hist.undo());
    e.add_overlay_transition({100, value::rising}, 50);
    const overlay one = e.get_overlay();
    e.add_overlay_transition({120, value::falling}, 10);
    const overlay two = e.get_overlay();
    e.move_overlay_transition(0, 90, true, false);
    const overlay three = e.get_overlay();
    EXPECT_EQ(hist.size(), 6u);

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
    EXPECT_EQ(e.get_overlay(), one);

    // A new edit drops the redo branch; everything before it can still be undone.
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
    EXPECT_FALSE(hist.redo());
}

TEST(UndoRedo, HistoryIsBoundedAndAlternates) {
    history h(4);
    std::vector<overlay> applied;
    auto cb = [&](const overlay& v) { applied.push_back(v); };
    for (int k = 0; k < 3; ++k) {
        h.add({cb, overlay(k), op::undo});
        h.add({cb, overlay(k + 1), op::redo});
    }
    EXPECT_EQ(h.size(), 4u);
    EXPECT_EQ(h.get_index(), 4);
    ASSERT_TRUE(h.undo());
    ASSERT_TRUE(h.undo());
    EXPECT_EQ(applied.back().size(), 1u);
    EXPECT_FALSE(h.undo()); // older edits were dropped
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
    EXPECT_FALSE(e.rebuild_bg()); // nothing to merge
    trs::store& s = man.create_builder(0).get_store();
    EXPECT_EQ(items(s).size(), 3u);

    e.add_overlay_transition({100, value::rising}, 100); // over level 0: a new pulse
    e.add_overlay_transition({350, value::rising}, 100); // joins the stored pulse early
    e.add_overlay_transition({500, value::falling}, 50); // a gap inside the stored pulse
    e.add_overlay_transition({580, value::rising}, 40);  // holds it past its stored end
    ASSERT_TRUE(e.rebuild_bg());
    EXPECT_FALSE(e.is_busy());
    EXPECT_TRUE(e.get_overlay().empty());
    EXPECT_TRUE(man.is_channel_uncaptured(0));
    EXPECT_EQ(s.samples_count(), 1000);
    const std::vector<std::pair<isamp, int>> want = {{0, 0},   {100, 1}, {200, 0}, {350, 1},
                                                     {500, 0}, {550, 1}, {620, 0}, {1000, 0}};
    EXPECT_EQ(items(s), want);

    // One level forced over the whole channel leaves its initial level and its end; the
    // closing item of the earlier rebuild is not carried over.
    e.add_overlay_transition({0, value::falling}, 1000);
    ASSERT_TRUE(e.rebuild_bg());
    const std::vector<std::pair<isamp, int>> flat = {{0, 0}, {1000, 0}};
    EXPECT_EQ(items(s), flat);
}

TEST_F(Editor, RebuildAtTheChannelEdges) {
    // Channel 1 is empty; the editable length is the longest channel's.
    auto e = man.create_editor(1, hist, notifier);
    trs::store& s = man.create_builder(1).get_store();
    e.add_overlay_transition({0, value::rising}, 10);
    e.add_overlay_transition({990, value::rising}, 10);
    ASSERT_TRUE(e.rebuild_bg());
    const std::vector<std::pair<isamp, int>> want = {{0, 1}, {10, 0}, {990, 1}, {1000, 1}};
    EXPECT_EQ(items(s), want);
    EXPECT_EQ(s.samples_count(), 1000);

    // A channel that grew past the editable range keeps its length and its later data.
    auto e0 = man.create_editor(0, hist, notifier);
    auto b = man.create_builder(0);
    b.append(1200, 1);
    b.append_idle(1500, 1);
    e0.add_overlay_transition({400, value::falling}, 100);
    ASSERT_TRUE(e0.rebuild_bg());
    trs::store& s0 = b.get_store();
    const std::vector<std::pair<isamp, int>> kept = {
        {0, 0}, {500, 1}, {600, 0}, {1200, 1}, {1500, 1}};
    EXPECT_EQ(items(s0), kept);
}

TEST_F(Editor, BusyIsSignalled) {
    auto e = man.create_editor(0, hist, notifier);
    notifier.reset();
    e.set_busy(true);
    EXPECT_TRUE(e.is_busy());
    EXPECT_TRUE(notifier.wait(mox::timeout(0)));
    e.add_overlay_transition({10, value::rising}, 5);
    ASSERT_TRUE(e.rebuild_bg());
    EXPECT_FALSE(e.is_busy());
    EXPECT_TRUE(notifier.wait(mox::timeout(0)));
}

TEST(EditorFactory, IndexIsChecked) {
    mox::semaphore gui, n;
    trs::manager man(2, gui);
    history h;
    EXPECT_THROW(man.create_editor(2, h, n), std::out_of_range);
}

} // namespace
