// Publish times and definition times as naive UTC datetimes. pelarune's books make them through
// the interpreter's own datetime module, imported afresh at every call so a replaced module takes
// effect at once; flumine's through the datetime C API, imported once.
#pragma once

#include "binding/result.h"
#include "market/civil_time.h"
#include "market/raw_value.h"

#include <cstdint>
#include <optional>
#include <string>

namespace pelarune {

// datetime.datetime.utcfromtimestamp(publish_time_epoch / 1000.0), called at Python level: a
// patched datetime module or class sees every call.
Result<PyRef> datetime_by_utcfromtimestamp(int64_t publish_time_epoch);

// The same datetime, made through the datetime C API without importing at each call: flumine's
// replay makes one per book it hands out.
Result<PyRef> datetime_by_c_api(int64_t publish_time_epoch);

// A naive datetime of the time's fields, through the datetime C API.
Result<PyRef> naive_datetime(const CivilTime &time);

// A definition time as betfairlightweight's strip_datetime reads it, naive: the exchange's own
// form natively, any other value through `strip_datetime`; None where that gives none, and for
// an array or object, on which it raises. `truth_first`: None for a false value, as for openDate.
Result<PyRef> flumine_definition_time(const RawValue &given, PyObject *strip_datetime,
                                      bool truth_first = false);

// The datetime's epoch microseconds, its fields read as UTC; none for another object.
Result<std::optional<int64_t>> datetime_epoch_microseconds(PyObject *datetime);

// None for a value that is not a text (the plain replay keeps texts only; nothing is imported);
// otherwise strptime with fractional seconds, then without them. Only the second attempt's error
// is reported.
Result<PyRef> parse_definition_time(const RawValue &given);

} // namespace pelarune
