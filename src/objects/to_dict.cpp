// MarketBook.to_dict(): new dicts, lists and values on every call, read from the book, its
// Runners and its MarketDefinition as they are when the call starts.
#include "objects/to_dict.h"

#include "binding/convert.h"
#include "objects/classes.h"

#include <array>
#include <ranges>
#include <span>
#include <string_view>
#include <type_traits>

namespace pelarune {
namespace {

// Export keys of the values written out here; the fields' keys come from their tables.
constexpr std::string_view kRunners = "runners";
constexpr std::string_view kMarketDefinition = "marketDefinition";
constexpr std::string_view kEx = "ex";
constexpr std::string_view kSp = "sp";
constexpr std::string_view kAvailableToBack = "availableToBack";
constexpr std::string_view kAvailableToLay = "availableToLay";
constexpr std::string_view kTradedVolume = "tradedVolume";
constexpr std::string_view kNearPrice = "nearPrice";
constexpr std::string_view kFarPrice = "farPrice";
constexpr std::string_view kActualSp = "actualSP";
constexpr std::string_view kBackStakeTaken = "backStakeTaken";
constexpr std::string_view kLayLiabilityTaken = "layLiabilityTaken";
constexpr std::string_view kPrice = "price";
constexpr std::string_view kSize = "size";

#define PELARUNE_BOOK_EXPORT(store, name, type, init, ...)                                         \
  PELARUNE_BOOK_COLUMNS(__VA_ARGS__).dict_key,                                                     \
      PELARUNE_BOOK_COLUMNS(__VA_ARGS__).definition_dict_key,
#define PELARUNE_DEFINITION_EXPORT(name, type, init, ...)                                          \
  PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).dict_key,
#define PELARUNE_DEFINITION_RUNNER_EXPORT(name, type, init, ...)                                   \
  PELARUNE_DEFINITION_RUNNER_COLUMNS(__VA_ARGS__).dict_key,
#define PELARUNE_RUNNER_EXPORT(name, state_type, record_type, init, ...)                           \
  PELARUNE_RUNNER_COLUMNS(__VA_ARGS__).dict_key,

// Every export key, with repeats and "" (no key), as the tables give them.
// clang-format off
constexpr auto kKeyList = std::to_array<std::string_view>({
    kRunners, kMarketDefinition, kEx, kSp, kAvailableToBack, kAvailableToLay, kTradedVolume,
    kNearPrice, kFarPrice, kActualSp, kBackStakeTaken, kLayLiabilityTaken, kPrice, kSize,
    PELARUNE_BOOK_FIELDS(PELARUNE_BOOK_EXPORT)
    PELARUNE_DEFINITION_FIELDS(PELARUNE_DEFINITION_EXPORT)
    PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_DEFINITION_RUNNER_EXPORT)
    PELARUNE_RUNNER_FIELDS(PELARUNE_RUNNER_EXPORT)
});
// clang-format on

constexpr bool is_new_key(size_t i) {
  if (kKeyList[i].empty())
    return false;
  for (size_t j = 0; j < i; ++j)
    if (kKeyList[j] == kKeyList[i])
      return false;
  return true;
}

// Every export key, once: the key objects are made from this list.
constexpr auto kKeys = [] {
  constexpr size_t kCount = [] {
    size_t count = 0;
    for (size_t i = 0; i < kKeyList.size(); ++i)
      count += is_new_key(i);
    return count;
  }();
  std::array<std::string_view, kCount> keys{};
  size_t n = 0;
  for (size_t i = 0; i < kKeyList.size(); ++i)
    if (is_new_key(i))
      keys[n++] = kKeyList[i];
  return keys;
}();

struct KeySlot {
  size_t index;
};

// The slot of an export key in kKeys; a compile error for a key missing from the list.
consteval KeySlot at(std::string_view key) {
  for (size_t i = 0; i < std::size(kKeys); ++i)
    if (kKeys[i] == key)
      return KeySlot{i};
  throw "export key missing from kKeys";
}

