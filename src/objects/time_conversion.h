// Publish times and definition times as naive UTC datetimes, made by the interpreter's own
// datetime module, imported afresh at every call so a replaced module takes effect at once.
#pragma once

#include "binding/result.h"
#include "market/civil_time.h"
#include "market/raw_value.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pelarune {

// datetime.datetime.utcfromtimestamp(epoch_ms / 1000.0).
Result<PyRef> epoch_millis_to_datetime(int64_t epoch_ms);

// The same datetime, made through the datetime C API without importing at each call: flumine's
// replay makes one per book it hands out.
Result<PyRef> epoch_millis_to_naive_datetime(int64_t epoch_ms);

// A naive datetime of the time's fields, through the datetime C API.
Result<PyRef> naive_datetime(const CivilTime &time);

// None for a value that is not a text (the plain replay keeps texts only; nothing is imported);
// otherwise strptime with fractional seconds, then without them. Only the second attempt's error
// is reported.
Result<PyRef> parse_definition_time(const RawValue &given);

} // namespace pelarune
