// The StartingPrices class: a runner's starting prices, with the two starting-price ladders
// turned into new PriceSize lists on each read.
#include "objects/starting_prices.h"

#include "binding/convert.h"
#include "objects/price_size.h"

namespace pelarune {

PyObject *new_value(const PriceValue &value) noexcept {
  switch (value.kind) {
  case PriceValue::Kind::Number:
    return new_value(value.number);
  case PriceValue::Kind::Text:
    return new_value(value.text);
  case PriceValue::Kind::Absent:
    break;
  }
  return Py_NewRef(Py_None);
}

namespace {

using StartingPrices = Instance<StartingPricesRecord>;

template <auto Field> PyObject *starting_prices_get_price(PyObject *self, void *) noexcept {
  PyObject *value = new_value(record_of<StartingPricesRecord>(self).data.*Field);
  return value != nullptr ? value : creation_failed();
}

template <auto Field> PyObject *starting_prices_get_ladder(PyObject *self, void *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(StartingPrices * prices, receiver<StartingPricesRecord>(self));
    return price_size_list(entries(prices->record.data.*Field));
  });
}

PyGetSetDef starting_prices_getset[] = {
    {"near_price", starting_prices_get_price<&StartingPriceData::near_price>, nullptr, nullptr,
     nullptr},
    {"far_price", starting_prices_get_price<&StartingPriceData::far_price>, nullptr, nullptr,
     nullptr},
    {"actual_sp", starting_prices_get_price<&StartingPriceData::actual_sp>, nullptr, nullptr,
     nullptr},
    {"back_stake_taken", starting_prices_get_ladder<&StartingPriceData::back_stake_taken>, nullptr,
     nullptr, nullptr},
    {"lay_liability_taken", starting_prices_get_ladder<&StartingPriceData::lay_liability_taken>,
     nullptr, nullptr, nullptr},
    {},
};

} // namespace

template <> PyTypeObject *class_object<StartingPricesRecord>() {
  static PyTypeObject *type = make_class<StartingPricesRecord>(
      "Starting prices for a runner", nullptr, starting_prices_getset, nullptr);
  return type;
}

} // namespace pelarune
