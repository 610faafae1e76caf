// Price ladder deltas, change counting and ordered snapshots.
#include "market/price_ladder.h"

#include "json_for_tests.h"
#include "ladder_levels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

bool apply_json(PriceLadder &ladder, const std::string &deltas) {
  Json json(deltas);
  return ladder.apply_updates(json.array());
}

std::vector<LadderEntry> entries(std::initializer_list<LadderEntry> list) {
  return list;
}

} // namespace

TEST(LadderDelta, CounterAdvancesOncePerChangingBatch) {
  PriceLadder ladder(false);
  EXPECT_TRUE(apply_json(ladder, "[[1.5, 10]]"));
  EXPECT_EQ(ladder.change_counter(), 1u);
  EXPECT_FALSE(apply_json(ladder, "[[1.5, 10]]")); // re-sending a size is no change
  EXPECT_FALSE(apply_json(ladder, "[[1.5, 10.0]]"));
  EXPECT_FALSE(apply_json(ladder, "[]"));
  EXPECT_FALSE(apply_json(ladder, "[[2.5, 0]]")); // removing a missing level
  EXPECT_EQ(ladder.change_counter(), 1u);
  EXPECT_TRUE(apply_json(ladder, "[[1.6, 1], [1.7, 2], [1.8, 3]]"));
  EXPECT_EQ(ladder.change_counter(), 2u);
}

TEST(LadderDelta, LevelsAreReplacedNotSummed) {
  PriceLadder ladder(false);
  apply_json(ladder, "[[3.0, 10], [2, 5]]");
  EXPECT_TRUE(apply_json(ladder, "[[3.0, 4]]"));
  EXPECT_EQ(levels(ladder), entries({{2, 5}, {3.0, 4}}));
  EXPECT_TRUE(apply_json(ladder, "[[2.0, 0]]")); // 2 and 2.0 are one level
  EXPECT_EQ(levels(ladder), entries({{3.0, 4}}));
}

TEST(LadderDelta, ZeroAndNegativeZeroPricesAreTwoLevels) {
  PriceLadder ladder(false);
  apply_json(ladder, "[[0.0, 1], [-0.0, 2]]");
  EXPECT_EQ(ladder.size(), 2u);
  EXPECT_TRUE(apply_json(ladder, "[[-0.0, 0]]"));
  auto left = levels(ladder);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_FALSE(std::signbit(left[0].price));
  EXPECT_EQ(left[0].size, 1.0);
  // -0.0 stands just below 0.0.
  EXPECT_TRUE(apply_json(ladder, "[[-0.0, 3], [0.0, 4]]"));
  auto both = levels(ladder);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_TRUE(std::signbit(both[0].price));
  EXPECT_EQ(both[0].size, 3.0);
  EXPECT_EQ(both[1].size, 4.0);
}

TEST(LadderDelta, NonNumberOrZeroSizeRemoves) {
  for (const char *removal : {"[[1.5, null]]", "[[1.5, \"7\"]]", "[[1.5, 0]]", "[[1.5, -0.0]]",
                              "[[1.5, false]]", "[[1.5, [1]]]", "[[1.5, {}]]"}) {
    PriceLadder ladder(true);
    apply_json(ladder, "[[1.5, 10], [1.6, 1]]");
    EXPECT_TRUE(apply_json(ladder, removal)) << removal;
    EXPECT_EQ(levels(ladder), entries({{1.6, 1}})) << removal;
    EXPECT_EQ(ladder.change_counter(), 2u) << removal;
  }
}

TEST(LadderDelta, MalformedItemsAreSkippedOrReadAsZeroPrice) {
  PriceLadder ladder(false);
  EXPECT_FALSE(apply_json(ladder, "[1.5, 10]")); // flat numbers are not pairs
  EXPECT_FALSE(apply_json(ladder, "[[1.5], [], \"x\", null, {\"a\": 1}]"));
  EXPECT_EQ(ladder.change_counter(), 0u);
  EXPECT_TRUE(apply_json(ladder, "[[1.5, 10, 99]]"));
  EXPECT_EQ(levels(ladder), entries({{1.5, 10}}));

  PriceLadder malformed_price(false);
  EXPECT_TRUE(apply_json(malformed_price, "[[\"x\", 5]]"));
  EXPECT_TRUE(apply_json(malformed_price, "[[null, 6]]")); // the same level at 0.0
  EXPECT_EQ(levels(malformed_price), entries({{0.0, 6}}));
}

