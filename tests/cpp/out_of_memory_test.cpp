// Running out of memory part way through a market change or a snapshot: whichever allocation
// fails, the state keeps the engine's invariants, and a counter that stands still still means
// its runner or ladder is unchanged, so no cached object goes stale.
#include "../../fuzz/engine_invariants.h"
#include "json_for_tests.h"
#include "ladder_levels.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

using namespace pelarune;

namespace {

// While armed, the allocation numbered fail_at (from 1) throws; the count goes on after it.
bool armed = false;
size_t allocations = 0;
size_t fail_at = 0;

void *allocate(std::size_t size) {
  if (armed && ++allocations == fail_at)
    throw std::bad_alloc();
  if (void *p = std::malloc(size != 0 ? size : 1))
    return p;
  throw std::bad_alloc();
}

} // namespace

// Replaced for the whole test binary; unarmed they only forward to malloc and free.
void *operator new(std::size_t size) {
  return allocate(size);
}
void *operator new[](std::size_t size) {
  return allocate(size);
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
  try {
    return allocate(size);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void *operator new[](std::size_t size, const std::nothrow_t &tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}

namespace {

// A market's life in changes that reach every allocation of the engine: runners made by
// definitions and by runner changes, ladders growing past their first capacity, emptied again
// and given a deep image, texts, a second definition with more runners, and an image.
const char *const kChanges[] = {
    R"({"id": "1.1", "img": true, "marketDefinition": {"status": "OPEN", "venue": "Ascot",
        "regulators": ["MR_INT"], "marketTime": "2021-03-01T14:30:00.000Z",
        "runners": [{"id": 1, "sortPriority": 1, "name": "One"}, {"id": 2, "hc": -1.5}]},
        "rc": [{"id": 1, "atb": [[2.0, 5], [2.2, 6], [2.4, 7]], "atl": [[3.0, 1]],
                "spb": [[1.5, 2]], "spl": [[4.0, 3]], "trd": [[2.0, 10]]}]})",
    R"({"rc": [{"id": 1, "atb": [[1.1, 1], [1.2, 1], [1.3, 1], [1.4, 1], [1.5, 1], [1.6, 1],
                                 [1.7, 1], [1.8, 1], [1.9, 1], [2.1, 1]], "ltp": 2.0},
               {"id": 3, "status": "REMOVED", "removalDate": "2021-03-01T14:00:00.000Z",
                "spn": "NaN", "spf": 3.5, "atl": [[5.0, 1], [6.0, 2]]}]})",
    R"({"marketDefinition": {"status": "SUSPENDED", "eventName": "Race", "regulators": ["A", "B"],
        "runners": [{"id": 1, "bsp": 2.5}, {"id": 2, "hc": -1.5, "status": "WINNER"},
                    {"id": 4, "adjustmentFactor": 12.5, "removalDate": "x"}, {"id": 5}]},
        "status": "OPEN", "tv": 10.5})",
    R"({"rc": [{"id": 1, "atb": [[1.1, 0], [1.2, 0], [1.3, 0], [1.4, 0], [1.5, 0], [1.6, 0],
                                 [1.7, 0], [1.8, 0], [1.9, 0], [2.1, 0], [2.2, 0]]},
               {"id": 2, "hc": -1.5, "spb": [[1.5, 1], [1.6, 2]], "spl": [[9.0, 1]], "tv": 3},
               {"id": 6, "trd": [[7.0, 1], [8.0, 2]], "spn": 4.5}]})",
    R"({"img": true, "rc": [{"id": 2, "hc": -1.5, "atb": [[2.0, 1]]}, {"id": 7, "atl": [[3.0, 1]]}]})",
    R"({"rc": [{"id": 7, "atl": [[3.0, 0], [3.5, 2], [4.0, 3]], "status": "LOSER"},
               {"id": 8, "atb": [[1.01, 1], [1.02, 1], [1.03, 1], [1.04, 1], [1.05, 1]]}]})",
    R"({"rc": [{"id": 8, "spl": [
        [40, 1], [39, 1], [38, 1], [37, 1], [36, 1], [35, 1], [34, 1], [33, 1], [32, 1],
        [31, 1], [30, 1], [29, 1], [28, 1], [27, 1], [26, 1], [25, 1], [24, 1], [23, 1],
        [22, 1], [21, 1], [20, 1], [19, 1], [18, 1], [17, 1], [16, 1], [15, 1], [14, 1],
        [13, 1], [12, 1], [11, 1], [10, 1], [9, 1], [8, 1], [7, 1], [6, 1], [5, 1]]}]})",
};