// The slot of an export key, or -1 for "" (a field that is not exported).
consteval int slot_of(std::string_view key) {
  return key.empty() ? -1 : int(at(key).index);
}

// The key objects, made once per process and kept for its life like the class objects: inserting
// a key then costs no new str and no hashing (a str per insertion made the call twice as slow,
// and making the 57 keys afresh at every call cost about 3 us). Interned, so kept results share
// their keys with the interpreter's table, and Python code reading them with literal keys
// compares pointers.
class ExportKeys {
public:
  static const ExportKeys &get() {
    static const ExportKeys &keys = *new ExportKeys; // never destroyed: the interpreter may be gone
    return keys;
  }
  PyObject *operator[](KeySlot slot) const noexcept { return keys_[slot.index]; }
  PyObject *operator[](size_t slot) const noexcept { return keys_[slot]; }

private:
  ExportKeys() {
    for (size_t i = 0; i < std::size(kKeys); ++i) {
      PyObject *key = PyUnicode_FromStringAndSize(kKeys[i].data(), Py_ssize_t(kKeys[i].size()));
      if (key == nullptr) [[unlikely]]
        api_call_failed();
      PyUnicode_InternInPlace(&key); // may swap in the interned object, releasing ours
      keys_[i] = key;
    }
  }
  std::array<PyObject *, std::size(kKeys)> keys_{};
};

class DictBuilder {
public:
  explicit DictBuilder(const ExportKeys &keys) : keys_(keys), dict_(created(PyDict_New())) {}
  void put(KeySlot key, PyRef value) { put(key.index, std::move(value)); }
  void put(size_t key, PyRef value) {
    if (PyDict_SetItem(dict_.get(), keys_[key], value.get()) < 0) [[unlikely]]
      api_call_failed();
  }
  // A field under its key; nothing for a field that is not exported. With IfPresent, an optional
  // field only when present and a plain double only when not 0.0 (a NaN is written, -0.0 is not).
  template <int Slot, bool IfPresent = false, class T> void put_field(const T &value) {
    if constexpr (Slot < 0)
      return;
    else if constexpr (!IfPresent)
      put(size_t(Slot), to_python(value));
    else if constexpr (std::is_same_v<T, double>) {
      if (value != 0.0)
        put(size_t(Slot), to_python(value));
    } else if (value) {
      put(size_t(Slot), to_python(*value));
    }
  }
  PyRef done() && { return std::move(dict_); }

private:
  const ExportKeys &keys_;
  PyRef dict_;
};

// A reference the book's objects hold and the program alone sets, to an instance of Record.
template <class Record> Instance<Record> &held(PyObject *object) {
  PELARUNE_CHECK(Py_IS_TYPE(object, class_object<Record>()), "stored object of the wrong class");
  return *reinterpret_cast<Instance<Record> *>(object);
}

// A new list holding convert(record) for each element of `list`, which Python code may have
// changed, so its type and each element's class are checked. Nothing in the export runs Python
// code (a garbage collection waits for the interpreter loop), so the list stays as it is while
// it is read.
template <class Record, class Convert> Result<PyRef> convert_list(PyObject *list, Convert convert) {
  if (!PyList_Check(list)) [[unlikely]]
    return conversion_error(list, "PyList");
  return new_list(
      std::views::iota(Py_ssize_t(0), PyList_GET_SIZE(list)), [&](Py_ssize_t i) -> Result<PyRef> {
        PELARUNE_TRY(Instance<Record> * element, receiver<Record>(PyList_GET_ITEM(list, i)));
        return convert(element->record);
      });
}

PyRef price_size_dict(const ExportKeys &keys, double price, double size) {
  DictBuilder dict(keys);
  dict.put(at(kPrice), to_python(price));
  dict.put(at(kSize), to_python(size));
  return std::move(dict).done();
}

