// The rows of a prices table: the file's records applied market by market, each book written as
// runs of equal values (a side's rows share the market's and the runner's columns), so a row
// costs a few stores per column.
#include "tables/prices_rows.h"

#include "check.h"

#include <algorithm>
#include <array>
#include <type_traits>

namespace pelarune {
namespace {

// Only the best-offers ladders differ from a plain replay's state: the other rules change
// nothing a table shows but the definition, which stays merged as the books show it.
constexpr ChangeRules kRules{.keeps_best_offers = true};

constexpr std::string_view kRunnerStatus = "runner_status";
constexpr std::string_view kRunnerName = "runner_name";
constexpr size_t kColumnsBeforeExtras[] = {9, 6}; // by TableFormat

void put(const std::string &value, ColumnBuilder &column, size_t rows) {
  column.fill_string(value, rows);
}
void put(const std::optional<std::string> &value, ColumnBuilder &column, size_t rows) {
  if (value)
    column.fill_string(*value, rows);
  else
    column.fill_null(rows);
}
void put(const RawValue &value, ColumnBuilder &column, size_t rows) {
  if (value.is_text())
    column.fill_string(value.text, rows);
  else
    column.fill_null(rows);
}
void put(bool value, ColumnBuilder &column, size_t rows) {
  column.fill_bool(value, rows);
}
void put(int32_t value, ColumnBuilder &column, size_t rows) {
  column.fill(value, rows);
}
void put(int64_t value, ColumnBuilder &column, size_t rows) {
  column.fill(value, rows);
}
void put(double value, ColumnBuilder &column, size_t rows) {
  column.fill(value, rows);
}
void put(const std::optional<double> &value, ColumnBuilder &column, size_t rows) {
  if (value)
    column.fill(*value, rows);
  else
    column.fill_null(rows);
}

template <class T> constexpr ColumnType column_type() {
  if constexpr (std::is_same_v<T, bool>)
    return ColumnType::Bool;
  else if constexpr (std::is_same_v<T, int32_t>)
    return ColumnType::Int32;
  else if constexpr (std::is_same_v<T, int64_t>)
    return ColumnType::Int64;
  else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, std::optional<double>>)
    return ColumnType::Float64;
  else
    return ColumnType::Utf8;
}

using DefinitionWriter = void (*)(const MarketDefinitionData &, ColumnBuilder &, size_t);

struct DefinitionEntry {
  DefinitionColumn column;
  DefinitionWriter write;
};

#define PELARUNE_DEFINITION_COLUMN(key, field)                                                     \
  DefinitionEntry {                                                                                \
    {key, column_type<decltype(MarketDefinitionData::field)>()},                                   \
        [](const MarketDefinitionData &definition, ColumnBuilder &column, size_t rows) {           \
          put(definition.field, column, rows);                                                     \
        }                                                                                          \
  }

// The definition's keys the engine keeps as single values, alphabetically. Time keys are their
// text as given. Left out: "runners" (the runner columns), "regulators" and "betDelayModels"
// (lists) and "priceLadderDefinition" (an object, of which the engine keeps only the type).
const DefinitionEntry kDefinitionEntries[] = {
    PELARUNE_DEFINITION_COLUMN("betDelay", bet_delay),
    PELARUNE_DEFINITION_COLUMN("bettingType", betting_type),
    PELARUNE_DEFINITION_COLUMN("bspMarket", bsp_market),
    PELARUNE_DEFINITION_COLUMN("bspReconciled", bsp_reconciled),
    PELARUNE_DEFINITION_COLUMN("complete", complete),
    PELARUNE_DEFINITION_COLUMN("countryCode", country_code),
    PELARUNE_DEFINITION_COLUMN("crossMatching", cross_matching),
    PELARUNE_DEFINITION_COLUMN("discountAllowed", discount_allowed),
    PELARUNE_DEFINITION_COLUMN("eachWayDivisor", each_way_divisor),
    PELARUNE_DEFINITION_COLUMN("eventId", event_id),
    PELARUNE_DEFINITION_COLUMN("eventName", event_name),
    PELARUNE_DEFINITION_COLUMN("eventTypeId", event_type_id),
    PELARUNE_DEFINITION_COLUMN("inPlay", in_play),
    PELARUNE_DEFINITION_COLUMN("lineInterval", line_interval),
    PELARUNE_DEFINITION_COLUMN("lineMaxUnit", line_max_unit),
    PELARUNE_DEFINITION_COLUMN("lineMinUnit", line_min_unit),
    PELARUNE_DEFINITION_COLUMN("marketBaseRate", market_base_rate),
    PELARUNE_DEFINITION_COLUMN("marketTime", market_time_raw),
    PELARUNE_DEFINITION_COLUMN("marketType", market_type),
    PELARUNE_DEFINITION_COLUMN("name", name),
    PELARUNE_DEFINITION_COLUMN("numberOfActiveRunners", number_of_active_runners),
    PELARUNE_DEFINITION_COLUMN("numberOfWinners", number_of_winners),
    PELARUNE_DEFINITION_COLUMN("openDate", open_date_raw),
    PELARUNE_DEFINITION_COLUMN("persistenceEnabled", persistence_enabled),
    PELARUNE_DEFINITION_COLUMN("raceType", race_type),
    PELARUNE_DEFINITION_COLUMN("runnersVoidable", runners_voidable),
    PELARUNE_DEFINITION_COLUMN("settledTime", settled_time_raw),
    PELARUNE_DEFINITION_COLUMN("status", status),
    PELARUNE_DEFINITION_COLUMN("suspendTime", suspend_time_raw),
    PELARUNE_DEFINITION_COLUMN("timezone", timezone),
    PELARUNE_DEFINITION_COLUMN("turnInPlayEnabled", turn_in_play_enabled),
    PELARUNE_DEFINITION_COLUMN("venue", venue),
    PELARUNE_DEFINITION_COLUMN("version", version),
};
#undef PELARUNE_DEFINITION_COLUMN

constexpr size_t kDefinitionCount = std::size(kDefinitionEntries);

const std::array<DefinitionColumn, kDefinitionCount> kDefinitionColumns = [] {
  std::array<DefinitionColumn, kDefinitionCount> columns{};
  for (size_t i = 0; i < kDefinitionCount; ++i)
    columns[i] = kDefinitionEntries[i].column;
  return columns;
}();

std::optional<size_t> definition_index(std::string_view key) {
  for (size_t i = 0; i < kDefinitionCount; ++i)
    if (kDefinitionEntries[i].column.key == key)
      return i;
  return std::nullopt;
}

// The side's rows as flumine's books give them: the full-depth ladder, else the best display
// offers, else the best offers.
std::span<const LadderEntry> side_levels(const RunnerState &runner, int side) {
  const PriceLadder &full = side == 0 ? runner.atb : runner.atl;
  if (!full.empty() || !runner.best_offers)
    return full.snapshot();
  const BestOffers &offers = *runner.best_offers;
  const PositionLadder &display = side == 0 ? offers.bdatb : offers.bdatl;
  return !display.empty() ? display.snapshot() : (side == 0 ? offers.batb : offers.batl).snapshot();
}

// The name the market's last definition gives the runner.
const std::optional<std::string> *runner_name(const MarketState &market,
                                              const RunnerState &runner) {
  int64_t key = handicap_key(runner.handicap);
  for (const RunnerDefinitionData &entry : market.runner_definitions)
    if (entry.selection_id == runner.selection_id && handicap_key(entry.handicap) == key)
      return &entry.name;
  return nullptr;
}

} // namespace

