// Assembles a MarketBook from the market state, handing out again every cached Runner, price
// list and MarketDefinition whose counter did not move since it was built.
#pragma once

#include "binding/result.h"
#include "market/market_state.h"

#include <cstdint>
#include <optional>

namespace pelarune {

// How books are read from the market state: the defaults are pelarune's own books; flumine's
// stream reads them as betfairlightweight does. A market is read one way all its life, since its
// cached objects are built that way.
struct BookReading {
  enum class RunnerOrder : uint8_t {
    Sorted, // by (selection id, handicap)
    AsMet,  // in the order the market met them
  };
  enum class PublishTime : uint8_t {
    UtcFromTimestamp, // datetime.utcfromtimestamp at Python level, which a patched datetime sees
    CApi,             // through the datetime C API
  };

  RunnerOrder runner_order = RunnerOrder::Sorted;
  // A side whose full-depth ladder is empty shows the best display offers, else the best offers.
  bool best_offers = false;
  // Reads a definition time not in the exchange's own form (betfairlightweight's
  // strip_datetime); none: datetime.strptime reads texts, anything else is None.
  PyObject *strip_datetime = nullptr;
  PublishTime publish_time = PublishTime::UtcFromTimestamp;
  // numberOfActiveRunners as the definition gives it, where it does, in place of the count of
  // active runners.
  bool active_count_from_definition = false;
  // Given, the definition shows its line fields and a price_ladder_definition made by this class
  // from the ladder's type; none: all four are None.
  PyObject *price_ladder_class = nullptr;
  std::optional<int32_t> unique_id; // the book's streaming_unique_id
};

// On a Python error the objects built so far stay cached; a definition that failed does not.
Result<PyRef> build_book(MarketState &market, const BookReading &reading = {});

} // namespace pelarune
