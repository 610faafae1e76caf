// The PricesIterator class: iteration protocol over the loaded records.
#include "objects/prices_iterator.h"

#include "binding/convert.h"
#include "objects/build_book.h"

#include <optional>
#include <string_view>

namespace pelarune {
namespace {

using Iterator = Instance<PricesIteratorRecord>;

// Applies one record's changes: the first change naming a market creates it, and a change
// naming another market is left out whole, publish time included, since the iterator follows
// one market. Returns whether the record gives a book: the market exists and the record
// applied a change or had none.
bool apply_record(PricesIteratorRecord &iterator, const StreamMessage &message) {
  PELARUNE_CHECK(message.market_changes.is_array(), "a record's changes are not an array");
  JsonArray changes = message.market_changes.array();
  bool applied = false;
  for (JsonValue change : changes) {
    if (std::optional<std::string_view> market_id = named_market(change)) {
      if (!iterator.market)
        iterator.market = std::make_unique<MarketState>(std::string(*market_id));
      else if (*market_id != iterator.market->market_id)
        continue; // see test_iteration.py::TestOtherMarkets
    }
    if (!iterator.market)
      continue;
    iterator.market->apply_change(change, message.publish_time_epoch);
    applied = true;
  }
  return iterator.market && (applied || changes.empty());
}

PyObject *prices_iterator_iter(PyObject *self) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Iterator * iterator, receiver<PricesIteratorRecord>(self));
    PELARUNE_TRY(auto access, SharedAccess::take(*iterator));
    return PyRef::borrow(self);
  });
}

Py_ssize_t prices_iterator_len(PyObject *self) noexcept {
  return enter<Py_ssize_t>(-1, [&]() -> Result<Py_ssize_t> {
    PELARUNE_TRY(Iterator * iterator, receiver<PricesIteratorRecord>(self));
    PELARUNE_TRY(auto access, SharedAccess::take(*iterator));
    return Py_ssize_t(iterator->record.records.size());
  });
}

PyObject *prices_iterator_next(PyObject *self) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Iterator * iterator, receiver<PricesIteratorRecord>(self));
    PELARUNE_TRY(auto access, ExclusiveAccess::take(*iterator));
    PricesIteratorRecord &record = iterator->record;
    // A record that gives no book (before the market exists, or only other markets' changes)
    // is passed over in the same call, so the iteration ends only with the records.
    while (record.cursor < record.records.size()) {
      // Consumed before anything can fail: a failed build does not replay the record.
      const StreamMessage &message = record.records[record.cursor++];
      if (apply_record(record, message))
        return build_book(*record.market);
    }
    return PyRef(); // end of iteration: no object and no exception
  });
}

} // namespace

template <> PyTypeObject *class_object<PricesIteratorRecord>() {
  static PyTypeObject *type = make_class<PricesIteratorRecord>(
      "Iterator that yields MarketBook objects with object reuse", nullptr, nullptr, nullptr,
      {
          {Py_tp_iter, reinterpret_cast<void *>(&prices_iterator_iter)},
          {Py_tp_iternext, reinterpret_cast<void *>(&prices_iterator_next)},
          {Py_mp_length, reinterpret_cast<void *>(&prices_iterator_len)},
      });
  return type;
}

} // namespace pelarune
