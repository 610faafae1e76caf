// A definition value kept with its JSON kind, for the readers that take any kind (Python's truth
// test and str(), betfairlightweight's strip_datetime). This file stays free of Python.
#pragma once

#include <cstdint>
#include <string>

namespace pelarune {

struct RawValue {
  // An array or object keeps its kind and whether it is empty, not its items.
  enum class Kind : uint8_t { Absent, Null, Bool, UInt, NegInt, Double, Text, Array, Object };
  Kind kind = Kind::Absent;
  bool non_empty = false; // a true bool, or an array or object with items
  uint64_t uint = 0;
  int64_t negint = 0;
  double number = 0.0;
  std::string text;

  bool is_text() const noexcept { return kind == Kind::Text; }

  friend bool operator==(const RawValue &, const RawValue &) = default;
};

} // namespace pelarune