// Past the levels one batch shifts in one at a time, the rest is merged: each price's deltas
// still apply in batch order, with the same changed flag.
TEST(LadderDelta, LongBatchAppliesItsRestInOrder) {
  std::string image = "[";
  for (int i = 0; i < 40; ++i)
    image += "[" + std::to_string(10 + i) + ", 1],";
  PriceLadder undone(false);
  EXPECT_TRUE(apply_json(undone, image + "[1.5, 10], [1.5, 0], [2.5, 3], [2.5, 4], [10, 0]]"));
  EXPECT_EQ(undone.change_counter(), 1u);
  auto left = levels(undone);
  ASSERT_EQ(left.size(), 40u);
  EXPECT_EQ(left.front(), (LadderEntry{2.5, 4}));
  EXPECT_EQ(left[1], (LadderEntry{11, 1}));

  PriceLadder ladder(true);
  apply_json(ladder, image + "[1.5, 10]]");
  // Re-sent sizes and absent levels past the shifted ones change nothing.
  std::string resent = "[";
  for (int i = 0; i < 40; ++i)
    resent += "[" + std::to_string(100 + i) + ", 1],";
  EXPECT_TRUE(apply_json(ladder, resent + "[1.5, 10], [3.5, 0]]"));
  EXPECT_EQ(ladder.size(), 81u);
  EXPECT_EQ(levels(ladder).back(), (LadderEntry{1.5, 10}));
}

TEST(LadderDelta, ChangeInsideABatchCountsEvenWhenUndone) {
  PriceLadder ladder(false);
  EXPECT_TRUE(apply_json(ladder, "[[1.5, 10], [1.5, 0]]"));
  EXPECT_TRUE(ladder.empty());
  EXPECT_EQ(ladder.change_counter(), 1u);
}

// Levels inserted, replaced and removed anywhere in the order, against an ordered map as
// reference, with snapshots held across changes and dropped.
TEST(LadderSnapshot, ManyLevelsMatchAReferenceMap) {
  std::mt19937 random(12345);
  PriceLadder back(true);
  PriceLadder lay(false);
  std::map<double, double> reference;
  LadderSnapshot held; // as a Runner keeps it, over some batches
  std::vector<LadderEntry> held_levels;
  for (int batch = 0; batch < 600; ++batch) {
    // Early batches mostly insert and later ones mostly delete, so the ladder grows and shrinks.
    int insert_percent = batch < 300 ? 80 : 15;
    // Long batches reach past the levels shifted in one at a time, to the merged rest.
    int length = batch % 3 == 0 ? 100 : int(random() % 6) + 1;
    std::string deltas = "[";
    for (int i = 0; i < length; ++i) {
      // Negative prices too: keys are bit patterns, whose order flips below zero.
      std::string price_text = std::to_string(int(random() % 600) / 100.0 - 1.0);
      bool insert = int(random() % 100) < insert_percent;
      int size = insert ? int(random() % 50) + 1 : 0;
      deltas += (i ? ",[" : "[") + price_text + "," + std::to_string(size) + "]";
      double price = std::stod(price_text); // the double the ladder parses from the same text
      if (size == 0)
        reference.erase(price);
      else
        reference[price] = size;
    }
    apply_json(back, deltas + "]");
    apply_json(lay, deltas + "]");
    if (held) {
      ASSERT_EQ(*held, held_levels) << "batch " << batch;
    }
    if (batch % 5 == 0) {
      held = lay.shared_snapshot();
      held_levels = levels(lay);
    } else if (batch % 5 == 2) {
      held.reset();
    }
    if (random() % 4 == 0)
      continue; // let changes pile up between snapshots
    std::vector<LadderEntry> expected;
    for (auto [price, size] : reference)
      expected.push_back({price, size});
    ASSERT_EQ(levels(lay), expected) << "batch " << batch;
    std::reverse(expected.begin(), expected.end());
    ASSERT_EQ(levels(back), expected) << "batch " << batch;
  }
}

TEST(LadderSnapshot, OrderFollowsDirection) {
  PriceLadder back(true);
  PriceLadder lay(false);
  for (PriceLadder *ladder : {&back, &lay})
    apply_json(*ladder, "[[1.5, 1], [2.0, 2], [1.8, 3]]");
  EXPECT_EQ(levels(back), entries({{2.0, 2}, {1.8, 3}, {1.5, 1}}));
  EXPECT_EQ(levels(lay), entries({{1.5, 1}, {1.8, 3}, {2.0, 2}}));
}

// Null while empty, the same one while the counter stands still, and never changed once taken.
TEST(LadderSnapshot, SharedSnapshotFollowsTheCounter) {
  PriceLadder ladder(false);
  EXPECT_EQ(ladder.shared_snapshot(), nullptr);
  apply_json(ladder, "[[2.0, 2], [1.5, 1]]");
  LadderSnapshot held = ladder.shared_snapshot();
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(*held, entries({{1.5, 1}, {2.0, 2}}));
  apply_json(ladder, "[[1.5, 1]]"); // re-sent: no change
  EXPECT_EQ(ladder.shared_snapshot(), held);
  apply_json(ladder, "[[1.5, 0]]");
  EXPECT_EQ(*ladder.shared_snapshot(), entries({{2.0, 2}}));
  EXPECT_EQ(*held, entries({{1.5, 1}, {2.0, 2}}));
  apply_json(ladder, "[[2.0, 0]]");
  EXPECT_EQ(ladder.shared_snapshot(), nullptr);
  EXPECT_TRUE(ladder.snapshot().empty());
}
