// Book assembly with object reuse: the cache slots of the market state hold the Python objects,
// each with the counter it was built at, and are compared against the counters now.
#include "objects/build_book.h"

#include "binding/convert.h"
#include "objects/classes.h"
#include "objects/time_conversion.h"

#include <datetime.h>

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
template <bool BestOffers = false>
Result<PyRef> runner_list(const std::vector<RunnerState *> &runners) {
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

// flumine's stream shows these of the latest definition; pelarune's books show None.
Result<MarketDefinitionRecord::LineFields> line_fields(const FlumineBookValues *flumine) {
  MarketDefinitionRecord::LineFields fields;
  if (flumine == nullptr)
    return fields;
  const FlumineLineFields &line = flumine->line;
  if (line.price_ladder_type) {
    PyRef type = to_python(*line.price_ladder_type);
    fields.price_ladder_definition =
        PyRef::steal(PyObject_CallOneArg(flumine->price_ladder_class, type.get()));
    if (!fields.price_ladder_definition)
      return Error::take_current();
  }
  fields.line_max_unit = line.line_max_unit;
  fields.line_min_unit = line.line_min_unit;
  fields.line_interval = line.line_interval;
  return fields;
}

// The definition's datetimes: as pelarune reads them, or as flumine's books do.
struct DefinitionTimes {
  PyRef market_time, open_date, suspend_time, settled_time;
};

Result<DefinitionTimes> definition_times(const MarketDefinitionData &definition,
                                         const FlumineBookValues *flumine) {
  DefinitionTimes times;
  if (flumine == nullptr) {
    PELARUNE_TRY(times.market_time, parse_definition_time(definition.market_time_raw));
    PELARUNE_TRY(times.open_date, parse_definition_time(definition.open_date_raw));
    PELARUNE_TRY(times.suspend_time, parse_definition_time(definition.suspend_time_raw));
    PELARUNE_TRY(times.settled_time, parse_definition_time(definition.settled_time_raw));
    return times;
  }
  PyObject *strip = flumine->strip_datetime;
  PELARUNE_TRY(times.market_time, flumine_definition_time(definition.market_time_raw, strip));
  PELARUNE_TRY(times.open_date, flumine_definition_time(definition.open_date_raw, strip, true));
  PELARUNE_TRY(times.suspend_time, flumine_definition_time(definition.suspend_time_raw, strip));
  PELARUNE_TRY(times.settled_time, flumine_definition_time(definition.settled_time_raw, strip));
  return times;
}

[[gnu::noinline]] Result<PyRef> build_definition(MarketState &market,
                                                 const FlumineBookValues *flumine) {
  PELARUNE_TRY(PyRef runners, new_list(market.runner_definitions, [](const auto &entry) {
                 return create_instance(MarketDefinitionRunnerRecord{entry});
               }));
  MarketDefinitionData definition = market.definition;
  // flumine's definition shows its own count, as its book does.
  if (flumine != nullptr && flumine->active_runners)
    definition.number_of_active_runners = *flumine->active_runners;
  PELARUNE_TRY(DefinitionTimes times, definition_times(definition, flumine));
  PELARUNE_TRY(MarketDefinitionRecord::LineFields line, line_fields(flumine));
  // In declaration order: the copied values, then the objects made from them.
  PELARUNE_TRY(PyRef object, create_instance(MarketDefinitionRecord{
                                 definition,
                                 std::move(runners),
                                 std::move(times.market_time),
                                 std::move(times.open_date),
                                 std::move(times.suspend_time),
                                 std::move(times.settled_time),
                                 std::move(line),
                             }));
  cache(market.cached_definition, object, market.definition_generation);
  return object;
}

// The MarketDefinition while no new definition arrived; None before the first one.
Result<PyRef> definition_object(MarketState &market, const FlumineBookValues *flumine = nullptr) {
  if (market.definition_generation == 0)
    return none();
  if (PyObject *definition = cached(market.cached_definition, market.definition_generation))
    return PyRef::borrow(definition);
  return build_definition(market, flumine);
}

// Python's truth value of a JSON value; a missing one is None.
bool truthy(const RawValue &value) noexcept {
  switch (value.kind) {
  case RawValue::Kind::Absent:
  case RawValue::Kind::Null:
    return false;
  case RawValue::Kind::UInt:
    return value.uint != 0;
  case RawValue::Kind::NegInt:
    return true;
  case RawValue::Kind::Double:
    return value.number != 0.0;
  case RawValue::Kind::Text:
    return !value.text.empty();
  default:
    return value.non_empty;
  }
}

Status import_datetime_api() {
  if (PyDateTimeAPI == nullptr) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr)
      return Error::take_current();
  }
  return ok();
}

CivilTime civil_time_of(PyObject *time) noexcept {
  return {PyDateTime_GET_YEAR(time),
          PyDateTime_GET_MONTH(time),
          PyDateTime_GET_DAY(time),
          PyDateTime_DATE_GET_HOUR(time),
          PyDateTime_DATE_GET_MINUTE(time),
          PyDateTime_DATE_GET_SECOND(time),
          PyDateTime_DATE_GET_MICROSECOND(time)};
}

} // namespace

Result<PyRef> flumine_definition_time(const RawValue &given, PyObject *strip_datetime,
                                      bool truth_first) {
  if (given.is_text())
    if (std::optional<CivilTime> time = parse_exchange_time(given.text))
      return naive_datetime(*time);
  if (given.kind == RawValue::Kind::Absent || given.kind == RawValue::Kind::Array ||
      given.kind == RawValue::Kind::Object || (truth_first && !truthy(given)))
    return none();
  PyRef value = to_python(given);
  PyRef parsed = PyRef::steal(PyObject_CallOneArg(strip_datetime, value.get()));
  if (!parsed)
    return Error::take_current();
  PELARUNE_CHECK_OK(import_datetime_api());
  if (!PyDateTime_Check(parsed.get()))
    return none();
  // betfairlightweight's times are UTC: the same fields, without the zone.
  return naive_datetime(civil_time_of(parsed.get()));
}

Result<std::optional<int64_t>> datetime_epoch_microseconds(PyObject *time) {
  PELARUNE_CHECK_OK(import_datetime_api());
  if (!PyDateTime_Check(time))
    return std::optional<int64_t>();
  return std::optional<int64_t>(epoch_microseconds(civil_time_of(time)));
}

Result<PyRef> build_book(MarketState &market) {
  PELARUNE_TRY(PyRef runners, runner_list(market.sorted_runners()));
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

Result<PyRef> build_flumine_book(MarketState &market, const FlumineBookValues &values) {
  PELARUNE_TRY(PyRef runners, runner_list<true>(market.runners_in_met_order()));
  PELARUNE_TRY(PyRef definition, definition_object(market, &values));
  PELARUNE_TRY(PyRef publish_time, epoch_millis_to_naive_datetime(market.publish_time_epoch));
  MarketStatusData status = market.definition;
  if (values.active_runners)
    status.number_of_active_runners = *values.active_runners;
  return create_instance_with<MarketBookRecord>([&] {
    return MarketBookRecord{
        std::move(status),  static_cast<const MarketBookData &>(market),
        values.unique_id,   std::move(publish_time),
        std::move(runners), std::move(definition),
    };
  });
}

} // namespace pelarune
