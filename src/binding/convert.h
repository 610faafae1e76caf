// Result creation: native values to new Python objects and lists, and one-line attribute
// getters.
#pragma once

#include "binding/class_object.h"

#include <cstdint>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pelarune {

inline PyRef to_python(bool value) noexcept {
  return PyRef::borrow(value ? Py_True : Py_False);
}
inline PyRef to_python(int32_t value) {
  return created(PyLong_FromLong(value));
}
inline PyRef to_python(int64_t value) {
  return created(PyLong_FromLongLong(value));
}
inline PyRef to_python(double value) {
  return created(PyFloat_FromDouble(value));
}
inline PyRef to_python(std::string_view text) {
  return created(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}
inline PyRef to_python(const std::string &text) {
  return to_python(std::string_view(text));
}
inline PyRef to_python(const PyRef &object) noexcept {
  return object.clone();
}
inline PyRef none() noexcept {
  return PyRef::borrow(Py_None);
}
template <class T> PyRef to_python(const std::optional<T> &value) {
  return value ? to_python(*value) : none();
}

// A new list of convert(item) for each of `items`, in order. A convert that can fail returns
// Result<PyRef>, and the list is then a Result too; the items made before a failure are freed
// with the list.
template <class Items, class Convert,
          class Converted = std::invoke_result_t<Convert &, std::ranges::range_reference_t<Items>>>
Converted new_list(Items &&items, Convert convert) {
  PyRef list = created(PyList_New(Py_ssize_t(std::ranges::size(items))));
  Py_ssize_t i = 0;
  for (auto &&item : items) {
    if constexpr (std::is_same_v<Converted, PyRef>) {
      PyList_SET_ITEM(list.get(), i++, convert(item).release()); // steals
    } else {
      PELARUNE_TRY(PyRef converted, convert(item));
      PyList_SET_ITEM(list.get(), i++, converted.release()); // steals
    }
  }
  return list;
}

inline PyRef to_python(const std::vector<std::string> &texts) {
  return new_list(texts, [](const std::string &text) { return to_python(text); });
}

// Getter of the record field Field, converted by to_python. Guarded classes hold shared
// access while reading.
template <class Record, auto Field> PyObject *field_getter(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *instance, receiver<Record>(self));
    PELARUNE_TRY(auto access, SharedAccess::take(*instance));
    return to_python(instance->record.*Field);
  });
}

// Getter of an attribute that always reads None.
template <class Record> PyObject *none_getter(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *instance, receiver<Record>(self));
    (void)instance;
    return none();
  });
}

// Getter of an attribute that always reads True.
template <class Record> PyObject *true_getter(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *instance, receiver<Record>(self));
    (void)instance;
    return to_python(true);
  });
}

// Getter of an attribute that reads a new empty list each time.
template <class Record> PyObject *empty_list_getter(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(auto *instance, receiver<Record>(self));
    (void)instance;
    return created(PyList_New(0));
  });
}

} // namespace pelarune

// One PyGetSetDef entry for a record field named as the attribute.
#define PELARUNE_FIELD(Record, field)                                                              \
  PyGetSetDef {                                                                                    \
#field, ::pelarune::field_getter < Record, &Record::field>, nullptr, nullptr, nullptr          \
  }
// As PELARUNE_FIELD, with a docstring.
#define PELARUNE_FIELD_DOC(Record, field, doc)                                                     \
  PyGetSetDef {                                                                                    \
#field, ::pelarune::field_getter < Record, &Record::field>, nullptr, doc, nullptr              \
  }
#define PELARUNE_NONE(Record, attribute)                                                           \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::none_getter<Record>, nullptr, nullptr, nullptr                          \
  }
#define PELARUNE_TRUE(Record, attribute)                                                           \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::true_getter<Record>, nullptr, nullptr, nullptr                          \
  }
#define PELARUNE_EMPTY_LIST(Record, attribute)                                                     \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::empty_list_getter<Record>, nullptr, nullptr, nullptr                    \
  }
