// The initialisation of pelarune_flumine's native part, its functions, and the LoadedFile class.
#include "flumine/module.h"

#include "binding/arguments.h"
#include "binding/convert.h"
#include "binding/entry.h"
#include "flumine/analytics.h"
#include "flumine/replay.h"
#include "market/market_state.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pelarune {
namespace {

PyMemberDef loaded_file_members[] = {
    PELARUNE_MEMBER(LoadedFileRecord, path),
    PELARUNE_MEMBER(LoadedFileRecord, markets),
    {},
};

// (market id, event id or None) of each market the records' changes name, in the order first
// met; the event is the first definition's "eventId" that names one.
Result<PyRef> market_list(const MessageStore &records) {
  std::vector<std::pair<std::string_view, std::optional<std::string>>> found;
  std::unordered_map<std::string_view, size_t> index;
  for (const StreamMessage &message : records) {
    if (!message.market_changes.is_array())
      continue;
    for (JsonValue change : message.market_changes.array()) {
      std::optional<std::string_view> id = named_market(change);
      if (!id)
        continue;
      auto [it, inserted] = index.try_emplace(*id, found.size());
      if (inserted)
        found.emplace_back(*id, std::nullopt);
      auto &event = found[it->second].second;
      if (!event)
        event = definition_ids(change).event_id;
    }
  }
  return new_list(found, [](const auto &market) {
    PyRef id = to_python(market.first);
    PyRef event = market.second ? to_python(*market.second) : none();
    return created(PyTuple_Pack(2, id.get(), event.get()));
  });
}

// markets(path): the market list of the file.
PyObject *markets_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    static constexpr const char *kParameters[] = {"path"};
    PyObject *bound[1];
    PELARUNE_CHECK_OK(bind_arguments("markets", kParameters, args, nargs, kwnames, bound));
    PELARUNE_TRY(MessageStore records, load_file(bound[0], BadLines::Skip));
    return market_list(records);
  });
}

// load(path): a LoadedFile holding the file's records and its market list, for a pre-scan whose
// replay then reads the file no second time; lines that are not JSON warn at the replay.
PyObject *load_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    static constexpr const char *kParameters[] = {"path"};
    PyObject *bound[1];
    PELARUNE_CHECK_OK(bind_arguments("load", kParameters, args, nargs, kwnames, bound));
    PELARUNE_TRY(std::string_view path, extract_str(bound[0], "path"));
    LoadedFileRecord record;
    PELARUNE_TRY(record.records, load_file_skipping(path, record.skipped));
    record.path = PyRef::borrow(bound[0]);
    PELARUNE_TRY(record.markets, market_list(record.records));
    return create_instance(std::move(record));
  });
}

PyMethodDef functions[] = {
    {"replay", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&replay_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "replay(path, inplay, not_inplay, seconds_to_start, max_inplay_seconds, event_type_ids, "
     "unique_id, price_ladder_class, strip_datetime)\n--\n\nflumine's historical stream over every "
     "market of the file (a path or a LoadedFile): an iterator of lists of MarketBook."},
    {"markets", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&markets_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "markets(path)\n--\n\n(market id, event id or None) of each market the file's changes name, "
     "in the order first met."},
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&load_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "load(path)\n--\n\nThe file loaded once: a LoadedFile whose markets are markets(path), "
     "which replay() takes in place of the path, once."},
    {"update_analytics",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&update_analytics_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "update_analytics(market_analytics, runners, analytics_class, memo)\n--\n\nflumine's "
     "RunnerAnalytics updated for each active runner; returns the removed runners. memo is the "
     "caller's list for the market, [runner, analytics, ...] as the last call left it."},
    {},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelarune_flumine._replay",
    "",
    0,
    functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
PyObject *cached_module = nullptr; // never released

} // namespace

Result<MessageStore> load_or_take(PyObject *file, BadLines bad_lines) {
  if (!Py_IS_TYPE(file, class_object<LoadedFileRecord>()))
    return load_file(file, bad_lines);
  LoadedFileRecord &loaded = reinterpret_cast<Instance<LoadedFileRecord> *>(file)->record;
  if (loaded.taken)
    return Error(PyExc_ValueError, "this LoadedFile was replayed already: load the file again");
  PELARUNE_TRY(std::string_view path, extract_str(loaded.path.get(), "path"));
  PELARUNE_CHECK_OK(warn_if_skipped(path, loaded.skipped, bad_lines));
  loaded.taken = true;
  return std::move(loaded.records);
}

template <> PyTypeObject *class_object<LoadedFileRecord>() {
  static PyTypeObject *type = make_class<LoadedFileRecord>(
      "A stream file loaded once for the pre-scan (markets) and the replay", loaded_file_members,
      nullptr, nullptr);
  return type;
}

} // namespace pelarune

PyMODINIT_FUNC PyInit__replay() {
  using namespace pelarune;
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> {
    PELARUNE_CHECK_OK(check_interpreter("pelarune_flumine"));
    if (cached_module != nullptr)
      return PyRef::borrow(cached_module);
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module)
      return Error::take_current();
    auto *type = reinterpret_cast<PyObject *>(class_object<FlumineReplayRecord>());
    auto *loaded = reinterpret_cast<PyObject *>(class_object<LoadedFileRecord>());
    if (PyModule_AddObjectRef(module.get(), "FlumineReplay", type) < 0 ||
        PyModule_AddObjectRef(module.get(), "LoadedFile", loaded) < 0)
      return Error::take_current();
    cached_module = module.clone().release();
    return module;
  });
}
