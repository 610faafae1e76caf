// Applies market changes to the followed market's state: each object is read in one pass over
// its members into per-key slots, which are then applied in a fixed order; a wrong type or a
// missing key leaves its field as it was. This file stays free of Python.
#include "market/market_state.h"

#include "market/key_table.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

namespace pelarune {
namespace {

// Keys shared by several levels.
constexpr std::string_view kId = "id";
constexpr std::string_view kHc = "hc";
constexpr std::string_view kStatus = "status";
constexpr std::string_view kAdjustmentFactor = "adjustmentFactor";
constexpr std::string_view kRemovalDate = "removalDate";
constexpr std::string_view kTv = "tv";
constexpr std::string_view kVersion = "version";
constexpr std::string_view kBetDelay = "betDelay";
constexpr std::string_view kBspReconciled = "bspReconciled";
constexpr std::string_view kComplete = "complete";
constexpr std::string_view kCrossMatching = "crossMatching";
constexpr std::string_view kInPlay = "inPlay";
constexpr std::string_view kRunnersVoidable = "runnersVoidable";

// Market change level.
constexpr std::string_view kImg = "img";
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::string_view kLastMatchTime = "lastMatchTime";
constexpr std::string_view kRc = "rc";

// Market definition level.
constexpr std::string_view kNumberOfWinners = "numberOfWinners";
constexpr std::string_view kEventId = "eventId";
constexpr std::string_view kEventTypeId = "eventTypeId";
constexpr std::string_view kEventName = "eventName";
constexpr std::string_view kMarketType = "marketType";
constexpr std::string_view kMarketTime = "marketTime";
constexpr std::string_view kCountryCode = "countryCode";
constexpr std::string_view kVenue = "venue";
constexpr std::string_view kRaceType = "raceType";
constexpr std::string_view kBspMarket = "bspMarket";
constexpr std::string_view kPersistenceEnabled = "persistenceEnabled";
constexpr std::string_view kEachWayDivisor = "eachWayDivisor";
constexpr std::string_view kTimezone = "timezone";
constexpr std::string_view kTurnInPlayEnabled = "turnInPlayEnabled";
constexpr std::string_view kBettingType = "bettingType";
constexpr std::string_view kName = "name";
constexpr std::string_view kDiscountAllowed = "discountAllowed";
constexpr std::string_view kMarketBaseRate = "marketBaseRate";
constexpr std::string_view kRegulators = "regulators";
constexpr std::string_view kBetDelayModels = "betDelayModels";
constexpr std::string_view kOpenDate = "openDate";
constexpr std::string_view kSuspendTime = "suspendTime";
constexpr std::string_view kSettledTime = "settledTime";
constexpr std::string_view kRunners = "runners";

// Definition runner entry level.
constexpr std::string_view kSortPriority = "sortPriority";
constexpr std::string_view kBsp = "bsp";

// Runner change level.
constexpr std::string_view kLtp = "ltp";
constexpr std::string_view kSpb = "spb";
constexpr std::string_view kSpl = "spl";
constexpr std::string_view kAtb = "atb";
constexpr std::string_view kAtl = "atl";
constexpr std::string_view kTrd = "trd";
constexpr std::string_view kSpn = "spn";
constexpr std::string_view kSpf = "spf";

constexpr std::string_view kActive = "ACTIVE";

constexpr KeyTable kChangeKeys{std::array{kImg, kMarketDefinition, kStatus, kBetDelay,
                                          kBspReconciled, kComplete, kCrossMatching, kInPlay,
                                          kRunnersVoidable, kTv, kVersion, kLastMatchTime, kRc}};

constexpr KeyTable kDefinitionKeys{std::array{kStatus,
                                              kBetDelay,
                                              kBspReconciled,
                                              kComplete,
                                              kCrossMatching,
                                              kInPlay,
                                              kRunnersVoidable,
                                              kNumberOfWinners,
                                              kEventId,
                                              kEventTypeId,
                                              kEventName,
                                              kMarketType,
                                              kMarketTime,
                                              kCountryCode,
                                              kVenue,
                                              kRaceType,
                                              kBspMarket,
                                              kPersistenceEnabled,
                                              kEachWayDivisor,
                                              kTimezone,
                                              kTurnInPlayEnabled,
                                              kBettingType,
                                              kName,
                                              kDiscountAllowed,
                                              kMarketBaseRate,
                                              kRegulators,
                                              kBetDelayModels,
                                              kOpenDate,
                                              kSuspendTime,
                                              kSettledTime,
                                              kVersion,
                                              kRunners}};

constexpr KeyTable kDefinitionRunnerKeys{
    std::array{kId, kHc, kSortPriority, kStatus, kAdjustmentFactor, kName, kBsp, kRemovalDate}};

constexpr KeyTable kRunnerChangeKeys{std::array{kId, kHc, kStatus, kAdjustmentFactor, kLtp, kTv,
                                                kRemovalDate, kSpb, kSpl, kAtb, kAtl, kTrd, kSpn,
                                                kSpf}};

// Every reader takes a possibly missing view and reports whether the value was accepted.

// Integer: a non-negative literal up to 2^63 - 1 or a negative one; 5.0 is not an integer.
bool read_integer(JsonValue value, int64_t &out) noexcept {
  if (!value)
    return false;
  if (value.is_uint()) {
    uint64_t magnitude = value.uint_value();
    if (magnitude > uint64_t(std::numeric_limits<int64_t>::max()))
      return false;
    out = int64_t(magnitude);
    return true;
  }
  if (value.is_negint()) {
    out = value.negint_value();
    return true;
  }
  return false;
}

bool read_float(JsonValue value, double &out) noexcept {
  if (!value || !value.is_number())
    return false;
  out = value.number_value();
  return true;
}

void apply_integer(JsonValue value, int64_t &field) noexcept {
  int64_t parsed;
  if (read_integer(value, parsed))
    field = parsed;
}

// Keeps the low 32 bits, two's-complement: 2^32 + 1 gives 1.
void apply_integer32(JsonValue value, int32_t &field) noexcept {
  int64_t parsed;
  if (read_integer(value, parsed))
    field = int32_t(uint32_t(uint64_t(parsed)));
}

void apply_float(JsonValue value, double &field) noexcept {
  read_float(value, field);
}

void apply_float(JsonValue value, std::optional<double> &field) noexcept {
  double parsed;
  if (read_float(value, parsed))
    field = parsed;
}

void apply_bool(JsonValue value, bool &field) noexcept {
  if (value && value.is_bool())
    field = value.bool_value();
}

// Assigns only on a difference, so an unchanged text costs a comparison and no allocation.
bool apply_text(JsonValue value, std::string &field) {
  if (!value || !value.is_string())
    return false;
  std::string_view text = value.string_value();
  if (field == text)
    return false;
  field.assign(text);
  return true;
}

bool apply_text(JsonValue value, std::optional<std::string> &field) {
  if (!value || !value.is_string())
    return false;
  std::string_view text = value.string_value();
  if (!field) {
    field.emplace(text);
    return true;
  }
  if (*field == text)
    return false;
  field->assign(text);
  return true;
}

// An array replaces the list whole, keeping its strings; any other value leaves it.
void apply_text_list(JsonValue value, std::vector<std::string> &field) {
  if (!value || !value.is_array())
    return;
  field.clear();
  for (JsonValue item : value.array())
    if (item.is_string())
      field.emplace_back(item.string_value());
}

void apply_text_list(JsonValue value, std::optional<std::vector<std::string>> &field) {
  if (value && value.is_array())
    apply_text_list(value, field.emplace());
}

// A present key always sets the value; the unused members are kept at their defaults so that
// equal prices compare equal.
void apply_price_value(JsonValue value, PriceValue &field) {
  if (value && value.is_string()) {
    field.kind = PriceValue::Kind::Text;
    field.number = 0.0;
    field.text.assign(value.string_value());
  } else if (value && value.is_number()) {
    field.kind = PriceValue::Kind::Number;
    field.number = value.number_value();
    field.text.clear();
  } else {
    field.kind = PriceValue::Kind::Absent;
    field.number = 0.0;
    field.text.clear();
  }
}

// "Unless present and equal": a NaN never equals, so it always counts as a change.
bool update_optional(std::optional<double> &field, double value) noexcept {
  if (field && *field == value)
    return false;
  field = value;
  return true;
}

double handicap_of(JsonValue value) noexcept {
  double handicap = 0.0;
  read_float(value, handicap);
  return handicap;
}

// The fields of one runner change, applied to its runner; whether any of them changed it.
bool apply_runner_fields(RunnerState &runner, const auto &slots, bool &statuses_dirty) {
  bool changed = false;
  if (apply_text(slots[kRunnerChangeKeys.at(kStatus)], runner.status)) {
    statuses_dirty = true;
    changed = true;
  }
  double number;
  if (read_float(slots[kRunnerChangeKeys.at(kAdjustmentFactor)], number))
    changed |= update_optional(runner.adjustment_factor, number);
  if (read_float(slots[kRunnerChangeKeys.at(kLtp)], number))
    changed |= update_optional(runner.last_price_traded, number);
  if (read_float(slots[kRunnerChangeKeys.at(kTv)], number) && !(number == runner.total_matched)) {
    runner.total_matched = number;
    changed = true;
  }
  changed |= apply_text(slots[kRunnerChangeKeys.at(kRemovalDate)], runner.removal_date);

  // A ladder key holding anything but an array leaves its ladder alone.
  auto update_ladder = [&changed](JsonValue deltas, PriceLadder &ladder) {
    if (deltas && deltas.is_array() && ladder.apply_updates(deltas.array()))
      changed = true;
  };
  update_ladder(slots[kRunnerChangeKeys.at(kSpb)], runner.spb);
  update_ladder(slots[kRunnerChangeKeys.at(kSpl)], runner.spl);
  update_ladder(slots[kRunnerChangeKeys.at(kAtb)], runner.atb);
  update_ladder(slots[kRunnerChangeKeys.at(kAtl)], runner.atl);
  update_ladder(slots[kRunnerChangeKeys.at(kTrd)], runner.trd);

  // A present near or far price counts as a change whatever it was before.
  if (JsonValue near_price = slots[kRunnerChangeKeys.at(kSpn)]) {
    apply_price_value(near_price, runner.near_price);
    changed = true;
  }
  if (JsonValue far_price = slots[kRunnerChangeKeys.at(kSpf)]) {
    apply_price_value(far_price, runner.far_price);
    changed = true;
  }
  return changed;
}

} // namespace

int64_t handicap_key(double handicap) noexcept {
  double scaled = handicap * 100.0;
  // Below 2^52 in magnitude the truncation and the fraction left are exact, so the half cases
  // round correctly without a libm call: -12.5 gives -13, 0.5 gives 1.
  constexpr double kExactLimit = 4503599627370496.0; // 2^52
  if (std::fabs(scaled) < kExactLimit) {
    auto whole = int64_t(scaled);
    double fraction = scaled - double(whole);
    if (fraction >= 0.5)
      return whole + 1;
    if (fraction <= -0.5)
      return whole - 1;
    return whole;
  }
  if (std::isnan(scaled))
    return 0;
  // 2^63 is exact as a double; at or beyond it the conversion would overflow.
  constexpr double kLimit = 9223372036854775808.0;
  if (scaled >= kLimit)
    return std::numeric_limits<int64_t>::max();
  if (scaled < -kLimit)
    return std::numeric_limits<int64_t>::min();
  return int64_t(scaled); // already a whole number at this magnitude
}

void MarketState::apply_change(JsonValue change, int64_t epoch_ms) {
  publish_time_epoch = epoch_ms; // moves for every change, an object or not
  try {
    apply_fields(change);
  } catch (...) {
    // Out of memory part way through: the counts still match the runners there are.
    recount_runners();
    throw;
  }
  recount_runners();
}

// Every counter that guards a cached object moves before the fields it guards change, or as the
// change unwinds, so that running out of memory part way never leaves a stale object in use.
void MarketState::apply_fields(JsonValue change) {
  if (change && change.is_object()) {
    auto slots = kChangeKeys.collect(change.object());

    JsonValue img = slots[kChangeKeys.at(kImg)];
    if (img && img.is_true())
      remove_all_runners();

    if (JsonValue given = slots[kChangeKeys.at(kMarketDefinition)]) {
      ++definition_generation; // presence alone marks a new definition, even a null one
      if (given.is_object())
        apply_definition(given.object());
    }

    // After the definition, so a change-level value wins over the definition's.
    apply_text(slots[kChangeKeys.at(kStatus)], definition.status);
    apply_integer32(slots[kChangeKeys.at(kBetDelay)], definition.bet_delay);
    apply_bool(slots[kChangeKeys.at(kBspReconciled)], definition.bsp_reconciled);
    apply_bool(slots[kChangeKeys.at(kComplete)], definition.complete);
    apply_bool(slots[kChangeKeys.at(kCrossMatching)], definition.cross_matching);
    apply_bool(slots[kChangeKeys.at(kInPlay)], definition.in_play);
    apply_bool(slots[kChangeKeys.at(kRunnersVoidable)], definition.runners_voidable);
    apply_float(slots[kChangeKeys.at(kTv)], total_matched);
    apply_integer(slots[kChangeKeys.at(kVersion)], definition.version);
    int64_t match_time_ms;
    if (read_integer(slots[kChangeKeys.at(kLastMatchTime)], match_time_ms))
      last_match_time = match_time_ms;

    JsonValue runner_changes = slots[kChangeKeys.at(kRc)];
    if (runner_changes && runner_changes.is_array())
      for (JsonValue runner_change : runner_changes.array())
        apply_runner_change(runner_change);
  }
}

void MarketState::apply_definition(JsonObject object) {
  auto slots = kDefinitionKeys.collect(object);
  apply_text(slots[kDefinitionKeys.at(kStatus)], definition.status);
  apply_integer32(slots[kDefinitionKeys.at(kBetDelay)], definition.bet_delay);
  apply_bool(slots[kDefinitionKeys.at(kBspReconciled)], definition.bsp_reconciled);
  apply_bool(slots[kDefinitionKeys.at(kComplete)], definition.complete);
  apply_bool(slots[kDefinitionKeys.at(kCrossMatching)], definition.cross_matching);
  apply_bool(slots[kDefinitionKeys.at(kInPlay)], definition.in_play);
  apply_bool(slots[kDefinitionKeys.at(kRunnersVoidable)], definition.runners_voidable);
  apply_integer32(slots[kDefinitionKeys.at(kNumberOfWinners)], definition.number_of_winners);
  apply_text(slots[kDefinitionKeys.at(kEventId)], definition.event_id);
  apply_text(slots[kDefinitionKeys.at(kEventTypeId)], definition.event_type_id);
  apply_text(slots[kDefinitionKeys.at(kEventName)], definition.event_name);
  apply_text(slots[kDefinitionKeys.at(kMarketType)], definition.market_type);
  apply_text(slots[kDefinitionKeys.at(kMarketTime)], definition.market_time_text);
  apply_text(slots[kDefinitionKeys.at(kCountryCode)], definition.country_code);
  apply_text(slots[kDefinitionKeys.at(kVenue)], definition.venue);
  apply_text(slots[kDefinitionKeys.at(kRaceType)], definition.race_type);
  apply_bool(slots[kDefinitionKeys.at(kBspMarket)], definition.bsp_market);
  apply_bool(slots[kDefinitionKeys.at(kPersistenceEnabled)], definition.persistence_enabled);
  apply_float(slots[kDefinitionKeys.at(kEachWayDivisor)], definition.each_way_divisor);
  apply_text(slots[kDefinitionKeys.at(kTimezone)], definition.timezone);
  apply_bool(slots[kDefinitionKeys.at(kTurnInPlayEnabled)], definition.turn_in_play_enabled);
  apply_text(slots[kDefinitionKeys.at(kBettingType)], definition.betting_type);
  apply_text(slots[kDefinitionKeys.at(kName)], definition.name);
  apply_bool(slots[kDefinitionKeys.at(kDiscountAllowed)], definition.discount_allowed);
  apply_float(slots[kDefinitionKeys.at(kMarketBaseRate)], definition.market_base_rate);
  apply_text_list(slots[kDefinitionKeys.at(kRegulators)], definition.regulators);
  apply_text_list(slots[kDefinitionKeys.at(kBetDelayModels)], definition.bet_delay_models);
  apply_text(slots[kDefinitionKeys.at(kOpenDate)], definition.open_date_text);
  apply_text(slots[kDefinitionKeys.at(kSuspendTime)], definition.suspend_time_text);
  apply_text(slots[kDefinitionKeys.at(kSettledTime)], definition.settled_time_text);
  apply_integer(slots[kDefinitionKeys.at(kVersion)], definition.version);
  JsonValue entries = slots[kDefinitionKeys.at(kRunners)];
  if (entries && entries.is_array())
    apply_definition_runners(entries.array());
}

// Each entry yields one record of the new list, and an entry with an accepted id also updates
// its runner. Both read the same entry, so one pass does both; the records are rewritten in
// place to keep their strings' storage.
void MarketState::apply_definition_runners(JsonArray entries) {
  size_t count = 0;
  for (JsonValue entry : entries) {
    if (count == runner_definitions.size())
      runner_definitions.emplace_back();
    RunnerDefinitionData &record = runner_definitions[count++];
    record.adjustment_factor.reset();
    record.bsp.reset();
    record.status.assign(kActive);
    record.removal_date.reset();
    record.name.reset();
    record.selection_id = 0;
    record.handicap = 0.0;
    record.sort_priority = 0;
    if (!entry.is_object())
      continue; // still a record, with every field at its default

    auto slots = kDefinitionRunnerKeys.collect(entry.object());
    int64_t selection_id = 0;
    bool has_id = read_integer(slots[kDefinitionRunnerKeys.at(kId)], selection_id);
    JsonValue runner_status = slots[kDefinitionRunnerKeys.at(kStatus)];
    JsonValue bsp = slots[kDefinitionRunnerKeys.at(kBsp)];
    JsonValue adjustment_factor = slots[kDefinitionRunnerKeys.at(kAdjustmentFactor)];
    JsonValue removal_date = slots[kDefinitionRunnerKeys.at(kRemovalDate)];

    record.selection_id = selection_id;
    record.handicap = handicap_of(slots[kDefinitionRunnerKeys.at(kHc)]);
    apply_integer32(slots[kDefinitionRunnerKeys.at(kSortPriority)], record.sort_priority);
    apply_text(runner_status, record.status);
    apply_float(adjustment_factor, record.adjustment_factor);
    apply_text(slots[kDefinitionRunnerKeys.at(kName)], record.name);
    apply_float(bsp, record.bsp);
    apply_text(removal_date, record.removal_date);
    if (!has_id)
      continue; // listed with selection id 0, but addresses no runner

    RunnerState &runner = find_or_create_runner(selection_id, record.handicap);
    // Every listing counts as a change, so a repeated definition rebuilds the runner.
    ++runner.change_counter;
    if (apply_text(runner_status, runner.status))
      statuses_dirty_ = true;
    apply_price_value(bsp, runner.actual_sp); // a missing "bsp" clears it
    double factor;
    if (read_float(adjustment_factor, factor))
      update_optional(runner.adjustment_factor, factor);
    apply_text(removal_date, runner.removal_date);
  }
  runner_definitions.resize(count);
}

void MarketState::apply_runner_change(JsonValue change) {
  if (!change.is_object())
    return;
  auto slots = kRunnerChangeKeys.collect(change.object());
  int64_t selection_id;
  if (!read_integer(slots[kRunnerChangeKeys.at(kId)], selection_id))
    return; // a runner change without a usable id addresses nothing
  RunnerState &runner =
      find_or_create_runner(selection_id, handicap_of(slots[kRunnerChangeKeys.at(kHc)]));
  try {
    if (apply_runner_fields(runner, slots, statuses_dirty_))
      ++runner.change_counter;
  } catch (...) {
    ++runner.change_counter; // whatever was set part way must not hide behind a cached Runner
    throw;
  }
}

RunnerState &MarketState::find_or_create_runner(int64_t selection_id, double handicap) {
  auto [it, inserted] =
      runners.try_emplace(RunnerKey{selection_id, handicap_key(handicap)}, selection_id, handicap);
  if (inserted) {
    sorted_dirty_ = true;
    statuses_dirty_ = true;
  }
  return it->second;
}

void MarketState::remove_all_runners() noexcept {
  if (runners.empty())
    return;
  // The sorted view points into the nodes about to be freed.
  sorted_runners_.clear();
  sorted_dirty_ = true;
  statuses_dirty_ = true;
  runners.clear(); // releases every runner's cached objects
}

void MarketState::recount_runners() noexcept {
  int32_t previous_runners = number_of_runners;
  number_of_runners = int32_t(runners.size());
  // Counting statuses walks every runner, so it runs only after a status could have moved.
  if (!statuses_dirty_ && number_of_runners == previous_runners)
    return;
  int32_t active = 0;
  for (const auto &entry : runners)
    active += entry.second.status == kActive;
  definition.number_of_active_runners = active;
  statuses_dirty_ = false;
}

const std::vector<RunnerState *> &MarketState::sorted_runners() {
  // Node pointers are stable, so the order is redone only when the set of runners changed.
  if (!sorted_dirty_ && sorted_runners_.size() == runners.size())
    return sorted_runners_;
  std::vector<std::pair<RunnerKey, RunnerState *>> keyed;
  keyed.reserve(runners.size());
  for (auto &[key, runner] : runners)
    keyed.emplace_back(key, &runner);
  std::sort(keyed.begin(), keyed.end(),
            [](const auto &a, const auto &b) { return a.first < b.first; });
  sorted_runners_.clear();
  for (const auto &entry : keyed)
    sorted_runners_.push_back(entry.second);
  sorted_dirty_ = false;
  return sorted_runners_;
}

} // namespace pelarune
