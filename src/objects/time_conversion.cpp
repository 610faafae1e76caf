// Time conversion through the interpreter's datetime module: every call finds the module and its
// class as the import statement and an attribute read would. The datetime C API, which flumine's
// books use, is imported once, here.
#include "objects/time_conversion.h"

#include "binding/convert.h"
#include "market/flumine_markets.h"
#include "objects/market_definition.h"

#include <datetime.h>

#include <cstring>
#include <utility>

namespace pelarune {
namespace {

// Interned, so that dictionaries and the type's method cache find it by identity; made once and
// kept for the life of the process, like the class objects.
PyObject *name(const char *text) {
  PyObject *interned = PyUnicode_InternFromString(text);
  if (interned == nullptr) [[unlikely]]
    api_call_failed();
  return interned;
}

// The datetime C API, imported at its first use and kept: the C API is not replaced with the
// module.
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

// Whether builtins.__import__ is still the interpreter's own function.
bool is_own_import(PyObject *import, PyObject *builtins) {
  if (!PyCFunction_Check(import))
    return false;
  PyObject *self = PyCFunction_GetSelf(import);
  return self != nullptr && PyModule_Check(self) && PyModule_GetDict(self) == builtins &&
         std::strcmp(reinterpret_cast<PyCFunctionObject *>(import)->m_ml->ml_name, "__import__") ==
             0;
}

// The class datetime.datetime. The module comes as the import statement brings it: through
// builtins.__import__ when a caller replaced it, else straight from the import machinery
// (sys.modules first, then the import hooks), which is what the statement does too and
// spares a call through __import__ per book.
Result<PyRef> walk_to_datetime_class(PyObject *builtins, bool &own_import, PyRef &module) {
  static PyObject *const datetime = name("datetime"); // both the module and its class
  static PyObject *const import_key = name("__import__");
  // A key of the caller's builtins can run Python code when compared, and what it raises, a
  // Ctrl-C included, is reported rather than dropped as PyDict_GetItem would.
  PyObject *import = PyDict_GetItemWithError(builtins, import_key); // borrowed
  if (import == nullptr && PyErr_Occurred())
    return Error::take_current();
  own_import = import != nullptr && is_own_import(import, builtins);
  module = PyRef::steal(
      own_import ? PyImport_ImportModuleLevelObject(datetime, nullptr, nullptr, nullptr, 0)
                 : PyImport_Import(datetime));
  if (!module)
    return Error::take_current();
  PyRef type = PyRef::steal(PyObject_GetAttr(module.get(), datetime));
  if (!type)
    return Error::take_current();
  return type;
}

// The class the last walk found, kept while a walk would find it again: through the
// interpreter's own import, a walk reads only the caller's builtins, sys.modules and a plain
// module's own dict, and a watcher on each of the three drops the class at any change to it.
// Replays with and without it, the builds taking turns, 24 rounds: 2.6% less CPU time on a
// generated 10-runner market, 3.7% on BASIC-1.132153978, 6% on a generated racing-like one
// (median ratios). Never destroyed: its references would be released at exit, when the
// interpreter may be gone.
struct FoundClass {
  PyRef builtins, modules, module, type; // held, so that the watched dicts outlive the watch
  int watcher = -2;                      // -2 before the first walk; -1 when none was free
  uint64_t changes = 0;                  // to the watched dicts
  bool current = false;
};
FoundClass &found_class() {
  static auto *found = new FoundClass;
  return *found;
}

int drop_found_class(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
  FoundClass &found = found_class();
  ++found.changes;
  found.current = false;
  return 0;
}

// Keeps the class when a walk would now find it again: read once the watches are in place, as
// the walk itself may have changed what it read (an import hook can replace __import__).
Status keep_found_class(PyObject *builtins, PyRef module, const PyRef &type) {
  static PyObject *const datetime = name("datetime");
  static PyObject *const import_key = name("__import__");
  FoundClass &found = found_class();
  if (found.watcher == -2) {
    found.watcher = PyDict_AddWatcher(drop_found_class);
    if (found.watcher < 0)
      PyErr_Clear(); // every slot taken: each call walks
  }
  if (found.watcher < 0 || !Py_IS_TYPE(module.get(), &PyModule_Type))
    return ok();
  PyObject *modules = PyImport_GetModuleDict();           // borrowed
  PyObject *module_dict = PyModule_GetDict(module.get()); // borrowed
  for (PyObject *dict : {builtins, modules, module_dict})
    if (PyDict_Watch(found.watcher, dict) < 0)
      return Error::take_current();
  uint64_t changes = found.changes;
  // Keys can run Python code when compared: what it raises is reported, never dropped.
  auto read = [](PyObject *dict, PyObject *key) -> Result<PyObject *> {
    PyObject *value = PyDict_GetItemWithError(dict, key); // borrowed
    if (value == nullptr && PyErr_Occurred())
      return Error::take_current();
    return value;
  };
  PELARUNE_TRY(PyObject * import, read(builtins, import_key));
  PELARUNE_TRY(PyObject * held, read(modules, datetime));
  PELARUNE_TRY(PyObject * attribute, read(module_dict, datetime));
  if (import == nullptr || !is_own_import(import, builtins) || held != module.get() ||
      attribute != type.get() || found.changes != changes)
    return ok();
  // The objects let go are released only after the class is marked current: releasing may run
  // code that changes a watched dict, which must then drop it again.
  PyRef released[] = {std::exchange(found.builtins, PyRef::borrow(builtins)),
                      std::exchange(found.modules, PyRef::borrow(modules)),
                      std::exchange(found.module, std::move(module)),
                      std::exchange(found.type, type.clone())};
  found.current = true;
  return ok();
}

Result<PyRef> datetime_class() {
  FoundClass &found = found_class();
  PyObject *builtins = PyEval_GetBuiltins(); // borrowed
  if (found.current && builtins == found.builtins.get() &&
      PyImport_GetModuleDict() == found.modules.get()) [[likely]]
    return found.type.clone();
  found.current = false;
  bool own_import = false;
  PyRef module;
  PELARUNE_TRY(PyRef type, walk_to_datetime_class(builtins, own_import, module));
  if (own_import)
    PELARUNE_CHECK_OK(keep_found_class(builtins, std::move(module), type));
  return type;
}

// Whether no attribute of `type` can ever change: immutable types all through its MRO, and type
// itself as its metatype. The real datetime class is one.
bool fixed_class(PyObject *type) {
  if (!Py_IS_TYPE(type, &PyType_Type))
    return false;
  PyObject *mro = reinterpret_cast<PyTypeObject *>(type)->tp_mro; // borrowed
  if (mro == nullptr || !PyTuple_Check(mro))
    return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    auto *base = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
    if (!PyType_HasFeature(base, Py_TPFLAGS_IMMUTABLETYPE))
      return false;
  }
  return true;
}

// The two methods of the last fixed class met, bound once: a lookup on that class binds the
// same functions every time, and the class itself is still found anew at every call, so a
// replaced module, class or method takes effect at once. Callgrind: 2.9% of the instructions of a
// replay of BASIC-1.132153978, 1.2% of a generated 10-runner file's. Never destroyed: its
// references would be released at exit, when the interpreter may be gone.
struct BoundMethods {
  PyRef type, utcfromtimestamp, strptime;
};
BoundMethods &bound_methods() {
  static auto *methods = new BoundMethods;
  return *methods;
}

// type.<method>(args...): through the method bound once when the class is fixed, else by name;
// empty with the interpreter's exception set on failure.
template <size_t N>
PyRef call_method(PyObject *const (&args)[N], PyObject *method, PyRef BoundMethods::*bound) {
  PyObject *type = args[0];
  BoundMethods &kept = bound_methods();
  if (type != kept.type.get() && fixed_class(type)) {
    static PyObject *const utcfromtimestamp = name("utcfromtimestamp");
    static PyObject *const strptime = name("strptime");
    BoundMethods found{PyRef::borrow(type), PyRef::steal(PyObject_GetAttr(type, utcfromtimestamp)),
                       PyRef::steal(PyObject_GetAttr(type, strptime))};
    if (found.utcfromtimestamp && found.strptime)
      std::swap(kept, found); // `found` releases the old ones once the new ones are in place
    else
      PyErr_Clear(); // the call by name reports it
  }
  if (type == kept.type.get()) {
    PyRef callable = (kept.*bound).clone(); // held: the call may run code that replaces it
    return PyRef::steal(PyObject_Vectorcall(callable.get(), args + 1, N - 1, nullptr));
  }
  return PyRef::steal(PyObject_VectorcallMethod(method, args, N, nullptr));
}

PyRef strptime(PyObject *type, PyObject *text, PyObject *format) {
  static PyObject *const method = name("strptime");
  return call_method({type, text, format}, method, &BoundMethods::strptime);
}

} // namespace

