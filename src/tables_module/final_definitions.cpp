// The last market definition of each market of a loaded file as Python values.
#include "tables_module/final_definitions.h"

#include "binding/convert.h"
#include "binding/entry.h"
#include "tables/final_definitions.h"

namespace pelarune {
namespace {

// A parsed value as json.loads gives it: the loader's depth limit (127) bounds the recursion.
PyRef python_value(JsonValue value) {
  if (value.is_null())
    return none();
  if (value.is_bool())
    return to_python(value.bool_value());
  if (value.is_uint())
    return created(PyLong_FromUnsignedLongLong(value.uint_value()));
  if (value.is_negint())
    return to_python(value.negint_value());
  if (value.is_double())
    return to_python(value.double_value());
  if (value.is_string())
    return to_python(value.string_value());
  if (value.is_array()) {
    JsonArray items = value.array();
    PyRef list = created(PyList_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (JsonValue item : items)
      PyList_SET_ITEM(list.get(), i++, python_value(item).release()); // steals
    return list;
  }
  PyRef dict = created(PyDict_New());
  // In line order: a key given twice keeps its first place and its last value, as in json.loads.
  for (JsonMember member : value.object()) {
    PyRef key = to_python(member.key);
    if (PyDict_SetItem(dict.get(), key.get(), python_value(member.value).get()) < 0)
      api_call_failed();
  }
  return dict;
}

} // namespace

PyRef final_definitions_dict(const MessageStore &records) {
  PyRef markets = created(PyDict_New());
  for (const FinalDefinition &market : final_definitions(records)) {
    PyRef key = to_python(market.market_id);
    PyRef definition = market.definition ? python_value(market.definition) : none();
    if (PyDict_SetItem(markets.get(), key.get(), definition.get()) < 0)
      api_call_failed();
  }
  return markets;
}

} // namespace pelarune
