// The fields of the records a book shows, each declared once: one X-macro table per record. The
// market side expands the tables to declare the structs and read the keys; the objects side
// expands the same rows for the attributes and the to_dict keys. Adding a field is one row (and
// its line in the stub).
//
// A row is the field's declaration (its name, type and initial value, and in two tables where
// or as what it is kept), then its other columns by name: designated initializers of the
// table's column struct below, where each column is declared once with its default. A key is
// read by the rule its field's type calls for:
//   int64_t                   an integer literal up to 2^63 - 1, or a negative one
//   int32_t                   the same, keeping the low 32 bits
//   double                    any number
//   bool                      a boolean
//   std::string               a string
//   std::vector<std::string>  an array, whose strings replace the list whole
//   RawValue                  a string; under a definition that replaces the last one, any
//                             value, kept with its kind
// (all but int32_t and bool also as optionals, which the key makes present; a runner change
// reads only doubles and optional strings). Python reads a field as a member when the
// interpreter can read its type itself (a stored reference, as the same object; a double, flag
// or int32_t, as a new value), else through a getter that makes a new value at each read. Keys
// are applied in row order, except where a table says otherwise.
//
// This file stays free of Python.
#pragma once

#include "market/raw_value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pelarune {

// The book's columns. A status field (kept in MarketStatusData, `status` rows) is shown by the
// book and its definition; a `book` row is kept by the market state for the book alone.
struct BookColumns {
  std::string_view change_key = "";          // the change-level key that sets it
  std::string_view definition_key = "";      // the definition's key that sets it
  const char *attribute = nullptr;           // the book's attribute, when not the field's name
  std::string_view dict_key = "";            // the book's to_dict key
  std::string_view definition_dict_key = ""; // a status field's key in the definition's to_dict
  const char *doc = nullptr;                 // the attribute's docstring

  constexpr const char *attribute_or(const char *name) const {
    return attribute != nullptr ? attribute : name;
  }
};

struct DefinitionColumns {
  std::string_view key = "";      // the definition's key that sets it
  bool shared_key = false;        // another row reads the key too (a status row, before this one)
  std::string_view member = "";   // when given, this member of the key's object sets it instead
  bool hidden = false;            // no attribute of its own (shown otherwise, or by flumine's only)
  std::string_view dict_key = ""; // the definition's to_dict key
};

struct DefinitionRunnerColumns {
  std::string_view key = "";      // the entry's key that sets it
  std::string_view dict_key = ""; // the entry's to_dict key
  bool dict_if_present = false;   // written only when present (a plain double: when not 0.0)
};

struct RunnerColumns {
  std::string_view key = "";      // the runner change's key that sets it
  std::string_view dict_key = ""; // the runner's to_dict key
};

} // namespace pelarune

// A row's columns as a value, for the expansions: PELARUNE_BOOK_COLUMNS(__VA_ARGS__).dict_key.
#define PELARUNE_BOOK_COLUMNS(...) (::pelarune::BookColumns{__VA_ARGS__})
#define PELARUNE_DEFINITION_COLUMNS(...) (::pelarune::DefinitionColumns{__VA_ARGS__})
#define PELARUNE_DEFINITION_RUNNER_COLUMNS(...) (::pelarune::DefinitionRunnerColumns{__VA_ARGS__})
#define PELARUNE_RUNNER_COLUMNS(...) (::pelarune::RunnerColumns{__VA_ARGS__})