Result<PyRef> datetime_by_utcfromtimestamp(int64_t publish_time_epoch) {
  static PyObject *const method = name("utcfromtimestamp");
  double seconds = double(publish_time_epoch) / 1000.0;
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef argument = to_python(seconds);
  PyRef result = call_method({type.get(), argument.get()}, method, &BoundMethods::utcfromtimestamp);
  if (!result)
    return Error::take_current();
  return result;
}

Result<PyRef> parse_definition_time(const RawValue &given) {
  static PyObject *const fraction_format = name("%Y-%m-%dT%H:%M:%S.%fZ");
  static PyObject *const whole_second_format = name("%Y-%m-%dT%H:%M:%SZ");
  if (!given.is_text())
    return none();
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef value = to_python(given.text);
  if (PyRef parsed = strptime(type.get(), value.get(), fraction_format))
    return parsed;
  // Only an ordinary exception is a verdict on the text: an interrupt, an exit, running out of
  // memory or a PanicException (which take_current resumes) leaves with no second attempt.
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
    return Error::take_current();
  PyErr_Clear(); // only the second attempt's error is reported
  PyRef parsed = strptime(type.get(), value.get(), whole_second_format);
  if (!parsed)
    return Error::take_current();
  return parsed;
}

Result<PyRef> datetime_by_c_api(int64_t publish_time_epoch) {
  // utcfromtimestamp(ms / 1000.0) rounds to the microsecond, which gives ms * 1000 exactly while
  // the double's error stays under half a microsecond: within 2^42 ms of 1970. Beyond, the
  // interpreter's own conversion decides.
  constexpr int64_t kExactMillis = int64_t(1) << 42; // about 139 years either side of 1970
  if (publish_time_epoch <= -kExactMillis || publish_time_epoch >= kExactMillis)
    return datetime_by_utcfromtimestamp(publish_time_epoch);
  int64_t millis = publish_time_epoch % 86400000;
  int64_t days = publish_time_epoch / 86400000;
  if (millis < 0) {
    millis += 86400000;
    days -= 1;
  }
  CivilTime time;
  civil_from_days(days, time.year, time.month, time.day);
  auto seconds = int(millis / 1000);
  time.hour = seconds / 3600;
  time.minute = seconds / 60 % 60;
  time.second = seconds % 60;
  time.microsecond = int(millis % 1000) * 1000;
  return naive_datetime(time);
}

Result<PyRef> naive_datetime(const CivilTime &time) {
  PELARUNE_CHECK_OK(import_datetime_api());
  PyRef result = PyRef::steal(PyDateTime_FromDateAndTime(
      int(time.year), time.month, time.day, time.hour, time.minute, time.second, time.microsecond));
  if (!result)
    return Error::take_current();
  return result;
}

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

} // namespace pelarune
