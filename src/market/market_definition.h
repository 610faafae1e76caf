// The market's values as the market state holds them, and one entry of its definition's runner
// list, declared from the tables of record_fields.h. The Python records inherit these types.
// This file stays free of Python.
#pragma once

#include "market/record_fields.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Expands its arguments for a row of the given store only.
#define PELARUNE_ONLY_status(...) __VA_ARGS__
#define PELARUNE_ONLY_book(...)
#define PELARUNE_SKIP_status(...)
#define PELARUNE_SKIP_book(...) __VA_ARGS__

#define PELARUNE_DECLARE_STATUS(store, name, type, init, ...)                                      \
  PELARUNE_ONLY_##store(type name = init;)
#define PELARUNE_DECLARE_BOOK(store, name, type, init, ...) PELARUNE_SKIP_##store(type name = init;)
#define PELARUNE_DECLARE(name, type, init, ...) type name = init;

namespace pelarune {

// The market values that a book and its definition both show. number_of_active_runners is
// counted from the runners.
struct MarketStatusData {
  PELARUNE_BOOK_FIELDS(PELARUNE_DECLARE_STATUS)
};

// The values the market state keeps for the book alone.
struct MarketBookData {
  PELARUNE_BOOK_FIELDS(PELARUNE_DECLARE_BOOK)
};

// A definition object copies these values as they stand when it is built, and keeps them until
// the next definition.
struct MarketDefinitionData : MarketStatusData {
  PELARUNE_DEFINITION_FIELDS(PELARUNE_DECLARE)
};

// One entry of the last definition's "runners" array, as given.
struct RunnerDefinitionData {
  PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_DECLARE)
};

} // namespace pelarune
