// The ExchangePrices class: attributes and class object.
#include "objects/exchange_prices.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

PyGetSetDef exchange_prices_getset[] = {
    PELARUNE_FIELD(ExchangePricesRecord, available_to_back),
    PELARUNE_FIELD(ExchangePricesRecord, available_to_lay),
    PELARUNE_FIELD(ExchangePricesRecord, traded_volume),
    {},
};

} // namespace

template <> PyTypeObject *class_object<ExchangePricesRecord>() {
  static PyTypeObject *type = make_class<ExchangePricesRecord>(
      "Exchange prices for a runner (back/lay/traded)", exchange_prices_getset, nullptr);
  return type;
}

} // namespace pelarune