Result<PyRef> price_size_dicts(const ExportKeys &keys, PyObject *price_sizes) {
  return convert_list<PriceSizeRecord>(price_sizes, [&](const PriceSizeRecord &price_size) {
    return Result<PyRef>(price_size_dict(keys, price_size.price, price_size.size));
  });
}

PyRef price_size_dicts(const ExportKeys &keys, std::span<const LadderEntry> entries) {
  return new_list(entries, [&](const LadderEntry &entry) {
    return price_size_dict(keys, entry.price, entry.size);
  });
}

Result<PyRef> exchange_dict(const ExportKeys &keys, Instance<ExchangePricesRecord> &ex) {
  // Nothing in the program takes exclusive access to an ExchangePrices.
  PELARUNE_CHECK(ex.access_flag != -1, "ExchangePrices is exclusively borrowed");
  PELARUNE_TRY(auto access, SharedAccess::take(ex));
  PELARUNE_TRY(PyRef back, price_size_dicts(keys, ex.record.available_to_back.get()));
  PELARUNE_TRY(PyRef lay, price_size_dicts(keys, ex.record.available_to_lay.get()));
  PELARUNE_TRY(PyRef traded, price_size_dicts(keys, ex.record.traded_volume.get()));
  DictBuilder dict(keys);
  dict.put(at(kAvailableToBack), std::move(back));
  dict.put(at(kAvailableToLay), std::move(lay));
  dict.put(at(kTradedVolume), std::move(traded));
  return std::move(dict).done();
}

PyRef starting_price_dict(const ExportKeys &keys, const StartingPriceData &sp) {
  DictBuilder dict(keys);
  dict.put(at(kNearPrice), to_python(sp.near_price));
  dict.put(at(kFarPrice), to_python(sp.far_price));
  dict.put(at(kActualSp), to_python(sp.actual_sp));
  dict.put(at(kBackStakeTaken), price_size_dicts(keys, entries(sp.back_stake_taken)));
  dict.put(at(kLayLiabilityTaken), price_size_dicts(keys, entries(sp.lay_liability_taken)));
  return std::move(dict).done();
}

Result<PyRef> runner_dict(const ExportKeys &keys, const RunnerRecord &runner) {
  DictBuilder dict(keys);
#define PELARUNE_PUT(name, state_type, record_type, init, ...)                                     \
  dict.put_field<slot_of(PELARUNE_RUNNER_COLUMNS(__VA_ARGS__).dict_key)>(runner.name);
  PELARUNE_RUNNER_FIELDS(PELARUNE_PUT)
#undef PELARUNE_PUT
  PELARUNE_TRY(PyRef ex, exchange_dict(keys, held<ExchangePricesRecord>(runner.ex.get())));
  dict.put(at(kEx), std::move(ex));
  dict.put(at(kSp), starting_price_dict(keys, runner.starting_prices));
  return std::move(dict).done();
}

// Optional keys are left out rather than written as None.
Result<PyRef> definition_runner_dict(const ExportKeys &keys,
                                     const MarketDefinitionRunnerRecord &runner) {
  DictBuilder dict(keys);
#define PELARUNE_PUT(name, type, init, ...)                                                        \
  dict.put_field<slot_of(PELARUNE_DEFINITION_RUNNER_COLUMNS(__VA_ARGS__).dict_key),                \
                 PELARUNE_DEFINITION_RUNNER_COLUMNS(__VA_ARGS__).dict_if_present>(runner.name);
  PELARUNE_DEFINITION_RUNNER_FIELDS(PELARUNE_PUT)
#undef PELARUNE_PUT
  return std::move(dict).done();
}

// One key of a definition's dict: a field, or its runners where `put` is null.
struct DefinitionExport {
  std::string_view key;
  void (*put)(DictBuilder &, const MarketDefinitionRecord &);
};

// One key of the definition's dict, for the field `name`.
#define PELARUNE_DEFINITION_ENTRY(name, key)                                                       \
  DefinitionExport{key, [](DictBuilder &dict, const MarketDefinitionRecord &definition) {          \
                     dict.put_field<slot_of(key)>(definition.name);                                \
                   }},