// An extra column: the runner's status or name, or a definition key's entry.
struct PricesRows::Extra {
  enum class Kind : uint8_t { RunnerStatus, RunnerName, Definition } kind;
  size_t definition = 0;
};

// A market's state, and its definition's values as its books show them: as they stood after the
// record that gave the definition (later change-level values and runner counts do not reach
// them), kept only when a definition key is a column.
struct PricesRows::Market {
  explicit Market(std::string id) : state(std::move(id), kRules) {}

  MarketState state;
  uint64_t shown_generation = 0;
  MarketDefinitionData shown;
};

std::span<const DefinitionColumn> definition_columns() noexcept {
  return kDefinitionColumns;
}

std::optional<std::string> unknown_column(const TableOptions &options) {
  for (const std::string &column : options.columns)
    if (column != kRunnerStatus && column != kRunnerName && !definition_index(column))
      return column;
  return std::nullopt;
}

std::vector<ColumnSpec> table_columns(const TableOptions &options) {
  std::vector<ColumnSpec> columns = {
      {"market_id", ColumnType::MarketDictionary},
      {"publish_time", ColumnType::TimestampMsUtc},
      {"inplay", ColumnType::Bool},
      {"selection_id", ColumnType::Int64},
      {"handicap", ColumnType::Float64},
  };
  if (options.format == TableFormat::FullLadder) {
    columns.push_back({"side", ColumnType::SideDictionary});
    columns.push_back({"depth", ColumnType::Int32});
    columns.push_back({"price", ColumnType::Float64});
    columns.push_back({"size", ColumnType::Float64});
  } else {
    columns.push_back({"last_price_traded", ColumnType::Float64, true});
  }
  for (const std::string &column : options.columns) {
    if (column == kRunnerStatus)
      columns.push_back({column, ColumnType::Utf8});
    else if (column == kRunnerName)
      columns.push_back({column, ColumnType::Utf8, true});
    else
      columns.push_back({column, kDefinitionColumns[definition_index(column).value()].type, true});
  }
  return columns;
}

