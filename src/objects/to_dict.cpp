// MarketBook.to_dict(): new dicts, lists and values on every call, read from the book, its
// Runners and its MarketDefinition as they are when the call starts.
#include "objects/to_dict.h"

#include "binding/convert.h"
#include "objects/classes.h"

#include <array>
#include <ranges>
#include <span>
#include <string_view>

namespace pelarune {
namespace {

// Export keys, spelled as in the output. A key that several dicts use is listed once.
constexpr std::string_view kMarketId = "marketId";
constexpr std::string_view kStatus = "status";
constexpr std::string_view kBetDelay = "betDelay";
constexpr std::string_view kBspReconciled = "bspReconciled";
constexpr std::string_view kComplete = "complete";
constexpr std::string_view kCrossMatching = "crossMatching";
constexpr std::string_view kInplay = "inplay"; // the book's spelling; the definition has kInPlay
constexpr std::string_view kNumberOfActiveRunners = "numberOfActiveRunners";
constexpr std::string_view kNumberOfRunners = "numberOfRunners";
constexpr std::string_view kNumberOfWinners = "numberOfWinners";
constexpr std::string_view kRunnersVoidable = "runnersVoidable";
constexpr std::string_view kTotalMatched = "totalMatched";
constexpr std::string_view kVersion = "version";
constexpr std::string_view kLastMatchTime = "lastMatchTime";
constexpr std::string_view kPublishTime = "publishTime";
constexpr std::string_view kRunners = "runners";
constexpr std::string_view kMarketDefinition = "marketDefinition";

constexpr std::string_view kSelectionId = "selectionId";
constexpr std::string_view kHandicap = "handicap";
constexpr std::string_view kAdjustmentFactor = "adjustmentFactor";
constexpr std::string_view kLastPriceTraded = "lastPriceTraded";
constexpr std::string_view kRemovalDate = "removalDate";
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

constexpr std::string_view kBettingType = "bettingType";
constexpr std::string_view kBspMarket = "bspMarket";
constexpr std::string_view kCountryCode = "countryCode";
constexpr std::string_view kDiscountAllowed = "discountAllowed";
constexpr std::string_view kEventId = "eventId";
constexpr std::string_view kEventName = "eventName";
constexpr std::string_view kEventTypeId = "eventTypeId";
constexpr std::string_view kInPlay = "inPlay";
constexpr std::string_view kMarketBaseRate = "marketBaseRate";
constexpr std::string_view kMarketTime = "marketTime";
constexpr std::string_view kMarketType = "marketType";
constexpr std::string_view kName = "name";
constexpr std::string_view kOpenDate = "openDate";
constexpr std::string_view kPersistenceEnabled = "persistenceEnabled";
constexpr std::string_view kRegulators = "regulators";
constexpr std::string_view kSuspendTime = "suspendTime";
constexpr std::string_view kTimezone = "timezone";
constexpr std::string_view kTurnInPlayEnabled = "turnInPlayEnabled";
constexpr std::string_view kVenue = "venue";

constexpr std::string_view kId = "id";
constexpr std::string_view kSortPriority = "sortPriority";
constexpr std::string_view kHc = "hc";
constexpr std::string_view kBsp = "bsp";

// Every key above, once: the key objects are made from this list.
// clang-format off
constexpr std::string_view kKeys[] = {
    kMarketId, kStatus, kBetDelay, kBspReconciled, kComplete, kCrossMatching, kInplay,
    kNumberOfActiveRunners, kNumberOfRunners, kNumberOfWinners, kRunnersVoidable, kTotalMatched,
    kVersion, kLastMatchTime, kPublishTime, kRunners, kMarketDefinition,
    kSelectionId, kHandicap, kAdjustmentFactor, kLastPriceTraded, kRemovalDate, kEx, kSp,
    kAvailableToBack, kAvailableToLay, kTradedVolume, kNearPrice, kFarPrice, kActualSp,
    kBackStakeTaken, kLayLiabilityTaken, kPrice, kSize,
    kBettingType, kBspMarket, kCountryCode, kDiscountAllowed, kEventId, kEventName,
    kEventTypeId, kInPlay, kMarketBaseRate, kMarketTime, kMarketType, kName, kOpenDate,
    kPersistenceEnabled, kRegulators, kSuspendTime, kTimezone, kTurnInPlayEnabled, kVenue,
    kId, kSortPriority, kHc, kBsp,
};
// clang-format on

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

consteval bool keys_distinct() {
  for (size_t i = 0; i < std::size(kKeys); ++i)
    for (size_t j = 0; j < i; ++j)
      if (kKeys[i] == kKeys[j])
        return false;
  return true;
}
static_assert(keys_distinct(), "an export key is listed twice");

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
  void put(KeySlot key, PyRef value) {
    if (PyDict_SetItem(dict_.get(), keys_[key], value.get()) < 0) [[unlikely]]
      api_call_failed();
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
  dict.put(at(kSelectionId), to_python(runner.selection_id));
  dict.put(at(kHandicap), to_python(runner.handicap));
  dict.put(at(kStatus), runner.status.clone()); // the Runner's own str
  dict.put(at(kAdjustmentFactor), to_python(runner.adjustment_factor));
  dict.put(at(kLastPriceTraded), to_python(runner.last_price_traded));
  dict.put(at(kTotalMatched), to_python(runner.total_matched));
  dict.put(at(kRemovalDate), to_python(runner.removal_date));
  PELARUNE_TRY(PyRef ex, exchange_dict(keys, held<ExchangePricesRecord>(runner.ex.get())));
  dict.put(at(kEx), std::move(ex));
  dict.put(at(kSp), starting_price_dict(keys, runner.starting_prices));
  return std::move(dict).done();
}

// Optional keys are left out rather than written as None.
Result<PyRef> definition_runner_dict(const ExportKeys &keys,
                                     const MarketDefinitionRunnerRecord &runner) {
  DictBuilder dict(keys);
  dict.put(at(kId), to_python(runner.selection_id));
  dict.put(at(kSortPriority), to_python(runner.sort_priority));
  dict.put(at(kStatus), to_python(runner.status));
  if (runner.adjustment_factor)
    dict.put(at(kAdjustmentFactor), to_python(*runner.adjustment_factor));
  if (runner.name)
    dict.put(at(kName), to_python(*runner.name));
  // A NaN handicap compares unequal and is written; -0.0 compares equal and is not.
  if (runner.handicap != 0.0)
    dict.put(at(kHc), to_python(runner.handicap));
  if (runner.removal_date)
    dict.put(at(kRemovalDate), to_python(*runner.removal_date));
  if (runner.bsp)
    dict.put(at(kBsp), to_python(*runner.bsp));
  return std::move(dict).done();
}

// Keys in alphabetical order; the times as the stream wrote them, not the datetimes.
Result<PyRef> definition_dict(const ExportKeys &keys, const MarketDefinitionRecord &definition) {
  auto convert_runner = [&](const MarketDefinitionRunnerRecord &runner) {
    return definition_runner_dict(keys, runner);
  };
  PELARUNE_TRY(PyRef runners, convert_list<MarketDefinitionRunnerRecord>(definition.runners.get(),
                                                                         convert_runner));
  DictBuilder dict(keys);
  dict.put(at(kBetDelay), to_python(definition.bet_delay));
  dict.put(at(kBettingType), to_python(definition.betting_type));
  dict.put(at(kBspMarket), to_python(definition.bsp_market));
  dict.put(at(kBspReconciled), to_python(definition.bsp_reconciled));
  dict.put(at(kComplete), to_python(definition.complete));
  dict.put(at(kCountryCode), to_python(definition.country_code));
  dict.put(at(kCrossMatching), to_python(definition.cross_matching));
  dict.put(at(kDiscountAllowed), to_python(definition.discount_allowed));
  dict.put(at(kEventId), to_python(definition.event_id));
  dict.put(at(kEventName), to_python(definition.event_name));
  dict.put(at(kEventTypeId), to_python(definition.event_type_id));
  dict.put(at(kInPlay), to_python(definition.in_play));
  dict.put(at(kMarketBaseRate), to_python(definition.market_base_rate));
  dict.put(at(kMarketTime), to_python(definition.market_time_text));
  dict.put(at(kMarketType), to_python(definition.market_type));
  dict.put(at(kName), to_python(definition.name));
  dict.put(at(kNumberOfActiveRunners), to_python(definition.number_of_active_runners));
  dict.put(at(kNumberOfWinners), to_python(definition.number_of_winners));
  dict.put(at(kOpenDate), to_python(definition.open_date_text));
  dict.put(at(kPersistenceEnabled), to_python(definition.persistence_enabled));
  dict.put(at(kRegulators), to_python(definition.regulators));
  dict.put(at(kRunners), std::move(runners));
  dict.put(at(kRunnersVoidable), to_python(definition.runners_voidable));
  dict.put(at(kStatus), to_python(definition.status));
  dict.put(at(kSuspendTime), to_python(definition.suspend_time_text));
  dict.put(at(kTimezone), to_python(definition.timezone));
  dict.put(at(kTurnInPlayEnabled), to_python(definition.turn_in_play_enabled));
  dict.put(at(kVenue), to_python(definition.venue));
  dict.put(at(kVersion), to_python(definition.version));
  return std::move(dict).done();
}

Result<PyRef> book_dict(const MarketBookRecord &book) {
  const ExportKeys &keys = ExportKeys::get();
  auto convert_runner = [&](const RunnerRecord &runner) { return runner_dict(keys, runner); };
  PELARUNE_TRY(PyRef runners, convert_list<RunnerRecord>(book.runners.get(), convert_runner));
  DictBuilder dict(keys);
  dict.put(at(kMarketId), to_python(book.market_id));
  dict.put(at(kStatus), to_python(book.status));
  dict.put(at(kBetDelay), to_python(book.bet_delay));
  dict.put(at(kBspReconciled), to_python(book.bsp_reconciled));
  dict.put(at(kComplete), to_python(book.complete));
  dict.put(at(kCrossMatching), to_python(book.cross_matching));
  dict.put(at(kInplay), to_python(book.in_play));
  dict.put(at(kNumberOfActiveRunners), to_python(book.number_of_active_runners));
  dict.put(at(kNumberOfRunners), to_python(book.number_of_runners));
  dict.put(at(kNumberOfWinners), to_python(book.number_of_winners));
  dict.put(at(kRunnersVoidable), to_python(book.runners_voidable));
  dict.put(at(kTotalMatched), to_python(book.total_matched));
  dict.put(at(kVersion), to_python(book.version));
  dict.put(at(kLastMatchTime), to_python(book.last_match_time));
  dict.put(at(kPublishTime), to_python(book.publish_time_epoch));
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
