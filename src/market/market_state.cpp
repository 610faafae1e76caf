// Applies market changes to a market's state: each object is read in one pass over
// its members into per-key slots, which are then applied in a fixed order; a wrong type or a
// missing key leaves its field as it was. This file stays free of Python.
#include "market/market_state.h"

#include "market/key_table.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

namespace pelarune {
namespace {

// Keys read by code beside the field tables.
constexpr std::string_view kId = "id";
constexpr std::string_view kHc = "hc";
constexpr std::string_view kStatus = "status";
constexpr std::string_view kAdjustmentFactor = "adjustmentFactor";
constexpr std::string_view kRemovalDate = "removalDate";
constexpr std::string_view kBsp = "bsp";
constexpr std::string_view kImg = "img";
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::string_view kRc = "rc";
constexpr std::string_view kRunners = "runners";
constexpr std::string_view kSpb = "spb";
constexpr std::string_view kSpl = "spl";
constexpr std::string_view kAtb = "atb";
constexpr std::string_view kAtl = "atl";
constexpr std::string_view kTrd = "trd";
constexpr std::string_view kSpn = "spn";
constexpr std::string_view kSpf = "spf";
constexpr std::string_view kBatb = "batb";
constexpr std::string_view kBatl = "batl";
constexpr std::string_view kBdatb = "bdatb";
constexpr std::string_view kBdatl = "bdatl";

constexpr std::string_view kActive = "ACTIVE";

// The keys of each level: those written out here, then the tables' ("" for a field that no key
// sets at that level).
#define PELARUNE_CHANGE_KEY(store, name, type, init, ...)                                          \
  PELARUNE_BOOK_COLUMNS(__VA_ARGS__).change_key,
#define PELARUNE_DEFINITION_STATUS_KEY(store, name, type, init, ...)                               \
  ListedKey{PELARUNE_BOOK_COLUMNS(__VA_ARGS__).definition_key},
#define PELARUNE_DEFINITION_KEY(name, type, init, ...)                                             \
  ListedKey{PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).key,                                          \
            PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).shared_key},
#define PELARUNE_DEFINITION_RUNNER_KEY(name, type, init, ...)                                      \
  PELARUNE_DEFINITION_RUNNER_COLUMNS(__VA_ARGS__).key,
#define PELARUNE_RUNNER_KEY(name, state_type, record_type, init, ...)                              \
  PELARUNE_RUNNER_COLUMNS(__VA_ARGS__).key,

// clang-format off
constexpr auto kChangeKeyList = std::to_array<std::string_view>({
    kImg, kMarketDefinition, kRc,
    PELARUNE_BOOK_FIELDS(PELARUNE_CHANGE_KEY)
});
constexpr auto kDefinitionKeyList = std::to_array<ListedKey>({
    {kRunners},
    PELARUNE_BOOK_FIELDS(PELARUNE_DEFINITION_STATUS_KEY)
    PELARUNE_DEFINITION_FIELDS(PELARUNE_DEFINITION_KEY)
});
constexpr auto kDefinitionRunnerKeyList = std::to_array<std::string_view>({
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_DEFINITION_RUNNER_KEY)
});
constexpr auto kRunnerChangeKeyList = std::to_array<std::string_view>({
    kId, kHc, kStatus, kSpb, kSpl, kAtb, kAtl, kTrd, kSpn, kSpf, kBatb, kBatl, kBdatb, kBdatl,
    PELARUNE_RUNNER_FIELDS(PELARUNE_RUNNER_KEY)
});
// clang-format on

constexpr KeyTable kChangeKeys{non_empty_keys<kChangeKeyList>()};
constexpr KeyTable kDefinitionKeys{non_empty_keys<kDefinitionKeyList>()};
constexpr KeyTable kDefinitionRunnerKeys{non_empty_keys<kDefinitionRunnerKeyList>()};
constexpr KeyTable kRunnerChangeKeys{non_empty_keys<kRunnerChangeKeyList>()};

// Each definition field's key, by the field's name, as its row gives it; only some are read here.
namespace definition_key {
#define PELARUNE_DEFINITION_ROW_KEY(name, type, init, ...)                                         \
  [[maybe_unused]] constexpr std::string_view name = PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).key;
