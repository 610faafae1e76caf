// Times loading a stream file against applying its records to a market state, and the engine's
// share of book building (runner order and ladder snapshots), each the best of a few runs.
// Usage: apply_bench [--per-market] FILE [REPETITIONS]
// By default only the first market named is followed, as a replay does; --per-market gives
// every market of a multi-market file its own state, so that all of the file is applied.
#include "input/loader.h"
#include "market/market_state.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

using namespace pelarune;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Follows the first market named, as a replay does, and skips changes naming another; or, per
// market, gives each market named its own state.
struct Replay {
  bool per_market = false;
  std::unordered_map<std::string, std::unique_ptr<MarketState>> others;
  std::unique_ptr<MarketState> market;
  size_t changes = 0;
  size_t skipped = 0;

  // The state the change goes to, or nullptr to skip it.
  MarketState *target(std::string_view id) {
    if (!market && !id.empty())
      market = std::make_unique<MarketState>(std::string(id));
    if (!market || id.empty() || id == market->market_id)
      return market.get();
    if (!per_market)
      return nullptr;
    auto &state = others[std::string(id)];
    if (!state)
      state = std::make_unique<MarketState>(std::string(id));
    return state.get();
  }

  bool apply(const StreamMessage &record) {
    for (JsonValue change : record.market_changes.array()) {
      MarketState *state = target(named_market(change).value_or(std::string_view()));
      if (state == nullptr) {
        ++skipped;
        continue;
      }
      state->apply_change(change, record.publish_time_epoch);
      ++changes;
    }
    return market != nullptr;
  }
};

// What book building asks of the engine: the runner order every record, a snapshot of each
// exchange ladder whose counter moved, and the shared starting-price snapshots of every
// rebuilt runner.
// The runners' own cache slots remember what was "built", as the object layer's do.
struct BookBuild {
  size_t snapshots = 0;
  double checksum = 0.0;

  // What a slot holds here: a token standing for the object built.
  CachedObject *built() noexcept { return reinterpret_cast<CachedObject *>(this); }

  void take(std::span<const LadderEntry> snapshot) {
    ++snapshots;
    if (!snapshot.empty())
      checksum += snapshot.front().price;
  }

  void take_shared(const PriceLadder &ladder) {
    LadderSnapshot shared = ladder.shared_snapshot();
    take(shared ? std::span<const LadderEntry>(*shared) : std::span<const LadderEntry>());
  }

  void take_if_moved(const PriceLadder &ladder, ObjectSlot &slot) {
    if (slot.get_if_built_at(ladder.change_counter()))
      return;
    take(ladder.snapshot());
    slot.set(built(), ladder.change_counter());
  }

  void build(MarketState &market) {
    for (RunnerState *runner : market.sorted_runners()) {
      if (runner->cached_runner.get_if_built_at(runner->change_counter))
        continue;
      take_shared(runner->spl);
      take_shared(runner->spb);
      take_if_moved(runner->atb, runner->cached_atb);
      take_if_moved(runner->atl, runner->cached_atl);
      take_if_moved(runner->trd, runner->cached_trd);
      runner->cached_runner.set(built(), runner->change_counter);
    }
  }
};

} // namespace

// The slots hold tokens, which need no release.
void pelarune::release_cached_object(CachedObject *) noexcept {}

int main(int argc, char **argv) {
  int arg = 1;
  const bool per_market = argc > arg && std::string_view(argv[arg]) == "--per-market";
  arg += per_market;
  if (argc <= arg) {
    std::fprintf(stderr, "usage: %s [--per-market] FILE [REPETITIONS]\n", argv[0]);
    return 2;
  }
  const std::string path = argv[arg];
  const int repetitions = argc > arg + 1 ? std::max(1, std::atoi(argv[arg + 1])) : 3;

  double load_best = 1e300;
  LoadStats stats;
  std::unique_ptr<LoadResult> loaded;
  for (int i = 0; i < repetitions; ++i) {
    loaded.reset();
    stats = LoadStats{};
    Clock::time_point start = Clock::now();
    loaded = std::make_unique<LoadResult>(load_stream_messages(path, &stats));
    load_best = std::min(load_best, seconds_since(start));
    if (!*loaded) {
      std::fprintf(stderr, "load failed: %s\n", loaded->error().message.c_str());
      return 1;
    }
  }
  const MessageStore &records = **loaded;

  double apply_best = 1e300;
  size_t changes = 0;
  size_t skipped = 0;
  uint64_t checksum = 0;
  for (int i = 0; i < repetitions; ++i) {
    Replay replay;
    replay.per_market = per_market;
    Clock::time_point start = Clock::now();
    for (const StreamMessage &record : records)
      replay.apply(record);
    apply_best = std::min(apply_best, seconds_since(start));
    changes = replay.changes;
    skipped = replay.skipped;
    if (replay.market)
      checksum = replay.market->definition_generation + replay.market->runners.size();
  }

  // Book-building work is timed around each record's build only, after applying it.
  double build_best = 1e300;
  size_t snapshots = 0;
  double build_checksum = 0.0;
  for (int i = 0; i < repetitions; ++i) {
    Replay replay;
    replay.per_market = per_market;
    BookBuild books;
    double build_seconds = 0.0;
    for (const StreamMessage &record : records) {
      if (!replay.apply(record))
        continue;
      Clock::time_point start = Clock::now();
      books.build(*replay.market);
      build_seconds += seconds_since(start);
    }
    build_best = std::min(build_best, build_seconds);
    snapshots = books.snapshots;
    build_checksum = books.checksum;
  }

  const double n = double(records.size());
  const double mb = double(stats.kept_line_bytes) / 1e6;
  std::printf("file              %s\n", path.c_str());
  std::printf("lines             %zu (%zu kept, %.1f MB of kept text)\n", stats.lines,
              stats.kept_lines, mb);
  std::printf("records           %zu, changes applied %zu, skipped %zu (%s)\n", records.size(),
              changes, skipped, per_market ? "a state per market" : "first market followed");
  std::printf("repetitions       %d (best of)\n", repetitions);
  std::printf("load              %.3f s  (%.0f MB/s, %.0f ns/record)\n", load_best, mb / load_best,
              load_best / n * 1e9);
  std::printf("apply             %.3f s  (%.0f ns/record, %.0f ns/change)\n", apply_best,
              apply_best / n * 1e9, apply_best / double(changes) * 1e9);
  std::printf("apply / load      %.3f  (target at most 0.5)\n", apply_best / load_best);
  std::printf("book-build engine %.3f s  (%.0f ns/record, %zu snapshots)\n", build_best,
              build_best / n * 1e9, snapshots);
  std::printf("checksum          %llu %.3f\n", static_cast<unsigned long long>(checksum),
              build_checksum);
  return 0;
}
