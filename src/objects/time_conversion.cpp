// Time conversion through the interpreter's datetime module.
//
// Every call takes the steps of an import statement followed by the class and method lookups,
// but the objects the last walk found are kept: while the dictionaries they came from stay
// unchanged nothing is looked up, and after a change each step's result is checked against them
// by identity, so only what was replaced is walked again.
#include "objects/time_conversion.h"

#include "binding/convert.h"

#include <cstring>
#include <utility>

namespace pelarune {
namespace {

// Python strings made once and kept for the life of the process, like the class objects.
struct Names {
  PyObject *datetime;         // both the module and its class
  PyObject *import;           // builtins.__import__
  PyObject *utcfromtimestamp; // interned, so the type's method cache finds it by identity
  PyObject *strptime;
  PyObject *fraction_format;
  PyObject *whole_second_format;
};

PyObject *interned(const char *text) {
  PyObject *name = PyUnicode_InternFromString(text);
  if (name == nullptr) [[unlikely]]
    api_call_failed();
  return name;
}

const Names &names() {
  static const Names names{
      interned("datetime"),
      interned("__import__"),
      interned("utcfromtimestamp"),
      interned("strptime"),
      interned("%Y-%m-%dT%H:%M:%S.%fZ"),
      interned("%Y-%m-%dT%H:%M:%SZ"),
  };
  return names;
}

// A reference kept between calls. It is never released at exit, when the interpreter may be
// gone; while the interpreter runs, it is replaced or dropped as the walk finds other objects.
class Kept {
public:
  PyObject *get() const noexcept { return object_; }
  // Releases the previous object only after the new one is in place: releasing may run Python
  // code that converts a time again.
  void set(PyObject *object) noexcept { Py_XDECREF(std::exchange(object_, Py_XNewRef(object))); }

private:
  PyObject *object_ = nullptr;
};

// What the last walk found that a later walk would find again while these stay in place.
struct Found {
  // The frame's builtins and the interpreter's own __import__ in them: the import statement then
  // goes straight to the import machinery.
  Kept builtins, own_import;
  // A datetime module that the import machinery returned fully initialised: while sys.modules
  // holds it, the machinery would return it again as it is.
  Kept module;
  // A class whose attributes cannot change (immutable types all through its MRO, and type as its
  // metatype), with its methods bound once: a lookup on it always binds the same function.
  Kept type, utcfromtimestamp, strptime;

  // The dictionaries the kept objects were found in (the builtins, sys.modules and the module's
  // own) are watched, and any change to one of them clears `unchanged`. While it is set, and the
  // frame's builtins are the kept ones, a walk would find every kept object again, so none is
  // looked up. The interpreter has a few watcher slots; without one, every walk checks by identity.
  int watcher = -1;
  bool unchanged = false;

  void watch(PyObject *dict) noexcept {
    if (watcher >= 0 && PyDict_Watch(watcher, dict) < 0) {
      PyErr_Clear();
      watcher = -1;
      unchanged = false;
    }
  }
};

Found *g_found = nullptr;

int note_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
  g_found->unchanged = false;
  return 0;
}

Found &found() {
  if (g_found == nullptr) [[unlikely]] {
    g_found = new Found; // never destroyed, see Kept
    g_found->watcher = PyDict_AddWatcher(note_change);
    if (g_found->watcher < 0)
      PyErr_Clear();
  }
  return *g_found;
}

// Whether builtins.__import__ is still the interpreter's own function.
bool is_own_import(PyObject *import, PyObject *builtins) {
  if (!PyCFunction_Check(import))
    return false;
  PyObject *self = PyCFunction_GET_SELF(import);
  return self != nullptr && PyModule_Check(self) && PyModule_GetDict(self) == builtins &&
         std::strcmp(reinterpret_cast<PyCFunctionObject *>(import)->m_ml->ml_name, "__import__") ==
             0;
}

bool uses_own_import() {
  Found &cache = found();
  PyObject *builtins = PyEval_GetBuiltins();                   // borrowed
  PyObject *import = PyDict_GetItem(builtins, names().import); // borrowed
  if (import != nullptr && import == cache.own_import.get() && builtins == cache.builtins.get())
    return true;
  if (import == nullptr || !is_own_import(import, builtins))
    return false;
  cache.watch(builtins);
  cache.builtins.set(builtins);
  cache.own_import.set(import);
  return true;
}

// Whether the module's spec says that it is still being initialised, as the import machinery
// checks before it hands out a module from sys.modules.
bool initialising(PyObject *module) {
  PyRef spec = PyRef::steal(PyObject_GetAttrString(module, "__spec__"));
  if (!spec || spec.get() == Py_None) {
    PyErr_Clear();
    return false;
  }
  PyRef flag = PyRef::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
  int busy = flag ? PyObject_IsTrue(flag.get()) : 0;
  PyErr_Clear();
  return busy > 0;
}

// The module "datetime" as the import statement brings it: through builtins.__import__ when a
// caller replaced it, else straight from the import machinery (sys.modules first, then the import
// hooks), which is what the statement does too and spares a call through __import__ per book.
Result<PyRef> datetime_module(bool &own_import) {
  const Names &name = names();
  own_import = uses_own_import();
  if (!own_import) {
    PyRef module = PyRef::steal(PyImport_Import(name.datetime));
    if (!module)
      return Error::take_current();
    return module;
  }
  Found &cache = found();
  PyObject *modules = PyImport_GetModuleDict(); // borrowed
  PyObject *module = PyDict_GetItem(modules, name.datetime);
  if (module != nullptr && module == cache.module.get())
    return PyRef::borrow(module);
  cache.watch(modules);
  PyRef imported =
      PyRef::steal(PyImport_ImportModuleLevelObject(name.datetime, nullptr, nullptr, nullptr, 0));
  if (!imported)
    return Error::take_current();
  // Only the module that sys.modules now holds is kept, so a replaced one is let go here.
  bool keep = PyDict_GetItem(modules, name.datetime) == imported.get() &&
              Py_IS_TYPE(imported.get(), &PyModule_Type) && !initialising(imported.get());
  if (keep)
    cache.watch(PyModule_GetDict(imported.get()));
  cache.module.set(keep ? imported.get() : nullptr);
  return imported;
}

// Whether no attribute lookup on `type` can ever give another result.
bool fixed_class(PyObject *type) {
  if (!PyType_Check(type) || !Py_IS_TYPE(type, &PyType_Type))
    return false;
  PyObject *mro = reinterpret_cast<PyTypeObject *>(type)->tp_mro; // borrowed
  if (mro == nullptr || !PyTuple_Check(mro))
    return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject *base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_HasFeature(reinterpret_cast<PyTypeObject *>(base), Py_TPFLAGS_IMMUTABLETYPE))
      return false;
  }
  return true;
}

