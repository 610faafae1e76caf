// Book assembly with object reuse: the cache slots of the market state hold the Python objects,
// each with the counter it was built at, and are compared against the counters now.
#include "objects/build_book.h"

#include "binding/convert.h"
#include "objects/classes.h"
#include "objects/time_conversion.h"

namespace pelarune {
namespace {

void release_object(void *object) noexcept {
  Py_DECREF(static_cast<PyObject *>(object));
}

// Caches a new reference to `object` in `slot` as built at `counter`.
void cache(ObjectSlot &slot, const PyRef &object, uint64_t counter) noexcept {
  slot.set(object.clone().release(), release_object, counter); // steals
}

// The ladder's PriceSize list: the cached one while the ladder's counter stands still.
Result<PyRef> ladder_list(const PriceLadder &ladder, ObjectSlot &slot,
                          std::vector<LadderEntry> &scratch) {
  if (void *cached = slot.get_if_built_at(ladder.change_counter()))
    return PyRef::borrow(static_cast<PyObject *>(cached));
  ladder.sorted_entries_into(scratch);
  PELARUNE_TRY(PyRef list, price_size_list(scratch));
  cache(slot, list, ladder.change_counter());
  return list;
}

// The ladder's snapshot: the previous Runner's while the ladder's counter stands still.
LadderSnapshot snapshot(const PriceLadder &ladder, const LadderSnapshot *previous,
                        uint64_t previous_counter) {
  if (previous != nullptr && previous_counter == ladder.change_counter())
    return *previous;
  if (ladder.empty())
    return nullptr;
  return std::make_shared<const std::vector<LadderEntry>>(ladder.sorted_entries());
}

[[gnu::noinline]] Result<PyRef> build_runner(RunnerState &runner,
                                             std::vector<LadderEntry> &scratch) {
  // The slot holds only Runners, whatever counter the one there was built at.
  const RunnerRecord *previous = nullptr;
  if (void *object = runner.cached_runner.get())
    previous = &static_cast<Instance<RunnerRecord> *>(object)->record;
  StartingPriceData starting_prices{
      .back_stake_taken =
          snapshot(runner.spl, previous ? &previous->starting_prices.back_stake_taken : nullptr,
                   previous ? previous->spl_counter : 0),
      .lay_liability_taken =
          snapshot(runner.spb, previous ? &previous->starting_prices.lay_liability_taken : nullptr,
                   previous ? previous->spb_counter : 0),
      .near_price = runner.near_price,
      .far_price = runner.far_price,
      .actual_sp = runner.actual_sp,
  };
  PELARUNE_TRY(PyRef atb, ladder_list(runner.atb, runner.cached_atb, scratch));
  PELARUNE_TRY(PyRef atl, ladder_list(runner.atl, runner.cached_atl, scratch));
  PELARUNE_TRY(PyRef trd, ladder_list(runner.trd, runner.cached_trd, scratch));
  PELARUNE_TRY(PyRef ex, create_instance(ExchangePricesRecord{
                             .available_to_back = std::move(atb),
                             .available_to_lay = std::move(atl),
                             .traded_volume = std::move(trd),
                         }));
  PELARUNE_TRY(PyRef object, create_instance(RunnerRecord{
                                 .adjustment_factor = runner.adjustment_factor,
                                 .last_price_traded = runner.last_price_traded,
                                 .starting_prices = std::move(starting_prices),
                                 .removal_date = runner.removal_date,
                                 .status = to_python(runner.status),
                                 .ex = std::move(ex),
                                 .selection_id = runner.selection_id,
                                 .handicap = runner.handicap,
                                 .total_matched = runner.total_matched,
                                 .spl_counter = runner.spl.change_counter(),
                                 .spb_counter = runner.spb.change_counter(),
                             }));
  cache(runner.cached_runner, object, runner.change_counter);
  return object;
}

// The runner's Runner: the cached one while the runner's counter stands still.
Result<PyRef> runner_object(RunnerState &runner, std::vector<LadderEntry> &scratch) {
  if (void *cached = runner.cached_runner.get_if_built_at(runner.change_counter)) [[likely]]
    return PyRef::borrow(static_cast<PyObject *>(cached));
  return build_runner(runner, scratch);
}

[[gnu::noinline]] Result<PyRef> build_definition(MarketState &market) {
  const std::vector<RunnerDefinitionData> &entries = market.runner_definitions;
  PyRef runners = created(PyList_New(Py_ssize_t(entries.size())));
  Py_ssize_t i = 0;
  for (const RunnerDefinitionData &entry : entries) {
    PELARUNE_TRY(PyRef runner, create_instance(MarketDefinitionRunnerRecord{entry}));
    PyList_SET_ITEM(runners.get(), i++, runner.release()); // steals
  }
  PELARUNE_TRY(PyRef market_time, parse_definition_time(market.market_time));
  PELARUNE_TRY(PyRef open_date, parse_definition_time(market.open_date));
  PELARUNE_TRY(PyRef suspend_time, parse_definition_time(market.suspend_time));
  PELARUNE_TRY(PyRef settled_time, parse_definition_time(market.settled_time));
  PELARUNE_TRY(PyRef object, create_instance(MarketDefinitionRecord{
                                 .each_way_divisor = market.each_way_divisor,
                                 .regulators = market.regulators,
                                 .status = market.status,
                                 .event_id = market.event_id,
                                 .event_type_id = market.event_type_id,
                                 .event_name = market.event_name,
                                 .market_type = market.market_type,
                                 .country_code = market.country_code,
                                 .venue = market.venue,
                                 .race_type = market.race_type,
                                 .name = market.name,
                                 .timezone = market.timezone,
                                 .betting_type = market.betting_type,
                                 .market_time_text = market.market_time,
                                 .open_date_text = market.open_date,
                                 .suspend_time_text = market.suspend_time,
                                 .runners = std::move(runners),
                                 .market_time = std::move(market_time),
                                 .open_date = std::move(open_date),
                                 .suspend_time = std::move(suspend_time),
                                 .settled_time = std::move(settled_time),
                                 .market_base_rate = market.market_base_rate,
                                 .version = market.version,
                                 .bet_delay = market.bet_delay,
                                 .number_of_winners = market.number_of_winners,
                                 .number_of_active_runners = market.number_of_active_runners,
                                 .bsp_market = market.bsp_market,
                                 .persistence_enabled = market.persistence_enabled,
                                 .turn_in_play_enabled = market.turn_in_play_enabled,
                                 .discount_allowed = market.discount_allowed,
                                 .bsp_reconciled = market.bsp_reconciled,
                                 .complete = market.complete,
                                 .cross_matching = market.cross_matching,
                                 .in_play = market.in_play,
                                 .runners_voidable = market.runners_voidable,
                             }));
  cache(market.cached_definition, object, market.definition_generation);
  return object;
}

// The MarketDefinition while no new definition arrived; None before the first one.
Result<PyRef> definition_object(MarketState &market) {
  if (market.definition_generation == 0)
    return none();
  if (void *cached = market.cached_definition.get_if_built_at(market.definition_generation))
    return PyRef::borrow(static_cast<PyObject *>(cached));
  return build_definition(market);
}

} // namespace

Result<PyRef> build_book(MarketState &market, std::vector<LadderEntry> &scratch) {
  const std::vector<RunnerState *> &order = market.sorted_runners();
  PyRef runners = created(PyList_New(Py_ssize_t(order.size())));
  Py_ssize_t i = 0;
  for (RunnerState *runner : order) {
    PELARUNE_TRY(PyRef object, runner_object(*runner, scratch));
    PyList_SET_ITEM(runners.get(), i++, object.release()); // steals
  }
  PELARUNE_TRY(PyRef definition, definition_object(market));
  PELARUNE_TRY(PyRef publish_time, epoch_millis_to_datetime(market.publish_time_epoch));
  return create_instance(MarketBookRecord{
      .last_match_time = market.last_match_time,
      .market_id = market.market_id,
      .status = market.status,
      .streaming_unique_id = std::nullopt,
      .publish_time = std::move(publish_time),
      .runners = std::move(runners),
      .market_definition = std::move(definition),
      .publish_time_epoch = market.publish_time_epoch,
      .total_matched = market.total_matched,
      .version = market.version,
      .bet_delay = market.bet_delay,
      .number_of_active_runners = market.number_of_active_runners,
      .number_of_runners = market.number_of_runners,
      .number_of_winners = market.number_of_winners,
      .bsp_reconciled = market.bsp_reconciled,
      .complete = market.complete,
      .cross_matching = market.cross_matching,
      .inplay = market.in_play,
      .runners_voidable = market.runners_voidable,
  });
}

} // namespace pelarune
