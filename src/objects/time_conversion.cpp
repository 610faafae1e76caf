// Time conversion through the interpreter's datetime module.
#include "objects/time_conversion.h"

#include "binding/convert.h"

#include <cstring>

namespace pelarune {
namespace {

constexpr const char *kDatetime = "datetime"; // both the module and its class
constexpr const char *kUtcFromTimestamp = "utcfromtimestamp";
constexpr const char *kStrptime = "strptime";
constexpr const char *kFractionFormat = "%Y-%m-%dT%H:%M:%S.%fZ";
constexpr const char *kWholeSecondFormat = "%Y-%m-%dT%H:%M:%SZ";

// Whether builtins.__import__ is still the interpreter's own function.
bool is_own_import(PyObject *import, PyObject *builtins) {
  if (!PyCFunction_Check(import))
    return false;
  PyObject *self = PyCFunction_GET_SELF(import);
  return self != nullptr && PyModule_Check(self) && PyModule_GetDict(self) == builtins &&
         std::strcmp(reinterpret_cast<PyCFunctionObject *>(import)->m_ml->ml_name, "__import__") ==
             0;
}

// The class datetime.datetime. The module comes as the import statement brings it: through
// builtins.__import__ when a caller replaced it, else straight from the import machinery
// (sys.modules first, then the import hooks), which is what the statement does too and
// spares a call through __import__ per book.
Result<PyRef> datetime_class() {
  PyRef name = to_python(std::string_view(kDatetime));
  PyObject *builtins = PyEval_GetBuiltins();                       // borrowed
  PyObject *import = PyDict_GetItemString(builtins, "__import__"); // borrowed
  PyRef module =
      PyRef::steal(import != nullptr && is_own_import(import, builtins)
                       ? PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0)
                       : PyImport_Import(name.get()));
  if (!module)
    return Error::take_current();
  PyRef type = PyRef::steal(PyObject_GetAttr(module.get(), name.get()));
  if (!type)
    return Error::take_current();
  return type;
}

// type.strptime(text, format); empty with the interpreter's exception set on failure.
PyRef strptime(PyObject *type, PyObject *text, const char *format) {
  PyRef method = to_python(std::string_view(kStrptime));
  PyRef format_text = to_python(std::string_view(format));
  PyObject *args[] = {type, text, format_text.get()};
  return PyRef::steal(PyObject_VectorcallMethod(method.get(), args, 3, nullptr));
}

} // namespace

Result<PyRef> epoch_millis_to_datetime(int64_t epoch_ms) {
  double seconds = double(epoch_ms) / 1000.0;
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef method = to_python(std::string_view(kUtcFromTimestamp));
  PyRef argument = to_python(seconds);
  PyRef result = PyRef::steal(PyObject_CallMethodOneArg(type.get(), method.get(), argument.get()));
  if (!result)
    return Error::take_current();
  return result;
}

Result<PyRef> parse_definition_time(const std::optional<std::string> &text) {
  if (!text)
    return none();
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef value = to_python(*text);
  if (PyRef parsed = strptime(type.get(), value.get(), kFractionFormat))
    return parsed;
  if (PyErr_ExceptionMatches(PyExc_MemoryError))
    return Error::take_current(); // not a verdict on the text
  PyErr_Clear(); // whatever else the first attempt raised, only the second one's error is reported
  PyRef parsed = strptime(type.get(), value.get(), kWholeSecondFormat);
  if (!parsed)
    return Error::take_current();
  return parsed;
}

} // namespace pelarune
