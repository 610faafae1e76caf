// Class objects, instances, receiver checks and access flags shared by every class.
//
// A class is described by its record type, which names it and says whether it is guarded:
//   struct RunnerRecord { static constexpr const char *kName = "Runner";
//                         static constexpr bool kGuarded = false; ... };
// and by a specialisation of class_object<Record>() in the class's own file, which builds the
// type once with make_class<Record>(...).
#pragma once

#include "binding/entry.h"
#include "binding/py_ref.h"
#include "binding/result.h"

#include <initializer_list>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

namespace pelarune {

// The interpreter's header, the record and, for classes whose data can change, the access
// flag: 0 free, n > 0 shared accesses in progress, -1 one exclusive access.
template <class Record, bool Guarded = Record::kGuarded> struct Instance;
template <class Record> struct Instance<Record, false> { PyObject_HEAD Record record; };
template <class Record> struct Instance<Record, true> {
  PyObject_HEAD Record record;
  Py_ssize_t access_flag;
};

// The class object of Record, made on first use and kept for the life of the process.
template <class Record> PyTypeObject *class_object();

// TypeError "'T' object cannot be converted to 'expected'".
[[gnu::cold]] Error conversion_error(PyObject *object, const char *expected);

[[noreturn, gnu::cold]] void class_creation_failed(const char *name);

template <class Record> PyObject *class_refuse_new(PyTypeObject *, PyObject *, PyObject *) {
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> {
    return Error(PyExc_TypeError, std::string("No constructor defined for ") + Record::kName);
  });
}

// Every record is written in full right after allocation, so the memory is not cleared first as
// the generic allocator does; no class can be subclassed, so every instance has its class's size.
template <class Record> Instance<Record> *instance_memory() noexcept {
  return static_cast<Instance<Record> *>(PyObject_Malloc(sizeof(Instance<Record>)));
}

template <class Record> PyObject *class_alloc(PyTypeObject *type, Py_ssize_t) noexcept {
  Instance<Record> *memory = instance_memory<Record>();
  if (memory == nullptr) [[unlikely]]
    return PyErr_NoMemory();
  return PyObject_Init(reinterpret_cast<PyObject *>(memory), type);
}

template <class Record> void class_dealloc(PyObject *self) noexcept {
  PyTypeObject *type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<Instance<Record> *>(self)->record);
  PyObject_Free(self); // the free function every class inherits from object
  Py_DECREF(type);     // heap-type instances own a reference to their type
}

// The module a class names: "builtins" unless its record names another (a companion's class).
template <class Record> constexpr const char *module_of() {
  if constexpr (requires { Record::kModule; })
    return Record::kModule;
  else
    return "builtins";
}

// Builds the heap type "<module>.<name>". members, getset and methods must have static storage.
template <class Record>
PyTypeObject *make_class(const char *doc, PyMemberDef *members, PyGetSetDef *getset,
                         PyMethodDef *methods, std::initializer_list<PyType_Slot> extra = {}) {
  static const std::string name = std::string(module_of<Record>()) + "." + Record::kName;
  PyType_Slot slots[16];
  size_t n = 0;
  slots[n++] = {Py_tp_doc, const_cast<char *>(doc)};
  slots[n++] = {Py_tp_new, reinterpret_cast<void *>(&class_refuse_new<Record>)};
  slots[n++] = {Py_tp_alloc, reinterpret_cast<void *>(&class_alloc<Record>)};
  slots[n++] = {Py_tp_dealloc, reinterpret_cast<void *>(&class_dealloc<Record>)};
  if (members != nullptr)
    slots[n++] = {Py_tp_members, members};
  if (getset != nullptr)
    slots[n++] = {Py_tp_getset, getset};
  if (methods != nullptr)
    slots[n++] = {Py_tp_methods, methods};
  for (const PyType_Slot &slot : extra)
    slots[n++] = slot;
  slots[n] = {0, nullptr};
  PyType_Spec spec{
      name.c_str(),
      int(sizeof(Instance<Record>)),
      0,
      // Not in the cyclic GC (no Py_TPFLAGS_HAVE_GC, no traverse): a cycle a caller builds
      // through our mutable lists is the caller's to break, while tracking every book of a
      // long replay would put it all under collection.
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  PyObject *type = PyType_FromSpec(&spec);
  if (type == nullptr) {
    PyErr_Print();
    class_creation_failed(Record::kName);
  }
  return reinterpret_cast<PyTypeObject *>(type);
}

// Receiver check: an instance of Record's class or of a subclass.
template <class Record> Result<Instance<Record> *> receiver(PyObject *object) {
  PyTypeObject *type = class_object<Record>();
  if (Py_IS_TYPE(object, type) || PyType_IsSubtype(Py_TYPE(object), type)) [[likely]]
    return reinterpret_cast<Instance<Record> *>(object);
  return conversion_error(object, Record::kName);
}

// A new instance of Record's class holding the record that make() returns, constructed in place.
// The memory becomes an object only once the record is built, so a throwing make() frees raw
// memory that the interpreter never saw.
template <class Record, class Make> Result<PyRef> create_instance_with(Make &&make) {
  PyTypeObject *type = class_object<Record>();
  Instance<Record> *instance = instance_memory<Record>();
  if (instance == nullptr) [[unlikely]] {
    PyErr_NoMemory();
    return Error::take_current();
  }
  try {
    new (&instance->record) Record(make());
  } catch (...) {
    PyObject_Free(instance);
    throw;
  }
  if constexpr (Record::kGuarded)
    instance->access_flag = 0;
  return PyRef::steal(PyObject_Init(reinterpret_cast<PyObject *>(instance), type));
}

// Wraps a filled record in a new instance of its class.
template <class Record> Result<PyRef> create_instance(Record &&record) {
  static_assert(std::is_nothrow_move_constructible_v<Record>);
  return create_instance_with<Record>([&]() noexcept { return std::move(record); });
}

class [[nodiscard]] SharedAccess {
public:
  template <class Record> static Result<SharedAccess> take(Instance<Record, true> &instance) {
    return take_flag(instance.access_flag);
  }
  // Immutable classes have no flag: nothing to take.
  template <class Record> static Result<SharedAccess> take(Instance<Record, false> &) {
    return SharedAccess(nullptr);
  }
  static Result<SharedAccess> take_flag(Py_ssize_t &flag) {
    if (flag == -1) [[unlikely]]
      return Error(PyExc_RuntimeError, "Already mutably borrowed");
    ++flag;
    return SharedAccess(&flag);
  }
  SharedAccess(SharedAccess &&other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  SharedAccess &operator=(SharedAccess &&) = delete;
  ~SharedAccess() {
    if (flag_ != nullptr)
      --*flag_;
  }

private:
  explicit SharedAccess(Py_ssize_t *flag) noexcept : flag_(flag) {}
  Py_ssize_t *flag_;
};

class [[nodiscard]] ExclusiveAccess {
public:
  template <class Record> static Result<ExclusiveAccess> take(Instance<Record, true> &instance) {
    if (instance.access_flag != 0) [[unlikely]]
      return Error(PyExc_RuntimeError, "Already borrowed");
    instance.access_flag = -1;
    return ExclusiveAccess(&instance.access_flag);
  }
  ExclusiveAccess(ExclusiveAccess &&other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
  ExclusiveAccess &operator=(ExclusiveAccess &&) = delete;
  ~ExclusiveAccess() {
    if (flag_ != nullptr)
      *flag_ = 0;
  }

private:
  explicit ExclusiveAccess(Py_ssize_t *flag) noexcept : flag_(flag) {}
  Py_ssize_t *flag_;
};

} // namespace pelarune
