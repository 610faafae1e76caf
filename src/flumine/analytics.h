// The simulated middleware's per-book work: flumine's RunnerAnalytics updated natively.
#pragma once

#include <Python.h>

namespace pelarune {

// update_analytics(market_analytics, runners, analytics_class, memo): returns the removed runners.
PyObject *update_analytics_function(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                    PyObject *kwnames) noexcept;

} // namespace pelarune
