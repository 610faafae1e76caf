// Argument binding and conversion errors with the interpreter's usual wording.
#include "binding/arguments.h"

#include "binding/class_object.h"

#include <string>

namespace pelarune {

Status bind_arguments(const char *function, std::span<const char *const> parameters,
                      PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      std::span<PyObject *> out) {
  std::string prefix = std::string(function) + "()";
  Py_ssize_t count = Py_ssize_t(parameters.size());
  if (nargs > count)
    return Error(PyExc_TypeError, prefix + " takes " + std::to_string(count) +
                                      " positional arguments but " + std::to_string(nargs) +
                                      " were given");
  for (auto &slot : out)
    slot = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i)
    out[size_t(i)] = args[i];
  Py_ssize_t keywords = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
    Py_ssize_t length = 0;
    const char *text = PyUnicode_AsUTF8AndSize(keyword, &length);
    PyRef escaped;
    if (text == nullptr) {
      // A name with lone surrogates matches no parameter; show it with its escapes.
      PyErr_Clear();
      escaped = PyRef::steal(PyUnicode_AsEncodedString(keyword, "utf-8", "backslashreplace"));
      if (!escaped)
        return Error::take_current();
      text = PyBytes_AS_STRING(escaped.get());
      length = PyBytes_GET_SIZE(escaped.get());
    }
    std::string_view name(text, size_t(length));
    size_t index = 0;
    while (index < parameters.size() && name != parameters[index])
      ++index;
    if (index == parameters.size())
      return Error(PyExc_TypeError,
                   prefix + " got an unexpected keyword argument '" + std::string(name) + "'");
    if (out[index] != nullptr)
      return Error(PyExc_TypeError,
                   prefix + " got multiple values for argument '" + std::string(name) + "'");
    out[index] = args[nargs + k];
  }
  for (size_t i = 0; i < parameters.size(); ++i) {
    if (out[i] != nullptr)
      continue;
    size_t missing = 0;
    for (PyObject *value : out)
      missing += value == nullptr;
    return Error(PyExc_TypeError, prefix + " missing " + std::to_string(missing) + " required " +
                                      "positional argument" + (missing > 1 ? "s" : "") + ": '" +
                                      parameters[i] + "'");
  }
  return ok();
}

Error argument_error(const char *name, Error error) {
  if (error.type() != PyExc_TypeError)
    return error;
  std::move(error).raise();
  PyRef old = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(old.get()));
  if (!text)
    return Error::take_current();
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message)
    return Error::take_current();
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement)
    return Error::take_current();
  if (PyRef cause = PyRef::steal(PyException_GetCause(old.get())))
    PyException_SetCause(replacement.get(), cause.release()); // steals
  PyErr_SetRaisedException(replacement.release());            // steals
  return Error::take_current();
}

Result<std::string_view> extract_str(PyObject *object, const char *name) {
  if (!PyUnicode_Check(object))
    return argument_error(name, conversion_error(object, "PyString"));
  Py_ssize_t length = 0;
  const char *text = PyUnicode_AsUTF8AndSize(object, &length);
  if (text == nullptr)
    return argument_error(name, Error::take_current());
  return std::string_view(text, size_t(length));
}

} // namespace pelarune