// The book, which also holds the values that the book and its definition both show: X(store,
// name, type, init, columns), store being `status` or `book`. A status field is set by its
// change-level key after the definition's, so a change-level value wins. The book's to_dict keys
// come in row order.
// clang-format off
#define PELARUNE_BOOK_FIELDS(X)                                                                    \
  X(book,   market_id,                std::string,            {},                                  \
    .dict_key = "marketId")                                                                        \
  X(status, status,                   std::string,            "OPEN",                              \
    .change_key = "status", .definition_key = "status",                                            \
    .dict_key = "status", .definition_dict_key = "status")                                         \
  X(status, bet_delay,                int32_t,                0,                                   \
    .change_key = "betDelay", .definition_key = "betDelay",                                        \
    .dict_key = "betDelay", .definition_dict_key = "betDelay")                                     \
  X(status, bsp_reconciled,           bool,                   false,                               \
    .change_key = "bspReconciled", .definition_key = "bspReconciled",                              \
    .dict_key = "bspReconciled", .definition_dict_key = "bspReconciled")                           \
  X(status, complete,                 bool,                   true,                                \
    .change_key = "complete", .definition_key = "complete",                                        \
    .dict_key = "complete", .definition_dict_key = "complete")                                     \
  X(status, cross_matching,           bool,                   true,                                \
    .change_key = "crossMatching", .definition_key = "crossMatching",                              \
    .dict_key = "crossMatching", .definition_dict_key = "crossMatching")                           \
  X(status, in_play,                  bool,                   false,                               \
    .change_key = "inPlay", .definition_key = "inPlay", .attribute = "inplay",                     \
    .dict_key = "inplay", .definition_dict_key = "inPlay")                                         \
  X(status, number_of_active_runners, int32_t,                0,                                   \
    .dict_key = "numberOfActiveRunners", .definition_dict_key = "numberOfActiveRunners")           \
  X(book,   number_of_runners,        int32_t,                0,                                   \
    .dict_key = "numberOfRunners")                                                                 \
  X(status, number_of_winners,        int32_t,                1,                                   \
    .definition_key = "numberOfWinners",                                                           \
    .dict_key = "numberOfWinners", .definition_dict_key = "numberOfWinners")                       \
  X(status, runners_voidable,         bool,                   false,                               \
    .change_key = "runnersVoidable", .definition_key = "runnersVoidable",                          \
    .dict_key = "runnersVoidable", .definition_dict_key = "runnersVoidable")                       \
  X(book,   total_matched,            double,                 0.0,                                 \
    .change_key = "tv",                                                                            \
    .dict_key = "totalMatched")                                                                    \
  X(status, version,                  int64_t,                0,                                   \
    .change_key = "version", .definition_key = "version",                                          \
    .dict_key = "version", .definition_dict_key = "version")                                       \
  X(book,   last_match_time,          std::optional<int64_t>, {},                                  \
    .change_key = "lastMatchTime",                                                                 \
    .dict_key = "lastMatchTime")                                                                   \
  X(book,   publish_time_epoch,       int64_t,                0,                                   \
    .dict_key = "publishTime",                                                                     \
    .doc = "publish_time in epoch milliseconds (int, for flumine compatibility)")
// clang-format on

// The definition's own fields, copied into a definition object as they stand when it is built
// and kept until the next definition. The last rows are what flumine's wing reads of a
// definition (its filters, the values only its books show), meaningful where a definition
// replaces the last one; a row its filters read keeps the raw kind flumine tests. The definition's
// "runners" and the datetimes made from the time texts are written out beside the table. Its keys
// are applied after the status values' (the book's table) and before its "runners"; its to_dict
// keys come in alphabetical order.
// clang-format off
#define PELARUNE_DEFINITION_FIELDS(X)                                                              \
  X(event_id,             std::optional<std::string>,              {},                             \
    .key = "eventId", .dict_key = "eventId")                                                       \
  X(event_type_id,        std::optional<std::string>,              {},                             \
    .key = "eventTypeId", .dict_key = "eventTypeId")                                               \
  X(event_name,           std::optional<std::string>,              {},                             \
    .key = "eventName", .dict_key = "eventName")                                                   \
  X(market_type,          std::optional<std::string>,              {},                             \
    .key = "marketType", .dict_key = "marketType")                                                 \
  X(market_time_raw,      RawValue,                                {},                             \
    .key = "marketTime", .hidden = true, .dict_key = "marketTime")                                 \
  X(country_code,         std::optional<std::string>,              {},                             \
    .key = "countryCode", .dict_key = "countryCode")                                               \
  X(venue,                std::optional<std::string>,              {},                             \
    .key = "venue", .dict_key = "venue")                                                           \
  X(race_type,            std::optional<std::string>,              {},                             \
    .key = "raceType")                                                                             \
  X(bsp_market,           bool,                                    false,                          \
    .key = "bspMarket", .dict_key = "bspMarket")                                                   \
  X(persistence_enabled,  bool,                                    true,                           \
    .key = "persistenceEnabled", .dict_key = "persistenceEnabled")                                 \
  X(each_way_divisor,     std::optional<double>,                   {},                             \
    .key = "eachWayDivisor")                                                                       \
  X(timezone,             std::optional<std::string>,              {},                             \
    .key = "timezone", .dict_key = "timezone")                                                     \
  X(turn_in_play_enabled, bool,                                    false,                          \
    .key = "turnInPlayEnabled", .dict_key = "turnInPlayEnabled")                                   \
  X(betting_type,         std::optional<std::string>,              {},                             \
    .key = "bettingType", .dict_key = "bettingType")                                               \
  X(name,                 std::optional<std::string>,              {},                             \
    .key = "name", .dict_key = "name")                                                             \
  X(discount_allowed,     bool,                                    false,                          \
    .key = "discountAllowed", .dict_key = "discountAllowed")                                       \
  X(market_base_rate,     double,                                  0.0,                            \
    .key = "marketBaseRate", .dict_key = "marketBaseRate")                                         \
  X(regulators,           std::vector<std::string>,                {},                             \
    .key = "regulators", .dict_key = "regulators")                                                 \
  X(bet_delay_models,     std::optional<std::vector<std::string>>, {},                             \
    .key = "betDelayModels")                                                                       \
  X(open_date_raw,        RawValue,                                {},                             \
    .key = "openDate", .hidden = true, .dict_key = "openDate")                                     \
  X(suspend_time_raw,     RawValue,                                {},                             \
    .key = "suspendTime", .hidden = true, .dict_key = "suspendTime")                               \
  X(settled_time_raw,     RawValue,                                {},                             \
    .key = "settledTime", .hidden = true)                                                          \
  X(status_raw,           RawValue,                                {},                             \
    .key = "status", .shared_key = true, .hidden = true)                                           \
  X(in_play_raw,          RawValue,                                {},                             \
    .key = "inPlay", .shared_key = true, .hidden = true)                                           \
  X(active_runners_raw,   RawValue,                                {},                             \
    .key = "numberOfActiveRunners", .hidden = true)                                                \
  X(price_ladder_type,    std::optional<std::string>,              {},                             \
    .key = "priceLadderDefinition", .member = "type", .hidden = true)                              \
  X(line_max_unit,        std::optional<double>,                   {},                             \
    .key = "lineMaxUnit", .hidden = true)                                                          \
  X(line_min_unit,        std::optional<double>,                   {},                             \
    .key = "lineMinUnit", .hidden = true)                                                          \
  X(line_interval,        std::optional<double>,                   {},                             \
    .key = "lineInterval", .hidden = true)