#define PELARUNE_STATUS_EXPORT(store, name, type, init, ...)                                       \
  PELARUNE_ONLY_##store(                                                                           \
      PELARUNE_DEFINITION_ENTRY(name, PELARUNE_BOOK_COLUMNS(__VA_ARGS__).definition_dict_key))
#define PELARUNE_OWN_EXPORT(name, type, init, ...)                                                 \
  PELARUNE_DEFINITION_ENTRY(name, PELARUNE_DEFINITION_COLUMNS(__VA_ARGS__).dict_key)

// clang-format off
constexpr auto kDefinitionExportList = std::to_array<DefinitionExport>({
    {kRunners, nullptr},
    PELARUNE_BOOK_FIELDS(PELARUNE_STATUS_EXPORT)
    PELARUNE_DEFINITION_FIELDS(PELARUNE_OWN_EXPORT)
});
// clang-format on

// The definition's keys in alphabetical order, leaving out the fields that are not exported.
constexpr auto kDefinitionExports = [] {
  constexpr size_t kCount = [] {
    size_t count = 0;
    for (const DefinitionExport &entry : kDefinitionExportList)
      count += !entry.key.empty();
    return count;
  }();
  std::array<DefinitionExport, kCount> sorted{};
  size_t n = 0;
  for (const DefinitionExport &entry : kDefinitionExportList) {
    if (entry.key.empty())
      continue;
    size_t i = n++;
    for (; i > 0 && entry.key < sorted[i - 1].key; --i)
      sorted[i] = sorted[i - 1];
    sorted[i] = entry;
  }
  return sorted;
}();

// The times as the stream wrote them, not the datetimes.
Result<PyRef> definition_dict(const ExportKeys &keys, const MarketDefinitionRecord &definition) {
  auto convert_runner = [&](const MarketDefinitionRunnerRecord &runner) {
    return definition_runner_dict(keys, runner);
  };
  PELARUNE_TRY(PyRef runners, convert_list<MarketDefinitionRunnerRecord>(definition.runners.get(),
                                                                         convert_runner));
  DictBuilder dict(keys);
  for (const DefinitionExport &entry : kDefinitionExports) {
    if (entry.put != nullptr)
      entry.put(dict, definition);
    else
      dict.put(at(kRunners), std::move(runners));
  }
  return std::move(dict).done();
}

Result<PyRef> book_dict(const MarketBookRecord &book) {
  const ExportKeys &keys = ExportKeys::get();
  auto convert_runner = [&](const RunnerRecord &runner) { return runner_dict(keys, runner); };
  PELARUNE_TRY(PyRef runners, convert_list<RunnerRecord>(book.runners.get(), convert_runner));
  DictBuilder dict(keys);
#define PELARUNE_PUT(store, name, type, init, ...)                                                 \
  dict.put_field<slot_of(PELARUNE_BOOK_COLUMNS(__VA_ARGS__).dict_key)>(book.name);
  PELARUNE_BOOK_FIELDS(PELARUNE_PUT)
#undef PELARUNE_PUT
  dict.put(at(kRunners), std::move(runners));
  if (book.market_definition.get() != Py_None) {
    const auto &definition = held<MarketDefinitionRecord>(book.market_definition.get()).record;
    PELARUNE_TRY(PyRef exported, definition_dict(keys, definition));
    dict.put(at(kMarketDefinition), std::move(exported));
  }
  return std::move(dict).done();
}

} // namespace

PyObject *market_book_to_dict(PyObject *self, PyObject *) noexcept {
  return enter<PyObject *>(nullptr, [&]() -> Result<PyRef> {
    PELARUNE_TRY(Instance<MarketBookRecord> * book, receiver<MarketBookRecord>(self));
    PELARUNE_TRY(auto access, SharedAccess::take(*book));
    return book_dict(book->record);
  });
}

} // namespace pelarune
