// Time conversion through the interpreter's datetime module.
#include "objects/time_conversion.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

constexpr const char *kDatetime = "datetime"; // both the module and its class
constexpr const char *kUtcFromTimestamp = "utcfromtimestamp";
constexpr const char *kStrptime = "strptime";
constexpr const char *kFractionFormat = "%Y-%m-%dT%H:%M:%S.%fZ";
constexpr const char *kWholeSecondFormat = "%Y-%m-%dT%H:%M:%SZ";

// The class datetime.datetime. The module comes through the machinery of the import statement
// (sys.modules first, then the import hooks), without a detour through builtins.__import__.
Result<PyRef> datetime_class() {
  PyRef name = to_python(std::string_view(kDatetime));
  PyRef module =
      PyRef::steal(PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0));
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
  PyErr_Clear(); // whatever the first attempt raised, only the second one's error is reported
  PyRef parsed = strptime(type.get(), value.get(), kWholeSecondFormat);
  if (!parsed)
    return Error::take_current();
  return parsed;
}

} // namespace pelarune