// Binds the two methods of a class that fixed_class accepted, once.
void keep_class(PyObject *type) {
  const Names &name = names();
  Found &cache = found();
  PyRef utcfromtimestamp = PyRef::steal(PyObject_GetAttr(type, name.utcfromtimestamp));
  PyRef strptime = PyRef::steal(PyObject_GetAttr(type, name.strptime));
  if (!utcfromtimestamp || !strptime) {
    PyErr_Clear(); // the calls made by name report it
    return;
  }
  cache.type.set(nullptr); // never a class without its methods
  cache.utcfromtimestamp.set(utcfromtimestamp.get());
  cache.strptime.set(strptime.get());
  cache.type.set(type);
}

// The class datetime.datetime: the module's attribute "datetime".
Result<PyRef> datetime_class() {
  Found &cache = found();
  if (cache.unchanged && PyEval_GetBuiltins() == cache.builtins.get()) [[likely]]
    return PyRef::borrow(cache.type.get());
  bool own_import = false;
  PELARUNE_TRY(PyRef module, datetime_module(own_import));
  PyObject *kept = cache.type.get();
  // A plain module's attribute is the entry of its dictionary whenever that has one.
  if (kept != nullptr && Py_IS_TYPE(module.get(), &PyModule_Type) &&
      PyDict_GetItem(PyModule_GetDict(module.get()), names().datetime) == kept) {
    // Every step found its kept object, in watched dictionaries.
    cache.unchanged = cache.watcher >= 0 && own_import && module.get() == cache.module.get() &&
                      PyEval_GetBuiltins() == cache.builtins.get();
    return PyRef::borrow(kept);
  }
  PyRef type = PyRef::steal(PyObject_GetAttr(module.get(), names().datetime));
  if (!type)
    return Error::take_current();
  if (type.get() != kept && fixed_class(type.get()))
    keep_class(type.get());
  return type;
}

// type.<method>(args...), through the bound method kept for the class when there is one;
// empty with the interpreter's exception set on failure.
template <size_t N>
PyRef call_method(PyObject *type, PyObject *method, PyObject *bound, PyObject *(&&args)[N]) {
  PyObject *call[N + 1] = {type};
  for (size_t i = 0; i < N; ++i)
    call[i + 1] = args[i];
  if (type == found().type.get())
    return PyRef::steal(PyObject_Vectorcall(bound, call + 1, N, nullptr));
  return PyRef::steal(PyObject_VectorcallMethod(method, call, N + 1, nullptr));
}

PyRef strptime(PyObject *type, PyObject *text, PyObject *format) {
  return call_method(type, names().strptime, found().strptime.get(), {text, format});
}

} // namespace

Result<PyRef> epoch_millis_to_datetime(int64_t epoch_ms) {
  double seconds = double(epoch_ms) / 1000.0;
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef argument = to_python(seconds);
  PyRef result = call_method(type.get(), names().utcfromtimestamp, found().utcfromtimestamp.get(),
                             {argument.get()});
  if (!result)
    return Error::take_current();
  return result;
}

Result<PyRef> parse_definition_time(const std::optional<std::string> &text) {
  if (!text)
    return none();
  PELARUNE_TRY(PyRef type, datetime_class());
  PyRef value = to_python(*text);
  if (PyRef parsed = strptime(type.get(), value.get(), names().fraction_format))
    return parsed;
  if (PyErr_ExceptionMatches(PyExc_MemoryError))
    return Error::take_current(); // not a verdict on the text
  PyErr_Clear(); // whatever else the first attempt raised, only the second one's error is reported
  PyRef parsed = strptime(type.get(), value.get(), names().whole_second_format);
  if (!parsed)
    return Error::take_current();
  return parsed;
}

} // namespace pelarune
