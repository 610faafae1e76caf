// The fields of the records a book shows, each declared once: one X-macro table per record. The
// market side expands the columns it needs to declare the structs and read the keys; the objects
// side expands the same rows for the attributes and the to_dict keys. Adding a field is one row
// (and its line in the stub).
//
// Columns common to the tables:
//   name     the C++ field, and the Python attribute unless a column says otherwise
//   type     its C++ type; init its initial value
//   key      the stream key that sets it ("" when no key does), read by `rule`:
//              integer    an integer literal up to 2^63 - 1, or a negative one
//              integer32  the same, keeping the low 32 bits
//              float      any number; text a string; bool a boolean
//              text_list  an array, whose strings replace the list whole
//              none       not read from a key (the engine sets it, or the reading is written out)
//   surface  how Python reads it: member (the interpreter reads the field: a stored reference as
//            the same object, a number or flag as a new value), getter (a new value at each
//            read) or hidden
//   export   its to_dict key ("" when it has none)
// Keys are applied in row order, except where a table says otherwise.
//
// This file stays free of Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The book, which also holds the values that the book and its definition both show (store
// `status`: kept in MarketStatusData; store `book`: kept by the market state for the book alone).
// A status field is set by its change-level key after the definition's, so a change-level value
// wins. Extra columns: change_key and definition_key (the key at each level), attribute (the
// book's attribute), doc (its docstring, or nullptr), definition_export (the definition's
// to_dict key for a status field). The book's to_dict keys come in row order.
// clang-format off
#define PELARUNE_BOOK_FIELDS(X)                                                                                                                                                            \
  /*store   name                      type                    init    change_key       definition_key     rule       attribute                   surface  export                   doc      definition_export */ \
  X(book,   market_id,                std::string,            {},     "",              "",                none,      "market_id",                getter,  "marketId",              nullptr, "")                      \
  X(status, status,                   std::string,            "OPEN", "status",        "status",          text,      "status",                   getter,  "status",                nullptr, "status")                \
  X(status, bet_delay,                int32_t,                0,      "betDelay",      "betDelay",        integer32, "bet_delay",                member,  "betDelay",              nullptr, "betDelay")              \
  X(status, bsp_reconciled,           bool,                   false,  "bspReconciled", "bspReconciled",   bool,      "bsp_reconciled",           member,  "bspReconciled",         nullptr, "bspReconciled")         \
  X(status, complete,                 bool,                   true,   "complete",      "complete",        bool,      "complete",                 member,  "complete",              nullptr, "complete")              \
  X(status, cross_matching,           bool,                   true,   "crossMatching", "crossMatching",   bool,      "cross_matching",           member,  "crossMatching",         nullptr, "crossMatching")         \
  X(status, in_play,                  bool,                   false,  "inPlay",        "inPlay",          bool,      "inplay",                   member,  "inplay",                nullptr, "inPlay")                \
  X(status, number_of_active_runners, int32_t,                0,      "",              "",                none,      "number_of_active_runners", member,  "numberOfActiveRunners", nullptr, "numberOfActiveRunners") \
  X(book,   number_of_runners,        int32_t,                0,      "",              "",                none,      "number_of_runners",        member,  "numberOfRunners",       nullptr, "")                      \
  X(status, number_of_winners,        int32_t,                1,      "",              "numberOfWinners", integer32, "number_of_winners",        member,  "numberOfWinners",       nullptr, "numberOfWinners")       \
  X(status, runners_voidable,         bool,                   false,  "runnersVoidable", "runnersVoidable", bool,    "runners_voidable",         member,  "runnersVoidable",       nullptr, "runnersVoidable")       \
  X(book,   total_matched,            double,                 0.0,    "tv",            "",                float,     "total_matched",            member,  "totalMatched",          nullptr, "")                      \
  X(status, version,                  int64_t,                0,      "version",       "version",         integer,   "version",                  getter,  "version",               nullptr, "version")               \
  X(book,   last_match_time,          std::optional<int64_t>, {},     "lastMatchTime", "",                integer,   "last_match_time",          getter,  "lastMatchTime",         nullptr, "")                      \
  X(book,   publish_time_epoch,       int64_t,                0,      "",              "",                none,      "publish_time_epoch",       getter,  "publishTime",           "publish_time in epoch milliseconds (int, for flumine compatibility)", "")
// clang-format on