// clang-format on

// One entry of the last definition's "runners" array, as given: a record per entry, every field
// at its initial value until the entry's key sets it. Its to_dict keys come in row order. The
// runner that an entry names is updated by code written out beside the table.
// clang-format off
#define PELARUNE_DEFINITION_RUNNER_FIELDS(X)                                                       \
  X(selection_id,      int64_t,                    0,                                              \
    .key = "id", .dict_key = "id")                                                                 \
  X(sort_priority,     int32_t,                    0,                                              \
    .key = "sortPriority", .dict_key = "sortPriority")                                             \
  X(status,            std::string,                "ACTIVE",                                       \
    .key = "status", .dict_key = "status")                                                         \
  X(adjustment_factor, std::optional<double>,      {},                                             \
    .key = "adjustmentFactor", .dict_key = "adjustmentFactor", .dict_if_present = true)            \
  X(name,              std::optional<std::string>, {},                                             \
    .key = "name", .dict_key = "name", .dict_if_present = true)                                    \
  X(handicap,          double,                     0.0,                                            \
    .key = "hc", .dict_key = "hc", .dict_if_present = true)                                        \
  X(removal_date,      std::optional<std::string>, {},                                             \
    .key = "removalDate", .dict_key = "removalDate", .dict_if_present = true)                      \
  X(bsp,               std::optional<double>,      {},                                             \
    .key = "bsp", .dict_key = "bsp", .dict_if_present = true)
// clang-format on

// A runner: X(name, state_type, record_type, init, columns). The market state keeps it as
// state_type, and a Runner object copies it as record_type, which only the objects side expands
// (the status as a str made once, so every read returns the same object). A runner change sets
// a field unless its value is already the same, and then counts as a change of the runner. The
// identity (id, hc), the status (which moves the active count), the ladders and the starting
// prices are read by code written out beside the table; the Runner's "ex" and "sp" follow its
// to_dict keys, which come in row order.
// clang-format off
#define PELARUNE_RUNNER_FIELDS(X)                                                                  \
  X(selection_id,      int64_t,                    int64_t,                    0,                  \
    .dict_key = "selectionId")                                                                     \
  X(handicap,          double,                     double,                     0.0,                \
    .dict_key = "handicap")                                                                        \
  X(status,            std::string,                PyRef,                      "ACTIVE",           \
    .dict_key = "status")                                                                          \
  X(adjustment_factor, std::optional<double>,      std::optional<double>,      {},                 \
    .key = "adjustmentFactor", .dict_key = "adjustmentFactor")                                     \
  X(last_price_traded, std::optional<double>,      std::optional<double>,      {},                 \
    .key = "ltp", .dict_key = "lastPriceTraded")                                                   \
  X(total_matched,     double,                     double,                     0.0,                \
    .key = "tv", .dict_key = "totalMatched")                                                       \
  X(removal_date,      std::optional<std::string>, std::optional<std::string>, {},                 \
    .key = "removalDate", .dict_key = "removalDate")
// clang-format on
