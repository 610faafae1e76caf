// Argument binding for functions with named parameters, and the argument-error rule.
#pragma once

#include "binding/result.h"

#include <span>
#include <string_view>

namespace pelarune {

// Binds a vectorcall (positional args, then keyword values named by kwnames) to the named
// positional-or-keyword parameters. Every parameter is required. `out` receives borrowed
// references, one per parameter.
Status bind_arguments(const char *function, std::span<const char *const> parameters,
                      PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                      std::span<PyObject *> out);

// An argument conversion that failed with exactly TypeError gets the prefix
// "argument '<name>': ", keeping the old exception's __cause__; other errors pass unchanged.
[[gnu::cold]] Error argument_error(const char *name, Error error);

// The UTF-8 text of a str argument (a subclass of str is accepted), valid while the object is.
Result<std::string_view> extract_str(PyObject *object, const char *name);

} // namespace pelarune
