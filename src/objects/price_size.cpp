// The PriceSize class: price and size, a positional repr and item access by name.
#include "objects/price_size.h"

#include "binding/arguments.h"
#include "binding/convert.h"

#include <charconv>
#include <cmath>
#include <string>

namespace pelarune {
namespace {

using PriceSize = Instance<PriceSizeRecord>;

// The shortest digits that read back as the same double (those of Python's float repr), laid
// out positionally: 2.0 as "2", 1e-7 as "0.0000001", 1e21 as "1" and 21 zeros.
void append_positional(std::string &out, double x) {
  if (std::isnan(x)) {
    out += "NaN";
    return;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return;
  }
  // Scientific form keeps the digits and the exponent apart: "-d.ddde+XX".
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
  PELARUNE_CHECK(ec == std::errc(), "double does not fit its shortest form");
  std::string_view text(buffer, size_t(end - buffer));
  if (text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e))
    if (c != '.')
      digits += c;
  int exponent = 0;
  std::string_view exponent_text = text.substr(e + 1);
  if (exponent_text.front() == '+')
    exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
  // Digits before the decimal point: the value is 0.d1d2...dn x 10^point.
  long point = long(exponent) + 1;
  long count = long(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(size_t(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(size_t(point - count), '0');
  } else {
    out.append(digits, 0, size_t(point));
    out += '.';
    out.append(digits, size_t(point));
  }
}

PyObject *price_size_repr(PyObject *self) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(PriceSize * price_size, receiver<PriceSizeRecord>(self));
    std::string text = "PriceSize(price=";
    append_positional(text, price_size->record.price);
    text += ", size=";
    append_positional(text, price_size->record.size);
    text += ')';
    return to_python(text);
  });
}

Result<PyRef> item(PriceSize &price_size, PyObject *key) {
  PELARUNE_TRY(std::string_view name, extract_str(key, "key"));
  if (name == "price")
    return to_python(price_size.record.price);
  if (name == "size")
    return to_python(price_size.record.size);
  return Error(PyExc_KeyError, std::string(name));
}

PyObject *price_size_getitem(PyObject *self, PyObject *key) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(PriceSize * price_size, receiver<PriceSizeRecord>(self));
    return item(*price_size, key);
  });
}

// Integer indexing (and so iteration) reaches the same keyed lookup and fails its key check.
PyObject *price_size_item(PyObject *self, Py_ssize_t index) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(PriceSize * price_size, receiver<PriceSizeRecord>(self));
    PyRef key = created(PyLong_FromSsize_t(index));
    return item(*price_size, key.get());
  });
}

PyMemberDef price_size_members[] = {
    PELARUNE_MEMBER(PriceSizeRecord, price),
    PELARUNE_MEMBER(PriceSizeRecord, size),
    {},
};

} // namespace

template <> PyTypeObject *class_object<PriceSizeRecord>() {
  static PyTypeObject *type = make_class<PriceSizeRecord>(
      "A price/size pair in the order book", price_size_members, nullptr, nullptr,
      {
          {Py_tp_repr, reinterpret_cast<void *>(&price_size_repr)},
          {Py_mp_subscript, reinterpret_cast<void *>(&price_size_getitem)},
          {Py_sq_item, reinterpret_cast<void *>(&price_size_item)},
      });
  return type;
}

// Ladders are listed as many PriceSize objects at a time: the class and its allocation are taken
// straight, once per list.
Result<PyRef> price_size_list(std::span<const LadderEntry> entries) {
  PyTypeObject *type = class_object<PriceSizeRecord>();
  PyRef list = created(PyList_New(Py_ssize_t(entries.size())));
  for (size_t i = 0; i < entries.size(); ++i) {
    PyObject *object = class_alloc<PriceSizeRecord>(type, 0);
    if (object == nullptr) [[unlikely]]
      return Error::take_current();
    new (&reinterpret_cast<PriceSize *>(object)->record)
        PriceSizeRecord{entries[i].price, entries[i].size};
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), object); // steals
  }
  return list;
}

} // namespace pelarune
