// Out-of-line parts of the class machinery: the conversion error and creation failure.
#include "binding/class_object.h"

namespace pelarune {

Error conversion_error(PyObject *object, const char *expected) {
  std::string type_name = "<failed to extract type name>";
  if (PyObject *qualname = PyType_GetQualName(Py_TYPE(object))) {
    if (const char *utf8 = PyUnicode_AsUTF8(qualname))
      type_name = utf8;
    else
      PyErr_Clear();
    Py_DECREF(qualname);
  } else {
    PyErr_Clear();
  }
  return Error(PyExc_TypeError,
               "'" + type_name + "' object cannot be converted to '" + expected + "'");
}

void class_creation_failed(const char *name) {
  throw Panic(std::string("failed to create type object for ") + name);
}

} // namespace pelarune