PELARUNE_DEFINITION_FIELDS(PELARUNE_DEFINITION_ROW_KEY)
#undef PELARUNE_DEFINITION_ROW_KEY
} // namespace definition_key

// Where a book field is kept, inside the market state's member functions.
#define PELARUNE_STORE_status definition
#define PELARUNE_STORE_book (*this)

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

void apply_integer(JsonValue value, std::optional<int64_t> &field) noexcept {
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

// A string; with `any_kind`, any value, as its kind and value.
void apply_raw(JsonValue value, RawValue &field, bool any_kind) {
  if (!value || (!any_kind && !value.is_string()))
    return;
  field = RawValue{};
  if (value.is_null()) {
    field.kind = RawValue::Kind::Null;
  } else if (value.is_bool()) {
    field.kind = RawValue::Kind::Bool;
    field.non_empty = value.bool_value();
  } else if (value.is_uint()) {
    field.kind = RawValue::Kind::UInt;
    field.uint = value.uint_value();
  } else if (value.is_negint()) {
    field.kind = RawValue::Kind::NegInt;
    field.negint = value.negint_value();
  } else if (value.is_double()) {
    field.kind = RawValue::Kind::Double;
    field.number = value.double_value();
  } else if (value.is_string()) {
    field.kind = RawValue::Kind::Text;
    field.text.assign(value.string_value());
  } else if (value.is_array()) {
    field.kind = RawValue::Kind::Array;
    field.non_empty = !value.array().empty();
  } else {
    field.kind = RawValue::Kind::Object;
    field.non_empty = !value.object().empty();
  }
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

// The rule of a field's type (see record_fields.h) applied with the value in slot `Slot`, or
// with its object's `member` when one is named; nothing for -1, a field that no key sets at this
// level.
template <int Slot, class T>
void apply_slot(const auto &slots, T &field, ChangeRules rules, std::string_view member = {}) {
  if constexpr (Slot >= 0) {
    JsonValue value = slots[size_t(Slot)];
    if (!member.empty())
      value = value && value.is_object() ? value.object().find(member) : JsonValue();
    if constexpr (std::is_same_v<T, RawValue>)
      apply_raw(value, field, rules.replaces_definition);
    else if constexpr (std::is_same_v<T, int32_t>)
      apply_integer32(value, field);
    else if constexpr (std::is_same_v<T, int64_t> || std::is_same_v<T, std::optional<int64_t>>)
      apply_integer(value, field);
    else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::optional<double>>)
      apply_float(value, field);
    else if constexpr (std::is_same_v<T, bool>)
      apply_bool(value, field);
    else if constexpr (std::is_same_v<T, std::string> ||
                       std::is_same_v<T, std::optional<std::string>>)
      apply_text(value, field);
    else if constexpr (std::is_same_v<T, std::vector<std::string>> ||
                       std::is_same_v<T, std::optional<std::vector<std::string>>>)
      apply_text_list(value, field);
    else
      static_assert(sizeof(T) == 0, "no rule reads a field of this type");
  }
}

// "Unless present and equal": a NaN never equals, so it always counts as a change.
bool update_optional(std::optional<double> &field, double value) noexcept {
  if (field && *field == value)
    return false;
  field = value;
  return true;
}

// A runner change's rules: whether the field changed.
bool update_float(JsonValue value, std::optional<double> &field) noexcept {
  double number;
  return read_float(value, number) && update_optional(field, number);
}

bool update_float(JsonValue value, double &field) noexcept {
  double number;
  if (!read_float(value, number) || number == field)
    return false;
  field = number;
  return true;
}

bool update_text(JsonValue value, std::optional<std::string> &field) {
  return apply_text(value, field);
}

// The same for a runner change, by the rule of the field's type.
template <int Slot, class T> bool update_slot(const auto &slots, T &field) {
  if constexpr (Slot < 0)
    return false;
  else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::optional<double>>)
    return update_float(slots[size_t(Slot)], field);
  else if constexpr (std::is_same_v<T, std::optional<std::string>>)
    return update_text(slots[size_t(Slot)], field);
  else
    static_assert(sizeof(T) == 0, "no runner-change rule reads a field of this type");
}

double handicap_of(JsonValue value) noexcept {
  double handicap = 0.0;
  read_float(value, handicap);
  return handicap;
}

