// flumine's historical stream as a Python iterator: a list of books for every record flumine's
// stream would hand out, built only then.
#pragma once

#include "binding/class_object.h"
#include "market/flumine_markets.h"
#include "input/message_store.h"

#include <cstdint>
#include <optional>

namespace pelarune {

// Market times for the filters through betfairlightweight's strip_datetime; the first error it
// raises is kept for the replay to report.
class StripDatetimeReader final : public TimeReader {
public:
  std::optional<int64_t> epoch_microseconds(const RawValue &given) override;

  PyRef strip_datetime;
  std::optional<Error> error;
};

struct FlumineReplayRecord {
  static constexpr const char *kName = "FlumineReplay";
  static constexpr const char *kModule = "pelarune_flumine";
  static constexpr bool kGuarded = true;

  MessageStore records;
  size_t cursor = 0;
  FlumineMarkets markets;
  std::optional<int32_t> unique_id;
  PyRef price_ladder_class;  // betfairlightweight's PriceLadderDescription
  StripDatetimeReader times; // holds betfairlightweight's BaseResource.strip_datetime
};

// The companion module's functions: replay(...), markets(path) and update_analytics(...).
extern PyMethodDef flumine_replay_functions[];

// update_analytics(market_analytics, runners, analytics_class), in analytics.cpp.
PyObject *update_analytics_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) noexcept;

} // namespace pelarune
