// The initialisation of pelarune_flumine's native part, which the companion loads from pelarune's
// own library so that its books are pelarune's classes.
#include "binding/entry.h"
#include "flumine/replay.h"
#include "objects/load_file.h"

namespace pelarune {
namespace {

PyModuleDef flumine_module_definition = {
    PyModuleDef_HEAD_INIT,
    "pelarune_flumine._replay",
    "",
    0,
    flumine_replay_functions,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};
PyObject *cached_flumine_module = nullptr; // never released

} // namespace
} // namespace pelarune

PyMODINIT_FUNC PyInit__replay() {
  using namespace pelarune;
  return enter<PyObject *>(nullptr, []() -> Result<PyRef> {
    PELARUNE_CHECK_OK(check_interpreter("pelarune_flumine"));
    if (cached_flumine_module != nullptr)
      return PyRef::borrow(cached_flumine_module);
    PyRef module = PyRef::steal(PyModule_Create2(&flumine_module_definition, 1013));
    if (!module)
      return Error::take_current();
    auto *type = reinterpret_cast<PyObject *>(class_object<FlumineReplayRecord>());
    auto *loaded = reinterpret_cast<PyObject *>(class_object<LoadedFileRecord>());
    if (PyModule_AddObjectRef(module.get(), "FlumineReplay", type) < 0 ||
        PyModule_AddObjectRef(module.get(), "LoadedFile", loaded) < 0)
      return Error::take_current();
    cached_flumine_module = module.clone().release();
    return module;
  });
}