PricesRows::PricesRows(std::shared_ptr<const MessageStore> records, TableOptions options)
    : records_(std::move(records)), options_(std::move(options)) {
  PELARUNE_CHECK(options_.batch_rows >= 1, "a batch of no rows");
  for (const std::string &column : options_.columns) {
    if (column == kRunnerStatus)
      extras_.push_back({Extra::Kind::RunnerStatus});
    else if (column == kRunnerName)
      extras_.push_back({Extra::Kind::RunnerName});
    else if (std::optional<size_t> index = definition_index(column)) {
      extras_.push_back({Extra::Kind::Definition, *index});
      shows_definition_ = true;
    } else
      throw Panic("an unknown column: " + column);
  }
  for (const ColumnSpec &column : table_columns(options_))
    columns_.emplace_back(column.type, column.nullable);
}

PricesRows::~PricesRows() = default;

MarketState &PricesRows::state(size_t market) const noexcept {
  return markets_[market]->state;
}

bool PricesRows::next_book() {
  while (cursor_ < records_->size()) {
    const StreamMessage &message = (*records_)[cursor_++];
    PELARUNE_CHECK(message.market_changes.is_array(), "a record's changes are not an array");
    changed_.clear();
    book_ = runner_ = level_ = 0;
    side_ = 0;
    JsonArray changes = message.market_changes.array();
    for (JsonValue change : changes) {
      if (std::optional<std::string_view> id = named_market(change)) {
        auto [it, inserted] = market_index_.try_emplace(std::string(*id), markets_.size());
        if (inserted) {
          market_ids_.emplace_back(*id);
          markets_.push_back(std::make_unique<Market>(std::string(*id)));
        }
        state(it->second).apply_change(change, message.publish_time_epoch);
        changed_.push_back(it->second);
      } else {
        // No market named: every market's file would hold it, as its only market's.
        for (size_t i = 0; i < markets_.size(); ++i) {
          state(i).apply_change(change, message.publish_time_epoch);
          changed_.push_back(i);
        }
      }
    }
    if (changes.empty()) // a book of each market, as a file of its own gives
      for (size_t i = 0; i < markets_.size(); ++i)
        changed_.push_back(i);
    if (changed_.size() > 1) {
      std::sort(changed_.begin(), changed_.end());
      changed_.erase(std::unique(changed_.begin(), changed_.end()), changed_.end());
    }
    if (shows_definition_) {
      for (size_t index : changed_) {
        Market &market = *markets_[index];
        if (market.shown_generation != market.state.definition_generation) {
          market.shown = market.state.definition;
          market.shown_generation = market.state.definition_generation;
        }
      }
    }
    if (!changed_.empty())
      return true;
  }
  return false;
}

bool PricesRows::passes(const MarketState &market) const {
  if (options_.inplay_only && !market.definition.in_play)
    return false;
  if (options_.market_types) {
    const std::optional<std::string> &type = market.definition.market_type;
    if (!type || std::find(options_.market_types->begin(), options_.market_types->end(), *type) ==
                     options_.market_types->end())
      return false;
  }
  return true;
}

