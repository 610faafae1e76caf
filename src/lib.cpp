// Module initialisation and iter_prices_file, the module's one function.
#include "binding/arguments.h"
#include "binding/class_object.h"
#include "objects/classes.h"
#include "objects/load_file.h"
#include "objects/prices_iterator.h"

namespace pelarune {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "pelarune", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject *cached_module = nullptr; // never released

PyObject *iter_prices_file(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                           PyObject *kwnames) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    static constexpr const char *kParameters[] = {"path"};
    PyObject *bound[1];
    PELARUNE_CHECK_OK(bind_arguments("iter_prices_file", kParameters, args, nargs, kwnames, bound));
    PricesIteratorRecord record;
    PELARUNE_TRY(record.records, load_file(bound[0], BadLines::Fail));
    // Failing for want of memory, the records go and the MemoryError stands.
    return create_instance(std::move(record));
  });
}

PyMethodDef iter_prices_file_definition = {
    "iter_prices_file",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&iter_prices_file)),
    METH_FASTCALL | METH_KEYWORDS,
    "iter_prices_file(path)\n--\n\n",
};

// Appends `name` to __all__ (creating the list when missing) and sets the attribute.
Status add_to_module(PyObject *module, PyObject *name, PyObject *value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return Error::take_current();
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0)
      return Error::take_current();
  }
  if (!PyList_Check(all.get()))
    return Error(PyExc_TypeError, "__all__ is not a list");
  if (PyList_Append(all.get(), name) < 0 || PyObject_SetAttr(module, name, value) < 0)
    return Error::take_current();
  return ok();
}

Status add_type(PyObject *module, const char *name, PyTypeObject *type) {
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text)
    return Error::take_current();
  return add_to_module(module, text.get(), reinterpret_cast<PyObject *>(type));
}

Status initialise(PyObject *module) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name)
    return Error::take_current();
  PyRef function =
      PyRef::steal(PyCMethod_New(&iter_prices_file_definition, module, module_name.get(), nullptr));
  if (!function)
    return Error::take_current();
  PyRef function_name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name)
    return Error::take_current();
  if (!PyUnicode_Check(function_name.get()))
    return conversion_error(function_name.get(), "PyString");
  PELARUNE_CHECK_OK(add_to_module(module, function_name.get(), function.get()));
  PELARUNE_CHECK_OK(add_type(module, "PricesIterator", class_object<PricesIteratorRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "MarketBook", class_object<MarketBookRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "Runner", class_object<RunnerRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "ExchangePrices", class_object<ExchangePricesRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "StartingPrices", class_object<StartingPricesRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "PriceSize", class_object<PriceSizeRecord>()));
  PELARUNE_CHECK_OK(add_type(module, "MarketDefinition", class_object<MarketDefinitionRecord>()));
  PELARUNE_CHECK_OK(
      add_type(module, "MarketDefinitionRunner", class_object<MarketDefinitionRunnerRecord>()));
  return ok();
}

} // namespace
} // namespace pelarune

PyMODINIT_FUNC PyInit_pelarune() {
  using namespace pelarune;
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> {
    PELARUNE_CHECK_OK(check_interpreter("pelarune"));
    if (cached_module != nullptr)
      return PyRef::borrow(cached_module);
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, 1013));
    if (!module)
      return Error::take_current();
    PELARUNE_CHECK_OK(initialise(module.get()));
    if (cached_module == nullptr)
      cached_module = module.clone().release();
    return PyRef::borrow(cached_module);
  });
}