// The definition's own fields, copied into a definition object as they stand when it is built
// and kept until the next definition. The definition's "runners" and the datetimes made from
// the time texts are written out beside the table. Its keys are applied after the status values'
// (the book's table) and before its "runners"; its to_dict keys come in alphabetical order.
// clang-format off
#define PELARUNE_DEFINITION_FIELDS(X)                                                                                              \
  /*name                 type                                    init   key                   rule       surface export */         \
  X(event_id,             std::optional<std::string>,              {},    "eventId",            text,      getter, "eventId")        \
  X(event_type_id,        std::optional<std::string>,              {},    "eventTypeId",        text,      getter, "eventTypeId")    \
  X(event_name,           std::optional<std::string>,              {},    "eventName",          text,      getter, "eventName")      \
  X(market_type,          std::optional<std::string>,              {},    "marketType",         text,      getter, "marketType")     \
  X(market_time_text,     std::optional<std::string>,              {},    "marketTime",         text,      hidden, "marketTime")     \
  X(country_code,         std::optional<std::string>,              {},    "countryCode",        text,      getter, "countryCode")    \
  X(venue,                std::optional<std::string>,              {},    "venue",              text,      getter, "venue")          \
  X(race_type,            std::optional<std::string>,              {},    "raceType",           text,      getter, "")               \
  X(bsp_market,           bool,                                    false, "bspMarket",          bool,      member, "bspMarket")      \
  X(persistence_enabled,  bool,                                    true,  "persistenceEnabled", bool,      member, "persistenceEnabled") \
  X(each_way_divisor,     std::optional<double>,                   {},    "eachWayDivisor",     float,     getter, "")               \
  X(timezone,             std::optional<std::string>,              {},    "timezone",           text,      getter, "timezone")       \
  X(turn_in_play_enabled, bool,                                    false, "turnInPlayEnabled",  bool,      member, "turnInPlayEnabled") \
  X(betting_type,         std::optional<std::string>,              {},    "bettingType",        text,      getter, "bettingType")    \
  X(name,                 std::optional<std::string>,              {},    "name",               text,      getter, "name")           \
  X(discount_allowed,     bool,                                    false, "discountAllowed",    bool,      member, "discountAllowed") \
  X(market_base_rate,     double,                                  0.0,   "marketBaseRate",     float,     member, "marketBaseRate") \
  X(regulators,           std::vector<std::string>,                {},    "regulators",         text_list, getter, "regulators")     \
  X(bet_delay_models,     std::optional<std::vector<std::string>>, {},    "betDelayModels",     text_list, getter, "")               \
  X(open_date_text,       std::optional<std::string>,              {},    "openDate",           text,      hidden, "openDate")       \
  X(suspend_time_text,    std::optional<std::string>,              {},    "suspendTime",        text,      hidden, "suspendTime")    \
  X(settled_time_text,    std::optional<std::string>,              {},    "settledTime",        text,      hidden, "")
// clang-format on

// One entry of the last definition's "runners" array, as given: a record per entry, every field
// at its initial value until the entry's key sets it. Its to_dict keys come in row order, an
// `optional` one only when present (a plain double, the handicap, when not 0.0). The runner
// that an entry names is updated by code written out beside the table.
// clang-format off
#define PELARUNE_DEFINITION_RUNNER_FIELDS(X)                                                              \
  /*name              type                        init      key                 rule       surface export              exported */ \
  X(selection_id,      int64_t,                    0,        "id",               integer,   getter, "id",               always)   \
  X(sort_priority,     int32_t,                    0,        "sortPriority",     integer32, member, "sortPriority",     always)   \
  X(status,            std::string,                "ACTIVE", "status",           text,      getter, "status",           always)   \
  X(adjustment_factor, std::optional<double>,      {},       "adjustmentFactor", float,     getter, "adjustmentFactor", optional) \
  X(name,              std::optional<std::string>, {},       "name",             text,      getter, "name",             optional) \
  X(handicap,          double,                     0.0,      "hc",               float,     member, "hc",               optional) \
  X(removal_date,      std::optional<std::string>, {},       "removalDate",      text,      getter, "removalDate",      optional) \
  X(bsp,               std::optional<double>,      {},       "bsp",              float,     getter, "bsp",              optional)
// clang-format on

// A runner: the market state keeps it as state_type, and a Runner object copies it as
// record_type, which only the objects side expands (the status as a str made once, so every read
// returns the same object). A runner
// change sets a field unless its value is already the same, and then counts as a change of the
// runner. The identity (id, hc), the status (which moves the active count), the ladders and the
// starting prices are read by code written out beside the table; the Runner's "ex" and "sp"
// follow its to_dict keys, which come in row order.
// clang-format off
#define PELARUNE_RUNNER_FIELDS(X)                                                                                     \
  /*name              state_type                  record_type                 init      key                 rule  surface export */ \
  X(selection_id,      int64_t,                    int64_t,                    0,        "",                 none,  getter, "selectionId")      \
  X(handicap,          double,                     double,                     0.0,      "",                 none,  member, "handicap")         \
  X(status,            std::string,                PyRef,                      "ACTIVE", "",                 none,  member, "status")           \
  X(adjustment_factor, std::optional<double>,      std::optional<double>,      {},       "adjustmentFactor", float, getter, "adjustmentFactor") \
  X(last_price_traded, std::optional<double>,      std::optional<double>,      {},       "ltp",              float, getter, "lastPriceTraded")  \
  X(total_matched,     double,                     double,                     0.0,      "tv",               float, member, "totalMatched")     \
  X(removal_date,      std::optional<std::string>, std::optional<std::string>, {},       "removalDate",      text,  getter, "removalDate")
// clang-format on
