// Book assembly with object reuse: the cache slots of the market state hold the Python objects,
// each with the counter it was built at, and are compared against the counters now.
#include "objects/build_book.h"

#include "binding/convert.h"
#include "objects/classes.h"
#include "objects/time_conversion.h"

#include <type_traits>

namespace pelarune {

// A slot holds a reference of its own to a Python object.
void release_cached_object(CachedObject *object) noexcept {
  Py_DECREF(reinterpret_cast<PyObject *>(object));
}

namespace {

// Caches a new reference to `object` in `slot` as built at `counter`.
void cache(ObjectSlot &slot, const PyRef &object, uint64_t counter) noexcept {
  slot.set(reinterpret_cast<CachedObject *>(object.clone().release()), counter); // steals
}

// The slot's object if it was built at `counter`, borrowed; else nullptr.
PyObject *cached(const ObjectSlot &slot, uint64_t counter) noexcept {
  return reinterpret_cast<PyObject *>(slot.get_if_built_at(counter));
}

// The ladder's PriceSize list: the cached one while the ladder's counter stands still.
Result<PyRef> ladder_list(const PriceLadder &ladder, ObjectSlot &slot) {
  if (PyObject *list = cached(slot, ladder.change_counter()))
    return PyRef::borrow(list);
  PELARUNE_TRY(PyRef list, price_size_list(ladder.snapshot()));
  cache(slot, list, ladder.change_counter());
  return list;
}

// A field as a record keeps it: the status as a str, made once; the others as they are.
template <class Kept, class T> Kept kept_as(const T &value) {
  if constexpr (std::is_same_v<Kept, PyRef>)
    return to_python(value);
  else
    return value;
}

RunnerRecordFields record_fields(const RunnerState &runner) {
  RunnerRecordFields fields;
#define PELARUNE_COPY(name, state_type, record_type, ...)                                          \
  fields.name = kept_as<record_type>(runner.name);
  PELARUNE_RUNNER_FIELDS(PELARUNE_COPY)
#undef PELARUNE_COPY
  return fields;
}

// betfairlightweight's available prices on a side whose full-depth ladder is empty: the best
// display offers, else the best offers. Built anew with the Runner: such recordings are rare.
Result<PyRef> best_offers_list(const PriceLadder &full, const PositionLadder &display,
                               const PositionLadder &best) {
  if (!full.empty() || (display.empty() && best.empty()))
    return PyRef();
  return price_size_list(display.empty() ? best.snapshot() : display.snapshot());
}

template <bool BestOffers> [[gnu::noinline]] Result<PyRef> build_runner(RunnerState &runner) {
  PyRef atb, atl;
  if constexpr (BestOffers) {
    if (const auto *offers = runner.best_offers.get()) {
      PELARUNE_TRY(atb, best_offers_list(runner.atb, offers->bdatb, offers->batb));
      PELARUNE_TRY(atl, best_offers_list(runner.atl, offers->bdatl, offers->batl));
    }
  }
  if (!atb) {
    PELARUNE_TRY(atb, ladder_list(runner.atb, runner.cached_atb));
  }
  if (!atl) {
    PELARUNE_TRY(atl, ladder_list(runner.atl, runner.cached_atl));
  }
  PELARUNE_TRY(PyRef trd, ladder_list(runner.trd, runner.cached_trd));
  PELARUNE_TRY(PyRef ex, create_instance(ExchangePricesRecord{
                             .available_to_back = std::move(atb),
                             .available_to_lay = std::move(atl),
                             .traded_volume = std::move(trd),
                         }));
  RunnerRecordFields fields = record_fields(runner);
  PELARUNE_TRY(PyRef object, create_instance_with<RunnerRecord>([&] {
                 return RunnerRecord{
                     std::move(fields),
                     StartingPriceData{
                         .back_stake_taken = runner.spl.shared_snapshot(),
                         .lay_liability_taken = runner.spb.shared_snapshot(),
                         .near_price = runner.near_price,
                         .far_price = runner.far_price,
                         .actual_sp = runner.actual_sp,
                     },
                     std::move(ex),
                 };
               }));
  cache(runner.cached_runner, object, runner.change_counter);
  return object;
}

// The book's runner list: each runner's cached Runner while its counter stands still, which is
// most of them in most books, so that case takes no Result.
template <bool BestOffers> Result<PyRef> runners_of(const std::vector<RunnerState *> &runners) {
  PyRef list = created(PyList_New(Py_ssize_t(runners.size())));
  for (size_t i = 0; i < runners.size(); ++i) {
    RunnerState &runner = *runners[i];
    PyRef object = PyRef::borrow(cached(runner.cached_runner, runner.change_counter));
    if (!object) [[unlikely]] {
      PELARUNE_TRY(object, build_runner<BestOffers>(runner));
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), object.release()); // steals
  }
  return list;
}

[[gnu::noinline]] Result<PyRef> build_definition(MarketState &market) {
  DefinitionParts parts;
  parts.values = market.definition;
  const MarketDefinitionData &definition = market.definition;
  PELARUNE_TRY(parts.market_time, parse_definition_time(definition.market_time_raw));
  PELARUNE_TRY(parts.open_date, parse_definition_time(definition.open_date_raw));
  PELARUNE_TRY(parts.suspend_time, parse_definition_time(definition.suspend_time_raw));
  PELARUNE_TRY(parts.settled_time, parse_definition_time(definition.settled_time_raw));
  return cache_definition(market, std::move(parts));
}

// The MarketDefinition while no new definition arrived; None before the first one.
Result<PyRef> definition_object(MarketState &market) {
  if (market.definition_generation == 0)
    return none();
  if (PyObject *definition = cached_definition(market))
    return PyRef::borrow(definition);
  return build_definition(market);
}

} // namespace

template <bool BestOffers> Result<PyRef> runner_list(const std::vector<RunnerState *> &runners) {
  return runners_of<BestOffers>(runners);
}
template Result<PyRef> runner_list<false>(const std::vector<RunnerState *> &);
template Result<PyRef> runner_list<true>(const std::vector<RunnerState *> &);

PyObject *cached_definition(const MarketState &market) noexcept {
  return cached(market.cached_definition, market.definition_generation);
}

Result<PyRef> cache_definition(MarketState &market, DefinitionParts parts) {
  PELARUNE_TRY(PyRef runners, new_list(market.runner_definitions, [](const auto &entry) {
                 return create_instance(MarketDefinitionRunnerRecord{entry});
               }));
  // In declaration order: the copied values, then the objects made from them.
  PELARUNE_TRY(PyRef object, create_instance(MarketDefinitionRecord{
                                 std::move(parts.values),
                                 std::move(runners),
                                 std::move(parts.market_time),
                                 std::move(parts.open_date),
                                 std::move(parts.suspend_time),
                                 std::move(parts.settled_time),
                                 std::move(parts.line),
                             }));
  cache(market.cached_definition, object, market.definition_generation);
  return object;
}

Result<PyRef> build_book(MarketState &market) {
  PELARUNE_TRY(PyRef runners, runners_of<false>(market.sorted_runners()));
  PELARUNE_TRY(PyRef definition, definition_object(market));
  PELARUNE_TRY(PyRef publish_time, epoch_millis_to_datetime(market.publish_time_epoch));
  // In declaration order: the status values, the book's own, then the objects.
  return create_instance_with<MarketBookRecord>([&] {
    return MarketBookRecord{
        market.definition,
        static_cast<const MarketBookData &>(market),
        std::nullopt, // streaming_unique_id
        std::move(publish_time),
        std::move(runners),
        std::move(definition),
    };
  });
}

} // namespace pelarune
