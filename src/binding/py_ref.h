// The only type that owns a Python reference.
#pragma once

#include <Python.h>

#include <cassert>
#include <utility>

namespace pelarune {

class PyRef {
public:
  PyRef() = default;
  static PyRef steal(PyObject *p) noexcept { return PyRef(p); } // adopts a new reference
  static PyRef borrow(PyObject *p) noexcept {                   // takes one of our own
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef &&other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  PyRef &operator=(PyRef other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~PyRef() {
    assert(p_ == nullptr || PyGILState_Check()); // references die on the Python thread
    Py_XDECREF(p_);
  }
  PyRef clone() const noexcept { return borrow(p_); } // no copy constructor: copies show
  PyObject *get() const noexcept { return p_; }       // a borrowed view
  [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

private:
  explicit PyRef(PyObject *p) noexcept : p_(p) {}
  PyObject *p_ = nullptr;
};

} // namespace pelarune
