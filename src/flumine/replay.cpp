// The FlumineReplay class and replay(), which makes one. Each record goes through
// flumine 3.3's FlumineMarketStream._process, in its order and arithmetic, and yields what
// FlumineHistoricalGeneratorStream._read_loop yields: when the record's last change that names a
// market leaves that market active, a book of every active market, in the order first met.
#include "flumine/replay.h"

#include "binding/arguments.h"
#include "binding/convert.h"
#include "flumine/module.h"
#include "objects/build_book.h"
#include "objects/time_conversion.h"

#include <climits>
#include <string_view>

namespace pelarune {
namespace {

using Replay = Instance<FlumineReplayRecord>;

// Books as betfairlightweight builds them for flumine's stream.
BookReading flumine_reading(const FlumineReplayRecord &replay) noexcept {
  return {
      .runner_order = BookReading::RunnerOrder::AsMet,
      .best_offers = true,
      .strip_datetime = replay.times.strip_datetime.get(),
      .publish_time = BookReading::PublishTime::CApi,
      .active_count_from_definition = true,
      .price_ladder_class = replay.price_ladder_class.get(),
      .unique_id = replay.unique_id,
  };
}

Result<PyRef> active_books(FlumineReplayRecord &replay) {
  PyRef books = created(PyList_New(0));
  BookReading reading = flumine_reading(replay);
  for (FlumineMarket &market : replay.markets.markets) {
    if (!market.active || !market.state)
      continue;
    PELARUNE_TRY(PyRef book, build_book(*market.state, reading));
    if (PyList_Append(books.get(), book.get()) < 0)
      return Error::take_current();
  }
  return books;
}

PyObject *flumine_replay_iter(PyObject *self) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Replay * replay, receiver<FlumineReplayRecord>(self));
    PELARUNE_TRY(auto access, SharedAccess::take(*replay));
    return PyRef::borrow(self);
  });
}

PyObject *flumine_replay_next(PyObject *self) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Replay * replay, receiver<FlumineReplayRecord>(self));
    PELARUNE_TRY(auto access, ExclusiveAccess::take(*replay));
    FlumineReplayRecord &record = replay->record;
    record.markets.time_reader = &record.times; // the record may have moved since the last call
    while (record.cursor < record.records.size()) {
      const StreamMessage &message = record.records[record.cursor++];
      PELARUNE_CHECK(message.market_changes.is_array(), "a record's changes are not an array");
      bool yields =
          record.markets.apply_record(message.market_changes.array(), message.publish_time_epoch);
      if (record.times.error)
        return *std::exchange(record.times.error, std::nullopt);
      if (yields)
        return active_books(record);
    }
    return PyRef(); // end of iteration
  });
}

Result<std::optional<double>> optional_number(PyObject *value) {
  if (value == Py_None)
    return std::optional<double>();
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred())
    return Error::take_current();
  return std::optional<double>(number);
}

} // namespace

std::optional<int64_t> StripDatetimeReader::epoch_microseconds(const RawValue &given) {
  if (error)
    return std::nullopt;
  Result<PyRef> time = flumine_definition_time(given, strip_datetime.get());
  if (!time) {
    error = std::move(time).error();
    return std::nullopt;
  }
  Result<std::optional<int64_t>> epoch_us = datetime_epoch_microseconds(time->get());
  if (!epoch_us) {
    error = std::move(epoch_us).error();
    return std::nullopt;
  }
  return *epoch_us;
}

// The companion normalises flumine's listener options into replay()'s arguments, and gives
// betfairlightweight's class for a definition's price ladder and its reader of definition times.
PyObject *replay_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    static constexpr const char *kParameters[] = {"path",
                                                  "inplay",
                                                  "not_inplay",
                                                  "seconds_to_start",
                                                  "max_inplay_seconds",
                                                  "event_type_ids",
                                                  "unique_id",
                                                  "price_ladder_class",
                                                  "strip_datetime"};
    PyObject *bound[9];
    PELARUNE_CHECK_OK(bind_arguments("replay", kParameters, args, nargs, kwnames, bound));
    FlumineReplayRecord record;
    int in_play_only = PyObject_IsTrue(bound[1]);
    int not_in_play = PyObject_IsTrue(bound[2]);
    if (in_play_only < 0 || not_in_play < 0)
      return Error::take_current();
    record.markets.filters.in_play_only = in_play_only;
    record.markets.filters.not_in_play = not_in_play;
    PELARUNE_TRY(record.markets.filters.seconds_to_start, optional_number(bound[3]));
    PELARUNE_TRY(record.markets.filters.max_inplay_seconds, optional_number(bound[4]));
    if (bound[5] != Py_None) {
      if (!PyList_Check(bound[5]))
        return conversion_error(bound[5], "PyList");
      auto &ids = record.markets.filters.event_type_ids.emplace();
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bound[5]); ++i) {
        PELARUNE_TRY(std::string_view id,
                     extract_str(PyList_GET_ITEM(bound[5], i), "event_type_ids"));
        ids.emplace_back(id);
      }
    }
    if (bound[6] != Py_None) {
      long id = PyLong_AsLong(bound[6]);
      if (id == -1 && PyErr_Occurred())
        return Error::take_current();
      if (id < INT32_MIN || id > INT32_MAX)
        return Error(PyExc_OverflowError, "unique_id out of range");
      record.unique_id = int32_t(id);
    }
    if (!PyCallable_Check(bound[7]))
      return conversion_error(bound[7], "callable");
    record.price_ladder_class = PyRef::borrow(bound[7]);
    if (!PyCallable_Check(bound[8]))
      return conversion_error(bound[8], "callable");
    record.times.strip_datetime = PyRef::borrow(bound[8]);
    PELARUNE_TRY(record.records, load_or_take(bound[0], BadLines::Warn));
    return create_instance(std::move(record));
  });
}

template <> PyTypeObject *class_object<FlumineReplayRecord>() {
  static PyTypeObject *type = make_class<FlumineReplayRecord>(
      "flumine's historical stream over every market of a file", nullptr, nullptr, nullptr,
      {
          {Py_tp_iter, reinterpret_cast<void *>(&flumine_replay_iter)},
          {Py_tp_iternext, reinterpret_cast<void *>(&flumine_replay_next)},
      });
  return type;
}

} // namespace pelarune
