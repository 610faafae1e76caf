// Expands the rows of the field tables (market/record_fields.h) into a class's attribute tables:
// a field is a member slot when the interpreter reads its type itself, else a getter.
#pragma once

#include "binding/convert.h"
#include "market/market_definition.h"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace pelarune {

template <class Record, auto Field>
using FieldType = std::remove_cvref_t<decltype(std::declval<const Record &>().*Field)>;

// The field's member slot under `attribute`, or an empty entry when a getter shows it or when it
// has no attribute (nullptr).
template <class Record, auto Field> PyMemberDef member_row(const char *attribute) {
  if constexpr (kMemberType<FieldType<Record, Field>>) {
    if (attribute != nullptr)
      return member<Record>(attribute, Field);
  }
  return {};
}

// The field's getter, or an empty entry as above.
template <class Record, auto Field>
PyGetSetDef getter_row(const char *attribute, const char *doc = nullptr) {
  if constexpr (!kMemberType<FieldType<Record, Field>>) {
    if (attribute != nullptr)
      return {attribute, field_getter<Record, Field>, nullptr, doc, nullptr};
  }
  return {};
}

// A class's attribute table: the entries given less the empty ones a field's row leaves in the
// table that does not show it, closed by an empty entry.
template <class Def, size_t N> std::array<Def, N + 1> attribute_table(const Def (&entries)[N]) {
  std::array<Def, N + 1> table{};
  size_t n = 0;
  for (const Def &entry : entries)
    if (entry.name != nullptr)
      table[n++] = entry;
  return table;
}

} // namespace pelarune

// A row's entry in the member table and in the getter table.
#define PELARUNE_MEMBER_ROW(Record, name, attribute)                                               \
  ::pelarune::member_row<Record, &Record::name>(attribute),
#define PELARUNE_GETTER_ROW(Record, name, attribute, ...)                                          \
  ::pelarune::getter_row<Record, &Record::name>(attribute __VA_OPT__(, ) __VA_ARGS__),
