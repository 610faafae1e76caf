// Books as flumine's stream gives them: the engine's objects, with what betfairlightweight shows
// otherwise.
#include "flumine/book.h"

#include "binding/convert.h"
#include "market/civil_time.h"
#include "objects/build_book.h"
#include "objects/classes.h"
#include "objects/time_conversion.h"

#include <datetime.h>

namespace pelarune {
namespace {

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

// flumine's stream shows these of the latest definition; pelarune's books show None.
Result<MarketDefinitionRecord::LineFields> line_fields(const MarketDefinitionData &definition,
                                                       PyObject *price_ladder_class) {
  MarketDefinitionRecord::LineFields fields;
  if (definition.price_ladder_type) {
    PyRef type = to_python(*definition.price_ladder_type);
    fields.price_ladder_definition =
        PyRef::steal(PyObject_CallOneArg(price_ladder_class, type.get()));
    if (!fields.price_ladder_definition)
      return Error::take_current();
  }
  fields.line_max_unit = definition.line_max_unit;
  fields.line_min_unit = definition.line_min_unit;
  fields.line_interval = definition.line_interval;
  return fields;
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

namespace {

// A new definition as betfairlightweight reads it: its own count, and times by its reader.
[[gnu::noinline]] Result<PyRef> build_definition(MarketState &market,
                                                 const FlumineBookValues &values) {
  const MarketDefinitionData &definition = market.definition;
  DefinitionParts parts;
  parts.values = definition;
  if (std::optional<int32_t> count = definition_count(definition.active_runners_raw))
    parts.values.number_of_active_runners = *count;
  PyObject *strip = values.strip_datetime;
  PELARUNE_TRY(parts.market_time, flumine_definition_time(definition.market_time_raw, strip));
  PELARUNE_TRY(parts.open_date, flumine_definition_time(definition.open_date_raw, strip, true));
  PELARUNE_TRY(parts.suspend_time, flumine_definition_time(definition.suspend_time_raw, strip));
  PELARUNE_TRY(parts.settled_time, flumine_definition_time(definition.settled_time_raw, strip));
  PELARUNE_TRY(parts.line, line_fields(definition, values.price_ladder_class));
  return cache_definition(market, std::move(parts));
}

Result<PyRef> definition_object(MarketState &market, const FlumineBookValues &values) {
  if (market.definition_generation == 0)
    return none();
  if (PyObject *definition = cached_definition(market))
    return PyRef::borrow(definition);
  return build_definition(market, values);
}

} // namespace

Result<PyRef> build_flumine_book(MarketState &market, const FlumineBookValues &values) {
  PELARUNE_TRY(PyRef runners, runner_list<true>(market.runners_in_met_order()));
  PELARUNE_TRY(PyRef definition, definition_object(market, values));
  PELARUNE_TRY(PyRef publish_time, epoch_millis_to_naive_datetime(market.publish_time_epoch));
  MarketStatusData status = market.definition;
  if (std::optional<int32_t> count = definition_count(market.definition.active_runners_raw))
    status.number_of_active_runners = *count;
  return create_instance_with<MarketBookRecord>([&] {
    return MarketBookRecord{
        std::move(status),  static_cast<const MarketBookData &>(market),
        values.unique_id,   std::move(publish_time),
        std::move(runners), std::move(definition),
    };
  });
}

} // namespace pelarune