// What the cached objects of a runner show: its Runner (fields and starting-price ladders) and
// its three price lists.
struct RunnerView {
  uint64_t counter;
  std::string status;
  std::optional<double> adjustment_factor, last_price_traded;
  std::optional<std::string> removal_date;
  PriceValue near_price, far_price, actual_sp;
  double total_matched;
  std::vector<LadderEntry> spb, spl;
  uint64_t ladder_counters[3];
  std::vector<LadderEntry> ladders[3];
};

std::map<RunnerKey, RunnerView> view(MarketState &state) {
  std::map<RunnerKey, RunnerView> views;
  for (RunnerState *r : state.sorted_runners())
    views[RunnerKey{r->selection_id, handicap_key(r->handicap)}] = {
        r->change_counter,
        r->status,
        r->adjustment_factor,
        r->last_price_traded,
        r->removal_date,
        r->near_price,
        r->far_price,
        r->actual_sp,
        r->total_matched,
        levels(r->spb),
        levels(r->spl),
        {r->atb.change_counter(), r->atl.change_counter(), r->trd.change_counter()},
        {levels(r->atb), levels(r->atl), levels(r->trd)}};
  return views;
}

// Where a counter stands still, what it guards is as it was.
void expect_counters_honest(const std::map<RunnerKey, RunnerView> &before,
                            const std::map<RunnerKey, RunnerView> &after, size_t step) {
  for (const auto &[key, now] : after) {
    auto it = before.find(key);
    if (it == before.end())
      continue;
    const RunnerView &was = it->second;
    if (now.counter == was.counter) {
      EXPECT_TRUE(now.status == was.status && now.adjustment_factor == was.adjustment_factor &&
                  now.last_price_traded == was.last_price_traded &&
                  now.removal_date == was.removal_date && now.near_price == was.near_price &&
                  now.far_price == was.far_price && now.actual_sp == was.actual_sp &&
                  now.total_matched == was.total_matched && now.spb == was.spb &&
                  now.spl == was.spl)
          << "runner " << key.selection_id << " changed behind its counter at change " << step;
    }
    for (int l = 0; l < 3; ++l) {
      if (now.ladder_counters[l] == was.ladder_counters[l]) {
        EXPECT_EQ(now.ladders[l], was.ladders[l])
            << "ladder " << l << " of runner " << key.selection_id << " at change " << step;
      }
    }
  }
}

// Applies every change, each followed by the snapshots a book takes, with the allocation
// numbered `fail` failing (0: none); returns how many allocations were made while armed.
size_t replay(const std::vector<Json> &changes, size_t fail) {
  MarketState state("1.1");
  fuzz::SeenCounters seen;
  std::map<RunnerKey, RunnerView> before;
  allocations = 0;
  fail_at = fail;
  for (size_t step = 0; step < changes.size(); ++step) {
    armed = true;
    try {
      state.apply_change(changes[step].value(), int64_t(step + 1));
      for (RunnerState *runner : state.sorted_runners()) {
        (void)runner->spl.shared_snapshot();
        (void)runner->spb.shared_snapshot();
        for (PriceLadder *ladder : {&runner->atb, &runner->atl, &runner->trd})
          (void)ladder->snapshot();
      }
    } catch (const std::bad_alloc &) {
      // the change or its snapshots end there, as next() would
    }
    armed = false;
    JsonValue change = changes[step].value();
    if (change.object().find("img")) {
      seen.runners.clear();
      before.clear();
    }
    EXPECT_TRUE(fuzz::engine_invariants_hold(state, seen)) << "at change " << step;
    auto after = view(state);
    expect_counters_honest(before, after, step);
    before = std::move(after);
  }
  return allocations;
}

} // namespace

TEST(OutOfMemory, EveryFailingAllocationKeepsTheEngineConsistent) {
  std::vector<Json> changes;
  for (const char *text : kChanges)
    changes.emplace_back(text);
  size_t total = replay(changes, 0);
  ASSERT_GT(total, 50u);
  for (size_t fail = 1; fail <= total; ++fail) {
    SCOPED_TRACE("failing allocation " + std::to_string(fail));
    replay(changes, fail);
    if (HasFailure())
      break; // the first failing allocation tells enough
  }
}
