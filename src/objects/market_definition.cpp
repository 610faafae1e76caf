// The MarketDefinition class: attributes and class object.
#include "objects/market_definition.h"

#include "objects/record_surface.h"

namespace pelarune {

PyObject *new_value(const RawValue &value) noexcept {
  switch (value.kind) {
  case RawValue::Kind::Bool:
    return new_value(value.non_empty);
  case RawValue::Kind::UInt:
    return PyLong_FromUnsignedLongLong(value.uint);
  case RawValue::Kind::NegInt:
    return new_value(value.negint);
  case RawValue::Kind::Double:
    return new_value(value.number);
  case RawValue::Kind::Text:
    return new_value(value.text);
  default:
    return Py_NewRef(Py_None);
  }
}

namespace {

// The status values show under their C++ names here (in_play, not the book's inplay).
#define PELARUNE_STATUS_MEMBER(store, name, type, init, ...)                                       \
  PELARUNE_ONLY_##store(PELARUNE_MEMBER_ROW(MarketDefinitionRecord, name, #name))
#define PELARUNE_STATUS_GETTER(store, name, type, init, ...)                                       \
  PELARUNE_ONLY_##store(PELARUNE_GETTER_ROW(MarketDefinitionRecord, name, #name))
// A hidden field has no attribute.
#define PELARUNE_OWN_ATTRIBUTE(name, ...)                                                          \
  (PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).hidden ? nullptr : #name)
#define PELARUNE_OWN_MEMBER(name, type, init, ...)                                                 \
  PELARUNE_MEMBER_ROW(MarketDefinitionRecord, name, PELARUNE_OWN_ATTRIBUTE(name, __VA_ARGS__))
#define PELARUNE_OWN_GETTER(name, type, init, ...)                                                 \
  PELARUNE_GETTER_ROW(MarketDefinitionRecord, name, PELARUNE_OWN_ATTRIBUTE(name, __VA_ARGS__))

// The line fields show on flumine's books only; pelarune's show None.
template <auto Field> PyObject *line_field_getter(PyObject *self, void *) noexcept {
  const MarketDefinitionRecord &record = record_of<MarketDefinitionRecord>(self);
  if (!record.line_fields_shown)
    return Py_NewRef(Py_None);
  PyObject *value = new_value(record.*Field);
  return value != nullptr ? value : creation_failed();
}
#define PELARUNE_LINE_FIELD(name)                                                                  \
  PyGetSetDef {                                                                                    \
#name, line_field_getter < &MarketDefinitionRecord::name>, nullptr, nullptr, nullptr           \
  }

// clang-format off
auto market_definition_members = attribute_table<PyMemberDef>({
    PELARUNE_MEMBER(MarketDefinitionRecord, runners),
    PELARUNE_MEMBER(MarketDefinitionRecord, market_time),
    PELARUNE_MEMBER(MarketDefinitionRecord, open_date),
    PELARUNE_MEMBER(MarketDefinitionRecord, suspend_time),
    PELARUNE_MEMBER(MarketDefinitionRecord, settled_time),
    PELARUNE_DEFINITION_FIELDS(PELARUNE_OWN_MEMBER)
    PELARUNE_BOOK_FIELDS(PELARUNE_STATUS_MEMBER)
});

auto market_definition_getset = attribute_table<PyGetSetDef>({
    PELARUNE_DEFINITION_FIELDS(PELARUNE_OWN_GETTER)
    PELARUNE_BOOK_FIELDS(PELARUNE_STATUS_GETTER)
    PELARUNE_NONE("key_line_definitions"),
    PELARUNE_LINE_FIELD(line_interval),
    PELARUNE_LINE_FIELD(line_max_unit),
    PELARUNE_LINE_FIELD(line_min_unit),
    PELARUNE_LINE_FIELD(price_ladder_definition),
    PELARUNE_NONE("suspend_reason"),
});
// clang-format on

} // namespace

template <> PyTypeObject *class_object<MarketDefinitionRecord>() {
  static PyTypeObject *type = make_class<MarketDefinitionRecord>(
      "Market definition - metadata about the market", market_definition_members.data(),
      market_definition_getset.data(), nullptr);
  return type;
}

} // namespace pelarune
