// flumine's historical stream as a Python iterator: a list of books for every record flumine's
// stream would hand out, built only then.
#pragma once

#include "binding/class_object.h"
#include "input/message_store.h"
#include "market/flumine_markets.h"

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

template <> PyTypeObject *class_object<FlumineReplayRecord>();

// replay(path, inplay, not_inplay, seconds_to_start, max_inplay_seconds, event_type_ids,
// unique_id, price_ladder_class, strip_datetime): a FlumineReplay of the file (a path or a
// LoadedFile).
PyObject *replay_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) noexcept;

} // namespace pelarune