void PricesRows::write_common(const RunnerState &runner, size_t rows) {
  const Market &held = *markets_[changed_[book_]];
  const MarketState &market = held.state;
  columns_[0].fill(int32_t(changed_[book_]), rows);
  columns_[1].fill(market.publish_time_epoch, rows);
  columns_[2].fill_bool(market.definition.in_play, rows);
  columns_[3].fill(runner.selection_id, rows);
  columns_[4].fill(runner.handicap, rows);
  size_t column = kColumnsBeforeExtras[size_t(options_.format)];
  for (const Extra &extra : extras_) {
    ColumnBuilder &out = columns_[column++];
    switch (extra.kind) {
    case Extra::Kind::RunnerStatus:
      out.fill_string(runner.status, rows);
      break;
    case Extra::Kind::RunnerName:
      if (const std::optional<std::string> *name = runner_name(market, runner))
        put(*name, out, rows);
      else
        out.fill_null(rows);
      break;
    case Extra::Kind::Definition:
      if (held.shown_generation == 0)
        out.fill_null(rows);
      else
        kDefinitionEntries[extra.definition].write(held.shown, out, rows);
      break;
    }
  }
}

void PricesRows::write_rows(const RunnerState &runner, std::span<const LadderEntry> levels,
                            int8_t side, size_t first) {
  size_t rows = levels.size();
  write_common(runner, rows);
  columns_[5].fill(side, rows);
  auto *depth = columns_[6].extend<int32_t>(rows);
  auto *price = columns_[7].extend<double>(rows);
  auto *size = columns_[8].extend<double>(rows);
  for (size_t i = 0; i < rows; ++i) {
    depth[i] = int32_t(first + i);
    price[i] = levels[i].price;
    size[i] = levels[i].size;
  }
  rows_ += rows;
}

void PricesRows::write_book() {
  const std::vector<RunnerState *> &runners = state(changed_[book_]).sorted_runners();
  size_t batch = options_.batch_rows;
  for (; runner_ < runners.size(); ++runner_) {
    const RunnerState &runner = *runners[runner_];
    if (options_.format == TableFormat::LastPriceTraded) {
      if (rows_ == batch)
        return;
      write_common(runner, 1);
      put(runner.last_price_traded, columns_[5], 1);
      ++rows_;
      continue;
    }
    for (; side_ < 2; ++side_, level_ = 0) {
      std::span<const LadderEntry> levels = side_levels(runner, side_);
      if (options_.levels && levels.size() > *options_.levels)
        levels = levels.first(*options_.levels);
      while (level_ < levels.size()) {
        if (rows_ == batch)
          return;
        size_t rows = std::min(levels.size() - level_, batch - rows_);
        write_rows(runner, levels.subspan(level_, rows), int8_t(side_), level_);
        level_ += rows;
      }
    }
    side_ = 0;
  }
  ++book_;
  runner_ = 0;
}

bool PricesRows::next_batch(ArrowArray *out) {
  while (rows_ < options_.batch_rows) {
    if (book_ == changed_.size() && !next_book())
      break;
    if (!passes(state(changed_[book_]))) {
      ++book_;
      continue;
    }
    write_book();
  }
  if (rows_ == 0)
    return false;
  static const std::string kSides[] = {"Back", "Lay"};
  std::vector<ArrowArray> arrays(columns_.size());
  struct ReleaseLeft { // the columns finished so far, should a later one fail
    std::vector<ArrowArray> &arrays;
    ~ReleaseLeft() {
      for (ArrowArray &array : arrays)
        if (array.release != nullptr)
          array.release(&array);
    }
  } release_left{arrays};
  for (size_t i = 0; i < columns_.size(); ++i) {
    std::span<const std::string> dictionary;
    if (columns_[i].type() == ColumnType::MarketDictionary)
      dictionary = market_ids_;
    else if (columns_[i].type() == ColumnType::SideDictionary)
      dictionary = kSides;
    columns_[i].finish(&arrays[i], dictionary);
  }
  export_batch(arrays, int64_t(rows_), out);
  rows_ = 0;
  return true;
}

} // namespace pelarune
