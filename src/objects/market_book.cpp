// The MarketBook class: attributes, the writable streaming_unique_id and the class object.
#include "objects/market_book.h"

#include "binding/arguments.h"
#include "objects/market_definition.h"
#include "objects/record_surface.h"
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

// The definition's, which only flumine's replay fills: None on pelarune's books.
PyObject *market_book_price_ladder_definition(PyObject *self, void *) noexcept {
  PyObject *definition = record_of<MarketBookRecord>(self).market_definition.get();
  if (definition == Py_None)
    Py_RETURN_NONE;
  return Py_NewRef(record_of<MarketDefinitionRecord>(definition).price_ladder_definition.get());
}

// The stored references, numbers and flags. The getters of a book take shared access to it, but
// no Python code runs while the streaming_unique_id setter holds exclusive access (it converts its
// value before taking it), so no read could ever be refused and the interpreter reads these itself.
#define PELARUNE_ROW_MEMBER(store, name, type, init, ...)                                          \
  PELARUNE_MEMBER_ROW(MarketBookRecord, name,                                                      \
                      PELARUNE_BOOK_COLUMNS(__VA_ARGS__).attribute_or(#name))
#define PELARUNE_ROW_GETTER(store, name, type, init, ...)                                          \
  PELARUNE_GETTER_ROW(MarketBookRecord, name,                                                      \
                      PELARUNE_BOOK_COLUMNS(__VA_ARGS__).attribute_or(#name),                      \
                      PELARUNE_BOOK_COLUMNS(__VA_ARGS__).doc)

// clang-format off
auto market_book_members = attribute_table<PyMemberDef>({
    PELARUNE_MEMBER(MarketBookRecord, publish_time),
    PELARUNE_BOOK_FIELDS(PELARUNE_ROW_MEMBER)
    PELARUNE_MEMBER(MarketBookRecord, market_definition),
    PELARUNE_MEMBER(MarketBookRecord, runners),
});

auto market_book_getset = attribute_table<PyGetSetDef>({
    PELARUNE_BOOK_FIELDS(PELARUNE_ROW_GETTER)
    PELARUNE_NONE("bet_delay_models"),
    PELARUNE_NONE("elapsed_time"),
    PELARUNE_NONE("is_market_data_delayed"),
    PELARUNE_NONE("key_line_description"),
    {"price_ladder_definition", market_book_price_ladder_definition, nullptr, nullptr, nullptr},
    PELARUNE_NONE("suspend_reason"),
    PELARUNE_NONE("total_available"),
    PELARUNE_TRUE("streaming_snap"),
    PELARUNE_NONE("streaming_update"),
    {kStreamingUniqueId, field_getter<MarketBookRecord, &MarketBookRecord::streaming_unique_id>,
     market_book_set_streaming_unique_id,
     "Streaming unique ID (set by stream for flumine compatibility)", nullptr},
});
// clang-format on

PyMethodDef market_book_methods[] = {
    {"to_dict", market_book_to_dict, METH_NOARGS,
     "to_dict($self)\n--\n\nConvert to a dict matching betfairutil lightweight format (for "
     "testing)"},
    {},
};

} // namespace

template <> PyTypeObject *class_object<MarketBookRecord>() {
  static PyTypeObject *type =
      make_class<MarketBookRecord>("A market book snapshot", market_book_members.data(),
                                   market_book_getset.data(), market_book_methods);
  return type;
}

} // namespace pelarune
