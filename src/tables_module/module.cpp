// pelarune_tables' native part, which the companion loads from pelarune's own library: the
// prices table's source, whose methods hand out Arrow C streams and schemas in PyCapsules.
#include "binding/arguments.h"
#include "binding/class_object.h"
#include "binding/convert.h"
#include "objects/load_file.h"
#include "tables/prices_stream.h"

#include <climits>
#include <memory>

namespace pelarune {
namespace {

// A loaded file and the table's options; immutable, so each stream replays the same rows.
struct PricesSourceRecord {
  static constexpr const char *kName = "PricesSource";
  static constexpr const char *kModule = "pelarune_tables._native";
  static constexpr bool kGuarded = false;

  std::shared_ptr<const MessageStore> records;
  TableOptions options;
};

constexpr const char kStreamCapsule[] = "arrow_array_stream";
constexpr const char kSchemaCapsule[] = "arrow_schema";

// A structure of the C interface in a capsule that releases it, unless a consumer moved it out,
// and then frees it.
template <class Struct, const char *Name> void capsule_destructor(PyObject *capsule) noexcept {
  auto *value = static_cast<Struct *>(PyCapsule_GetPointer(capsule, Name));
  if (value == nullptr) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  if (value->release != nullptr)
    value->release(value);
  delete value;
}

template <class Struct, const char *Name, class Fill> Result<PyRef> capsule_of(Fill &&fill) {
  auto value = std::unique_ptr<Struct, void (*)(Struct *)>(new Struct{}, [](Struct *held) {
    if (held->release != nullptr)
      held->release(held);
    delete held;
  });
  fill(value.get());
  PyRef capsule = PyRef::steal(PyCapsule_New(value.get(), Name, &capsule_destructor<Struct, Name>));
  if (!capsule)
    return Error::take_current();
  value.release(); // the capsule's now
  return capsule;
}

PyObject *source_stream(PyObject *self, PyObject *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *source, receiver<PricesSourceRecord>(self));
    const PricesSourceRecord &record = source->record;
    return capsule_of<ArrowArrayStream, kStreamCapsule>(
        [&](ArrowArrayStream *out) { export_prices_stream(record.records, record.options, out); });
  });
}

PyObject *source_schema(PyObject *self, PyObject *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *source, receiver<PricesSourceRecord>(self));
    std::vector<ColumnSpec> columns = table_columns(source->record.options);
    return capsule_of<ArrowSchema, kSchemaCapsule>(
        [&](ArrowSchema *out) { export_schema(columns, out); });
  });
}

PyMethodDef source_methods[] = {
    {"stream", &source_stream, METH_NOARGS,
     "stream()\n--\n\nA new Arrow C stream of the rows, in an \"arrow_array_stream\" capsule."},
    {"schema", &source_schema, METH_NOARGS,
     "schema()\n--\n\nThe rows' Arrow C schema, in an \"arrow_schema\" capsule."},
    {},
};

Result<size_t> size_argument(PyObject *value, const char *name) {
  size_t number = PyLong_AsSize_t(value);
  if (number == size_t(-1) && PyErr_Occurred())
    return argument_error(name, Error::take_current());
  return number;
}

Result<bool> flag_argument(PyObject *value) {
  int truth = PyObject_IsTrue(value);
  if (truth < 0)
    return Error::take_current();
  return truth != 0;
}

Result<std::vector<std::string>> str_list(PyObject *value, const char *name) {
  if (!PyTuple_Check(value))
    return conversion_error(value, "tuple");
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
    PELARUNE_TRY(std::string_view text, extract_str(PyTuple_GET_ITEM(value, i), name));
    texts.emplace_back(text);
  }
  return texts;
}

// prices_table(path, full_ladder, levels, inplay_only, market_types, columns, batch_rows): the
// companion checks the arguments as its signature documents them before calling this, which
// loads the file.
PyObject *prices_table_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    static constexpr const char *kParameters[] = {
        "path", "full_ladder", "levels", "inplay_only", "market_types", "columns", "batch_rows"};
    PyObject *bound[7];
    PELARUNE_CHECK_OK(bind_arguments("prices_table", kParameters, args, nargs, kwnames, bound));
    PricesSourceRecord record;
    PELARUNE_TRY(bool full_ladder, flag_argument(bound[1]));
    record.options.format = full_ladder ? TableFormat::FullLadder : TableFormat::LastPriceTraded;
    if (bound[2] != Py_None) {
      PELARUNE_TRY(record.options.levels, size_argument(bound[2], "levels"));
      if (*record.options.levels == 0)
        return Error(PyExc_ValueError, "levels must be at least 1");
    }
    PELARUNE_TRY(record.options.inplay_only, flag_argument(bound[3]));
    if (bound[4] != Py_None) {
      PELARUNE_TRY(record.options.market_types, str_list(bound[4], "market_types"));
    }
    PELARUNE_TRY(record.options.columns, str_list(bound[5], "columns"));
    if (std::optional<std::string> unknown = unknown_column(record.options))
      return Error(PyExc_ValueError, "unknown column: " + *unknown);
    PELARUNE_TRY(record.options.batch_rows, size_argument(bound[6], "batch_rows"));
    if (record.options.batch_rows == 0 || record.options.batch_rows > size_t(INT32_MAX))
      return Error(PyExc_ValueError, "batch_rows must be from 1 to 2**31 - 1");
    PELARUNE_TRY(MessageStore records, load_file(bound[0], BadLines::Fail));
    record.records = std::make_shared<const MessageStore>(std::move(records));
    return create_instance(std::move(record));
  });
}

PyMethodDef module_functions[] = {
    {"prices_table",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&prices_table_function)),
     METH_FASTCALL | METH_KEYWORDS,
     "prices_table(path, full_ladder, levels, inplay_only, market_types, columns, batch_rows)\n--"
     "\n\nThe file loaded as a PricesSource."},
    {},
};

PyModuleDef tables_module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelarune_tables._native",
    "",
    0,
    module_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
PyObject *cached_tables_module = nullptr; // never released

} // namespace

template <> PyTypeObject *class_object<PricesSourceRecord>() {
  static PyTypeObject *type = make_class<PricesSourceRecord>(
      "A loaded file whose rows each stream replays", nullptr, nullptr, source_methods);
  return type;
}

} // namespace pelarune

PyMODINIT_FUNC PyInit__native() {
  using namespace pelarune;
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> {
    PELARUNE_CHECK_OK(check_interpreter("pelarune_tables"));
    if (cached_tables_module != nullptr)
      return PyRef::borrow(cached_tables_module);
    PyRef module = PyRef::steal(PyModule_Create2(&tables_module_definition, 1013));
    if (!module)
      return Error::take_current();
    std::span<const DefinitionColumn> columns = definition_columns();
    PyRef keys = created(PyTuple_New(Py_ssize_t(columns.size())));
    for (size_t i = 0; i < columns.size(); ++i)
      PyTuple_SET_ITEM(keys.get(), Py_ssize_t(i), to_python(columns[i].key).release()); // steals
    auto *type = reinterpret_cast<PyObject *>(class_object<PricesSourceRecord>());
    if (PyModule_AddObjectRef(module.get(), "PricesSource", type) < 0 ||
        PyModule_AddObjectRef(module.get(), "DEFINITION_KEYS", keys.get()) < 0)
      return Error::take_current();
    cached_tables_module = module.clone().release();
    return module;
  });
}
