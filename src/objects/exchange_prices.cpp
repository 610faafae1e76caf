// The ExchangePrices class: attributes and class object.
#include "objects/exchange_prices.h"

#include "binding/convert.h"

namespace pelarune {
namespace {

// The access flag guards nothing a read could see: nothing takes exclusive access to these.
PyMemberDef exchange_prices_members[] = {
    PELARUNE_MEMBER(ExchangePricesRecord, available_to_back),
    PELARUNE_MEMBER(ExchangePricesRecord, available_to_lay),
    PELARUNE_MEMBER(ExchangePricesRecord, traded_volume),
    {},
};

} // namespace

template <> PyTypeObject *class_object<ExchangePricesRecord>() {
  static PyTypeObject *type = make_class<ExchangePricesRecord>(
      "Exchange prices for a runner (back/lay/traded)", exchange_prices_members, nullptr, nullptr);
  return type;
}

} // namespace pelarune
