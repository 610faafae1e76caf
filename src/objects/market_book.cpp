// The MarketBook class: attributes, the writable streaming_unique_id and the class object.
#include "objects/market_book.h"

#include "binding/arguments.h"
#include "binding/convert.h"
#include "objects/to_dict.h"

#include <climits>

namespace pelarune {
namespace {

using MarketBook = Instance<MarketBookRecord>;

constexpr const char *kStreamingUniqueId = "streaming_unique_id";

// The value is converted before the receiver is checked, so a bad value is reported first.
int market_book_set_streaming_unique_id(PyObject *self, PyObject *value, void *) noexcept {
  return enter<int>(-1, [&]() -> Status {
    if (value == nullptr)
      return Error(PyExc_AttributeError, "can't delete attribute");
    std::optional<int32_t> id;
    if (value != Py_None) {
      long number = PyLong_AsLong(value);
      if (number == -1 && PyErr_Occurred())
        return argument_error(kStreamingUniqueId, Error::take_current());
      if (number < INT32_MIN || number > INT32_MAX)
        return Error(PyExc_OverflowError, "out of range integral type conversion attempted");
      id = int32_t(number);
    }
    PELARUNE_TRY(MarketBook * book, receiver<MarketBookRecord>(self));
    PELARUNE_TRY(auto access, ExclusiveAccess::take(*book));
    book->record.streaming_unique_id = id;
    return ok();
  });
}

// The stored references, numbers and flags. The getters of a book take shared access to it, but
// no Python code runs while the streaming_unique_id setter holds exclusive access (it converts its
// value before taking it), so no read could ever be refused and the interpreter reads these itself.
PyMemberDef market_book_members[] = {
    PELARUNE_MEMBER(MarketBookRecord, publish_time),
    PELARUNE_MEMBER(MarketBookRecord, bet_delay),
    PELARUNE_MEMBER(MarketBookRecord, bsp_reconciled),
    PELARUNE_MEMBER(MarketBookRecord, complete),
    PELARUNE_MEMBER(MarketBookRecord, cross_matching),
    // The book spells in_play without the underscore.
    member<MarketBookRecord>("inplay", &MarketBookRecord::in_play),
    PELARUNE_MEMBER(MarketBookRecord, number_of_active_runners),
    PELARUNE_MEMBER(MarketBookRecord, number_of_runners),
    PELARUNE_MEMBER(MarketBookRecord, number_of_winners),
    PELARUNE_MEMBER(MarketBookRecord, runners_voidable),
    PELARUNE_MEMBER(MarketBookRecord, total_matched),
    PELARUNE_MEMBER(MarketBookRecord, market_definition),
    PELARUNE_MEMBER(MarketBookRecord, runners),
    {},
};

PyGetSetDef market_book_getset[] = {
    {"publish_time_epoch", field_getter<MarketBookRecord, &MarketBookRecord::publish_time_epoch>,
     nullptr, "publish_time in epoch milliseconds (int, for flumine compatibility)", nullptr},
    PELARUNE_FIELD(MarketBookRecord, market_id),
    PELARUNE_FIELD(MarketBookRecord, version),
    PELARUNE_FIELD(MarketBookRecord, status),
    PELARUNE_FIELD(MarketBookRecord, last_match_time),
    PELARUNE_NONE("bet_delay_models"),
    PELARUNE_NONE("elapsed_time"),
    PELARUNE_NONE("is_market_data_delayed"),
    PELARUNE_NONE("key_line_description"),
    PELARUNE_NONE("price_ladder_definition"),
    PELARUNE_NONE("suspend_reason"),
    PELARUNE_NONE("total_available"),
    PELARUNE_TRUE("streaming_snap"),
    PELARUNE_NONE("streaming_update"),
    {kStreamingUniqueId, field_getter<MarketBookRecord, &MarketBookRecord::streaming_unique_id>,
     market_book_set_streaming_unique_id,
     "Streaming unique ID (set by stream for flumine compatibility)", nullptr},
    {},
};

PyMethodDef market_book_methods[] = {
    {"to_dict", market_book_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConvert to a dict matching betfairutil lightweight format (for "
     "testing)"},
    {},
};

} // namespace

template <> PyTypeObject *class_object<MarketBookRecord>() {
  static PyTypeObject *type = make_class<MarketBookRecord>(
      "A market book snapshot", market_book_members, market_book_getset, market_book_methods);
  return type;
}

} // namespace pelarune
