// Result creation: native values to new Python objects and lists, and one-line attribute
// getters.
#pragma once

#include "binding/class_object.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <ranges>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pelarune {

// Whether every byte is below 0x80, a word at a time: callgrind counts 20 to 40 fewer instructions
// per str read than a byte loop, of the 250 or so a read costs above a plain member read.
inline bool is_ascii(std::string_view text) noexcept {
  const char *at = text.data();
  size_t left = text.size();
  uint64_t bits = 0;
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    bits |= word;
  }
  if (left >= 4) { // two words that may overlap cover 4 to 7 bytes
    uint32_t head, tail;
    std::memcpy(&head, at, 4);
    std::memcpy(&tail, at + left - 4, 4);
    bits |= head | tail;
  } else {
    for (; left > 0; ++at, --left)
      bits |= static_cast<unsigned char>(*at);
  }
  return (bits & 0x8080808080808080u) == 0;
}

// Native values as new Python objects: a new reference, or nullptr with the interpreter's
// exception set when it could not make one (out of memory). Raw, since a getter hands it straight
// to the interpreter; everything else takes it through to_python.
inline PyObject *new_value(bool value) noexcept {
  return Py_NewRef(value ? Py_True : Py_False);
}
inline PyObject *new_value(int32_t value) noexcept {
  return PyLong_FromLong(value);
}
inline PyObject *new_value(int64_t value) noexcept {
  return PyLong_FromLongLong(value);
}
inline PyObject *new_value(double value) noexcept {
  return PyFloat_FromDouble(value);
}
inline PyObject *new_value(std::string_view text) noexcept {
  // ASCII text, which is what the stream's statuses and ids are, is copied into a new str of
  // known kind: callgrind counts about 50 fewer instructions per read than through the UTF-8
  // decoder, and 40 fewer than through the ASCII one. One character or none goes to the decoder,
  // which hands out the interpreter's shared strs for those.
  if (text.size() > 1 && is_ascii(text)) {
    PyObject *str = PyUnicode_New(Py_ssize_t(text.size()), 127);
    if (str != nullptr)
      std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
    return str;
  }
  return PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size()));
}
inline PyObject *new_value(const std::string &text) noexcept {
  return new_value(std::string_view(text));
}
inline PyObject *new_value(const PyRef &object) noexcept {
  return Py_NewRef(object.get());
}
inline PyObject *new_value(const std::vector<std::string> &texts) noexcept {
  PyRef list = PyRef::steal(PyList_New(Py_ssize_t(texts.size())));
  for (size_t i = 0; list && i < texts.size(); ++i) {
    PyObject *text = new_value(texts[i]);
    if (text == nullptr)
      return nullptr;
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), text); // steals
  }
  return list.release();
}
template <class T> PyObject *new_value(const std::optional<T> &value) noexcept {
  return value ? new_value(*value) : Py_NewRef(Py_None);
}

// The same as a PyRef, under the result-creation rule.
template <class T>
requires requires(const T &value) {
  new_value(value);
}
PyRef to_python(const T &value) {
  return created(new_value(value));
}
inline PyRef none() noexcept {
  return PyRef::borrow(Py_None);
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

// The record of an instance reached through one of its class's descriptors. The descriptor has
// already refused an object of any other class (the classes cannot be subclassed), so the receiver
// check that entry points make is settled before the getter runs.
template <class Record> const Record &record_of(PyObject *self) noexcept {
  assert(Py_IS_TYPE(self, class_object<Record>()));
  return reinterpret_cast<const Instance<Record> *>(self)->record;
}

// Getter of the record field Field, converted anew at each read. It runs no Python code, so the
// only failure is the creation of the value, and it needs neither the boundary's exception
// handling nor, on a guarded class, the access flag: no Python code can run while a setter holds
// exclusive access, so a shared access taken here could never be refused.
template <class Record, auto Field> PyObject *field_getter(PyObject *self, void *) noexcept {
  PyObject *value = new_value(record_of<Record>(self).*Field);
  return value != nullptr ? value : creation_failed();
}

// Getter of an attribute that always reads None.
inline PyObject *none_getter(PyObject *, void *) noexcept {
  Py_RETURN_NONE;
}

// Getter of an attribute that always reads True.
inline PyObject *true_getter(PyObject *, void *) noexcept {
  Py_RETURN_TRUE;
}

// Getter of an attribute that reads a new empty list each time.
inline PyObject *empty_list_getter(PyObject *, void *) noexcept {
  PyObject *list = PyList_New(0);
  return list != nullptr ? list : creation_failed();
}

// Whether the interpreter reads a field of type T itself, as a read-only member slot: a stored
// reference as the same object each time, a number or flag as a new value at each read. 64-bit
// integers take a getter: new_value makes their ints faster than the member read does.
template <class T>
constexpr bool kMemberType = std::is_same_v<T, PyRef> || std::is_same_v<T, double> ||
                             std::is_same_v<T, bool> || std::is_same_v<T, int>;

template <class T> constexpr int member_type() {
  static_assert(kMemberType<T>, "no member type reads this field");
  if constexpr (std::is_same_v<T, PyRef>) {
    static_assert(std::is_standard_layout_v<PyRef> && sizeof(PyRef) == sizeof(PyObject *),
                  "the interpreter reads a PyRef as the object pointer it holds");
    return Py_T_OBJECT_EX;
  } else if constexpr (std::is_same_v<T, double>) {
    return Py_T_DOUBLE;
  } else if constexpr (std::is_same_v<T, bool>) {
    static_assert(sizeof(bool) == sizeof(char), "the interpreter reads a flag as a char");
    return Py_T_BOOL;
  } else {
    return Py_T_INT;
  }
}

// The member's offset is taken from a real instance: the records are not standard-layout, so
// offsetof is not defined for them, while every instance of a class shares one layout.
template <class Record, class Owner, class Field>
PyMemberDef member(const char *name, Field Owner::*field) {
  Instance<Record> probe{};
  const auto *base = reinterpret_cast<const unsigned char *>(&probe);
  const auto *at = reinterpret_cast<const unsigned char *>(&(probe.record.*field));
  return {name, member_type<Field>(), Py_ssize_t(at - base), Py_READONLY, nullptr};
}

} // namespace pelarune

#define PELARUNE_NONE(attribute)                                                                   \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::none_getter, nullptr, nullptr, nullptr                                  \
  }
#define PELARUNE_TRUE(attribute)                                                                   \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::true_getter, nullptr, nullptr, nullptr                                  \
  }
#define PELARUNE_EMPTY_LIST(attribute)                                                             \
  PyGetSetDef {                                                                                    \
    attribute, ::pelarune::empty_list_getter, nullptr, nullptr, nullptr                            \
  }
// One read-only member slot for a record field named as the attribute.
#define PELARUNE_MEMBER(Record, field) ::pelarune::member<Record>(#field, &Record::field)
