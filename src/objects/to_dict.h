// MarketBook.to_dict(): the book as the plain dictionaries of betfairutil's lightweight format.
#pragma once

#include <Python.h>

namespace pelarune {

// METH_NOARGS method of MarketBook.
PyObject *market_book_to_dict(PyObject *self, PyObject *unused) noexcept;

} // namespace pelarune
