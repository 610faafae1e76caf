// Book assembly with object reuse: the cache slots of the market state hold the Python objects,
// each with the counter it was built at, and are compared against the counters now.
#include "objects/build_book.h"

#include "binding/convert.h"
#include "market/flumine_markets.h"
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

template <bool ShowsBestOffers> [[gnu::noinline]] Result<PyRef> build_runner(RunnerState &runner) {
  PyRef atb, atl;
  if constexpr (ShowsBestOffers) {
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
template <bool ShowsBestOffers>
Result<PyRef> runners_of(const std::vector<RunnerState *> &runners) {
  PyRef list = created(PyList_New(Py_ssize_t(runners.size())));
  for (size_t i = 0; i < runners.size(); ++i) {
    RunnerState &runner = *runners[i];
    PyRef object = PyRef::borrow(cached(runner.cached_runner, runner.change_counter));
    if (!object) [[unlikely]] {
      PELARUNE_TRY(object, build_runner<ShowsBestOffers>(runner));
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), object.release()); // steals
  }
  return list;
}

Result<PyRef> runner_list(MarketState &market, const BookReading &reading) {
  const std::vector<RunnerState *> &runners =
      reading.runner_order == BookReading::RunnerOrder::Sorted ? market.sorted_runners()
                                                               : market.runners_in_met_order();
  return reading.best_offers ? runners_of<true>(runners) : runners_of<false>(runners);
}

// The definition's numberOfActiveRunners, when the reading takes it and the definition gives one.
std::optional<int32_t> definition_active_count(const MarketState &market,
                                               const BookReading &reading) noexcept {
  if (!reading.active_count_from_definition)
    return std::nullopt;
  return definition_count(market.definition.active_runners_raw);
}

struct DefinitionTimes {
  PyRef market_time, open_date, suspend_time, settled_time; // datetime objects, or None
};

Result<DefinitionTimes> definition_times(const MarketDefinitionData &definition,
                                         const BookReading &reading) {
  DefinitionTimes times;
  if (PyObject *strip = reading.strip_datetime) {
    PELARUNE_TRY(times.market_time, flumine_definition_time(definition.market_time_raw, strip));
    PELARUNE_TRY(times.open_date, flumine_definition_time(definition.open_date_raw, strip, true));
    PELARUNE_TRY(times.suspend_time, flumine_definition_time(definition.suspend_time_raw, strip));
    PELARUNE_TRY(times.settled_time, flumine_definition_time(definition.settled_time_raw, strip));
  } else {
    PELARUNE_TRY(times.market_time, parse_definition_time(definition.market_time_raw));
    PELARUNE_TRY(times.open_date, parse_definition_time(definition.open_date_raw));
    PELARUNE_TRY(times.suspend_time, parse_definition_time(definition.suspend_time_raw));
    PELARUNE_TRY(times.settled_time, parse_definition_time(definition.settled_time_raw));
  }
  return times;
}

[[gnu::noinline]] Result<PyRef> build_definition(MarketState &market, const BookReading &reading) {
  const MarketDefinitionData &definition = market.definition;
  PELARUNE_TRY(DefinitionTimes times, definition_times(definition, reading));
  PyRef price_ladder_definition = none();
  if (reading.price_ladder_class != nullptr && definition.price_ladder_type) {
    PyRef type = to_python(*definition.price_ladder_type);
    price_ladder_definition =
        PyRef::steal(PyObject_CallOneArg(reading.price_ladder_class, type.get()));
    if (!price_ladder_definition)
      return Error::take_current();
  }
  PELARUNE_TRY(PyRef runners, new_list(market.runner_definitions, [](const auto &entry) {
                 return create_instance(MarketDefinitionRunnerRecord{entry});
               }));
  MarketDefinitionData values = definition;
  if (std::optional<int32_t> count = definition_active_count(market, reading))
    values.number_of_active_runners = *count;
  // In declaration order: the copied values, then the objects made from them.
  PELARUNE_TRY(PyRef object, create_instance(MarketDefinitionRecord{
                                 std::move(values),
                                 std::move(runners),
                                 std::move(times.market_time),
                                 std::move(times.open_date),
                                 std::move(times.suspend_time),
                                 std::move(times.settled_time),
                                 std::move(price_ladder_definition),
                                 reading.price_ladder_class != nullptr,
                             }));
  cache(market.cached_definition, object, market.definition_generation);
  return object;
}

// The MarketDefinition while no new definition arrived; None before the first one.
Result<PyRef> definition_object(MarketState &market, const BookReading &reading) {
  if (market.definition_generation == 0)
    return none();
  if (PyObject *definition = cached(market.cached_definition, market.definition_generation))
    return PyRef::borrow(definition);
  return build_definition(market, reading);
}

Result<PyRef> publish_datetime(const MarketState &market, const BookReading &reading) {
  if (reading.publish_time == BookReading::PublishTime::CApi)
    return datetime_by_c_api(market.publish_time_epoch);
  return datetime_by_utcfromtimestamp(market.publish_time_epoch);
}

} // namespace

Result<PyRef> build_book(MarketState &market, const BookReading &reading) {
  PELARUNE_TRY(PyRef runners, runner_list(market, reading));
  PELARUNE_TRY(PyRef definition, definition_object(market, reading));
  PELARUNE_TRY(PyRef publish_time, publish_datetime(market, reading));
  std::optional<int32_t> active_count = definition_active_count(market, reading);
  // In declaration order: the status values, the book's own, then the objects.
  return create_instance_with<MarketBookRecord>([&] {
    MarketBookRecord record{
        market.definition,  static_cast<const MarketBookData &>(market),
        reading.unique_id,  std::move(publish_time),
        std::move(runners), std::move(definition),
    };
    if (active_count)
      record.number_of_active_runners = *active_count;
    return record;
  });
}

} // namespace pelarune