// The best-offers ladders of one runner change, kept under the rules that ask for them.
[[gnu::noinline]] bool apply_best_offers(RunnerState &runner, const auto &slots) {
  bool changed = false;
  auto update = [&](JsonValue deltas, PositionLadder BestOffers::*ladder) {
    if (!deltas || !deltas.is_array())
      return;
    if (!runner.best_offers)
      runner.best_offers = std::make_unique<BestOffers>();
    changed |= ((*runner.best_offers).*ladder).apply_updates(deltas.array());
  };
  update(slots[kRunnerChangeKeys.at(kBatb)], &BestOffers::batb);
  update(slots[kRunnerChangeKeys.at(kBatl)], &BestOffers::batl);
  update(slots[kRunnerChangeKeys.at(kBdatb)], &BestOffers::bdatb);
  update(slots[kRunnerChangeKeys.at(kBdatl)], &BestOffers::bdatl);
  return changed;
}

// The fields of one runner change, applied to its runner; whether any of them changed it.
bool apply_runner_fields(RunnerState &runner, const auto &slots, bool &statuses_dirty,
                         ChangeRules rules) {
  bool changed = false;
  if (apply_text(slots[kRunnerChangeKeys.at(kStatus)], runner.status)) {
    statuses_dirty = true;
    changed = true;
  }
#define PELARUNE_UPDATE(name, state_type, record_type, init, ...)                                  \
  changed |= update_slot<kRunnerChangeKeys.slot_of(PELARUNE_RUNNER_COLUMNS(__VA_ARGS__).key)>(     \
      slots, runner.name);
  PELARUNE_RUNNER_FIELDS(PELARUNE_UPDATE)
#undef PELARUNE_UPDATE

  // A ladder key holding anything but an array leaves its ladder alone.
  auto update_ladder = [&changed](JsonValue deltas, PriceLadder &ladder) {
    if (deltas && deltas.is_array() && ladder.apply_updates(deltas.array()))
      changed = true;
  };
  update_ladder(slots[kRunnerChangeKeys.at(kSpb)], runner.spb);
  update_ladder(slots[kRunnerChangeKeys.at(kSpl)], runner.spl);
  update_ladder(slots[kRunnerChangeKeys.at(kAtb)], runner.atb);
  update_ladder(slots[kRunnerChangeKeys.at(kAtl)], runner.atl);
  JsonValue traded = slots[kRunnerChangeKeys.at(kTrd)];
  if (rules.empty_traded_clears && traded && traded.is_array() && traded.array().empty()) {
    changed |= runner.trd.clear();
  } else {
    update_ladder(traded, runner.trd);
  }
  if (rules.keeps_best_offers)
    changed |= apply_best_offers(runner, slots);

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

std::optional<std::string_view> named_market(JsonValue change) noexcept {
  if (!change.is_object())
    return std::nullopt;
  JsonValue id = change.object().find(kId);
  if (!id || !id.is_string() || id.string_value().empty())
    return std::nullopt;
  return id.string_value();
}

DefinitionIds definition_ids(JsonValue change) {
  DefinitionIds ids;
  if (!change.is_object())
    return ids;
  JsonValue given = kChangeKeys.collect(change.object())[kChangeKeys.at(kMarketDefinition)];
  ids.present = bool(given);
  if (!given || !given.is_object())
    return ids;
  auto slots = kDefinitionKeys.collect(given.object());
  apply_raw(slots[kDefinitionKeys.at(definition_key::event_type_id)], ids.event_type, true);
  apply_text(slots[kDefinitionKeys.at(definition_key::event_id)], ids.event_id);
  return ids;
}

ChangeFacts MarketState::apply_change(JsonValue change, int64_t publish_time_epoch_) {
  publish_time_epoch = publish_time_epoch_; // moves for every change, an object or not
  ChangeFacts facts;
  try {
    facts = apply_fields(change);
  } catch (...) {
    // Out of memory part way through: the counts still match the runners there are.
    recount_runners();
    throw;
  }
  recount_runners();
  return facts;
}

// Every counter that guards a cached object moves before the fields it guards change, or as the
// change unwinds, so that running out of memory part way never leaves a stale object in use.
ChangeFacts MarketState::apply_fields(JsonValue change) {
  ChangeFacts facts;
  if (change && change.is_object()) {
    auto slots = kChangeKeys.collect(change.object());

    JsonValue img = slots[kChangeKeys.at(kImg)];
    facts.image = img && img.is_true();
    if (facts.image) {
      remove_all_runners();
      if (rules.image_clears_total)
        total_matched = 0.0;
    }

    if (JsonValue given = slots[kChangeKeys.at(kMarketDefinition)]) {
      facts.definition = true;
      ++definition_generation; // presence alone marks a new definition, even a null one
      if (given.is_object())
        apply_definition(given.object());
    }

    // After the definition, so a change-level value wins over the definition's.
#define PELARUNE_APPLY(store, name, type, init, ...)                                               \
  apply_slot<kChangeKeys.slot_of(PELARUNE_BOOK_COLUMNS(__VA_ARGS__).change_key)>(                  \
      slots, PELARUNE_STORE_##store.name, rules);
    PELARUNE_BOOK_FIELDS(PELARUNE_APPLY)
#undef PELARUNE_APPLY

    JsonValue runner_changes = slots[kChangeKeys.at(kRc)];
    if (runner_changes && runner_changes.is_array())
      for (JsonValue runner_change : runner_changes.array())
        apply_runner_change(runner_change);
  }
  return facts;
}

void MarketState::apply_definition(JsonObject object) {
  auto slots = kDefinitionKeys.collect(object);
  if (rules.replaces_definition) {
    // The status values stay: betfairlightweight requires their keys in every definition.
#define PELARUNE_RESET(name, type, init, ...) definition.name = init;
    PELARUNE_DEFINITION_FIELDS(PELARUNE_RESET)
#undef PELARUNE_RESET
  }
#define PELARUNE_APPLY_STATUS(store, name, type, init, ...)                                        \
  apply_slot<kDefinitionKeys.slot_of(PELARUNE_BOOK_COLUMNS(__VA_ARGS__).definition_key)>(          \
      slots, PELARUNE_STORE_##store.name, rules);
#define PELARUNE_APPLY(name, type, init, ...)                                                      \
  apply_slot<kDefinitionKeys.slot_of(PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).key)>(               \
      slots, definition.name, rules, PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).member);
  PELARUNE_BOOK_FIELDS(PELARUNE_APPLY_STATUS)
  PELARUNE_DEFINITION_FIELDS(PELARUNE_APPLY)
#undef PELARUNE_APPLY_STATUS
#undef PELARUNE_APPLY
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
#define PELARUNE_RESET(name, type, init, ...) record.name = init;
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_RESET)
#undef PELARUNE_RESET
    if (!entry.is_object())
      continue; // still a record, with every field at its default

    auto slots = kDefinitionRunnerKeys.collect(entry.object());
#define PELARUNE_APPLY(name, type, init, ...)                                                      \
  apply_slot<kDefinitionRunnerKeys.slot_of(PELARUNE_DEFINITION_RUNNER_COLUMNS(__VA_ARGS__).key)>(  \
      slots, record.name, rules);
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_APPLY)
#undef PELARUNE_APPLY
    int64_t selection_id = 0;
    bool has_id = read_integer(slots[kDefinitionRunnerKeys.at(kId)], selection_id);
    JsonValue runner_status = slots[kDefinitionRunnerKeys.at(kStatus)];
    JsonValue bsp = slots[kDefinitionRunnerKeys.at(kBsp)];
    JsonValue adjustment_factor = slots[kDefinitionRunnerKeys.at(kAdjustmentFactor)];
    JsonValue removal_date = slots[kDefinitionRunnerKeys.at(kRemovalDate)];
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
    else if (rules.replaces_definition)
      runner.adjustment_factor.reset();
    if (!apply_text(removal_date, runner.removal_date) && rules.replaces_definition &&
        !(removal_date && removal_date.is_string()))
      runner.removal_date.reset();
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
    if (apply_runner_fields(runner, slots, statuses_dirty_, rules))
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
    try {
      met_order_.push_back(&it->second);
    } catch (...) {
      runners.erase(it); // every runner is in the order
      throw;
    }
  }
  return it->second;
}

void MarketState::remove_all_runners() noexcept {
  if (runners.empty())
    return;
  // The sorted view points into the nodes about to be freed.
  sorted_runners_.clear();
  met_order_.clear();
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
