// Replays the recorded market files through the engine, checking the state's invariants and the
// exchange ladders against a plain ordered-map model of the same deltas after every record.
#include "market/market_state.h"

#include "input/loader.h"
#include "ladder_levels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace pelarune;

namespace {

// Keys the model reads.
constexpr std::string_view kId = "id";
constexpr std::string_view kImg = "img";
constexpr std::string_view kRc = "rc";
constexpr std::string_view kHc = "hc";
constexpr std::string_view kAtb = "atb";
constexpr std::string_view kAtl = "atl";
constexpr std::string_view kTrd = "trd";

using Levels = std::map<double, double>;

// The three exchange ladders of one runner, kept by the simplest possible model.
struct ModelRunner {
  Levels atb, atl, trd;
};

void model_deltas(Levels &levels, JsonValue deltas) {
  if (!deltas || !deltas.is_array())
    return;
  for (JsonValue pair : deltas.array()) {
    std::vector<double> numbers;
    for (JsonValue number : pair.array())
      numbers.push_back(number.number_value());
    if (numbers.at(1) == 0.0)
      levels.erase(numbers.at(0));
    else
      levels[numbers.at(0)] = numbers.at(1);
  }
}

std::vector<LadderEntry> model_entries(const Levels &levels, bool descending) {
  std::vector<LadderEntry> out;
  for (auto [price, size] : levels)
    out.push_back({price, size});
  if (descending)
    std::reverse(out.begin(), out.end());
  return out;
}

// A runner's counter, then its atb, atl, trd, spb and spl ladders' counters.
using Counters = std::array<uint64_t, 6>;

void replay(const std::filesystem::path &path, size_t expected_records, size_t expected_runners) {
  LoadResult loaded = load_stream_messages(path.string());
  ASSERT_TRUE(loaded) << loaded.error().message;
  const MessageStore &records = *loaded;
  ASSERT_EQ(records.size(), expected_records);

  std::unique_ptr<MarketState> market;
  std::map<RunnerKey, ModelRunner> model;
  std::map<RunnerKey, Counters> previous;
  uint64_t previous_generation = 0;
  for (size_t index = 0; index < records.size(); ++index) {
    SCOPED_TRACE("record " + std::to_string(index));
    const StreamMessage &record = records[index];
    for (JsonValue change : record.market_changes.array()) {
      JsonObject object = change.object();
      if (!market)
        market = std::make_unique<MarketState>(std::string(object.find(kId).string_value()));
      market->apply_change(change, record.publish_time_epoch);
      if (JsonValue img = object.find(kImg); img && img.is_true()) {
        model.clear();
        previous.clear(); // recreated runners count from zero again
      }
      if (JsonValue rc = object.find(kRc))
        for (JsonValue runner_change : rc.array()) {
          JsonObject fields = runner_change.object();
          JsonValue hc = fields.find(kHc);
          RunnerKey key{int64_t(fields.find(kId).uint_value()),
                        handicap_key(hc ? hc.number_value() : 0.0)};
          ModelRunner &runner = model[key];
          model_deltas(runner.atb, fields.find(kAtb));
          model_deltas(runner.atl, fields.find(kAtl));
          model_deltas(runner.trd, fields.find(kTrd));
        }
    }
    ASSERT_TRUE(market);
    EXPECT_EQ(market->publish_time_epoch, record.publish_time_epoch);
    EXPECT_GE(market->definition_generation, previous_generation);
    previous_generation = market->definition_generation;

    const std::vector<RunnerState *> &runners = market->sorted_runners();
    ASSERT_EQ(runners.size(), market->runners.size());
    EXPECT_EQ(market->number_of_runners, int32_t(runners.size()));
    int32_t active = 0;
    for (size_t i = 0; i < runners.size(); ++i) {
      const RunnerState &runner = *runners[i];
      RunnerKey key{runner.selection_id, handicap_key(runner.handicap)};
      if (i > 0) {
        const RunnerState &before = *runners[i - 1];
        EXPECT_LT((RunnerKey{before.selection_id, handicap_key(before.handicap)}), key);
      }
      active += runner.status == "ACTIVE";
      for (const PriceLadder *ladder :
           {&runner.atb, &runner.atl, &runner.trd, &runner.spb, &runner.spl}) {
        std::span<const LadderEntry> snapshot = ladder->snapshot();
        ASSERT_EQ(snapshot.size(), ladder->size());
        for (size_t j = 0; j < snapshot.size(); ++j) {
          EXPECT_NE(snapshot[j].size, 0.0);
          if (j > 0) {
            double earlier = snapshot[j - 1].price, later = snapshot[j].price;
            EXPECT_TRUE(ladder->descending() ? earlier > later : earlier < later);
          }
        }
      }
      Counters now{runner.change_counter,       runner.atb.change_counter(),
                   runner.atl.change_counter(), runner.trd.change_counter(),
                   runner.spb.change_counter(), runner.spl.change_counter()};
      if (auto it = previous.find(key); it != previous.end()) {
        const Counters &before = it->second;
        for (size_t c = 0; c < now.size(); ++c)
          EXPECT_GE(now[c], before[c]) << "counter " << c;
        // An exchange ladder that moved forces its runner to be rebuilt.
        if (now[1] != before[1] || now[2] != before[2] || now[3] != before[3]) {
          EXPECT_GT(now[0], before[0]);
        }
      }
      previous[key] = now;
      const ModelRunner &expected = model[key];
      EXPECT_EQ(levels(runner.atb), model_entries(expected.atb, true));
      EXPECT_EQ(levels(runner.atl), model_entries(expected.atl, false));
      EXPECT_EQ(levels(runner.trd), model_entries(expected.trd, false));
    }
    EXPECT_EQ(market->definition.number_of_active_runners, active);
  }

  EXPECT_EQ(market->runners.size(), expected_runners);
}

const std::filesystem::path kRecordedData = PELARUNE_RECORDED_DATA;

} // namespace

TEST(RecordedReplay, BasicMarketKeepsInvariants) {
  replay(kRecordedData / "BASIC-1.132153978", 480, 14);
  replay(kRecordedData / "BASIC-1.132153978.gz", 480, 14);
}

TEST(RecordedReplay, FullLadderMarketWithImageKeepsInvariants) {
  replay(kRecordedData / "1.197931750", 166, 6);
}
