// Market changes applied to a market state: key conversions, runner addressing, definitions,
// image resets, derived counts and the change counters that drive object reuse.
#include "market/market_state.h"

#include "json_for_tests.h"
#include "ladder_levels.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace pelarune;

namespace {

void apply_json(MarketState &market, const std::string &change, int64_t publish_time_epoch = 1) {
  Json json(change);
  market.apply_change(json.value(), publish_time_epoch);
}

RunnerState *runner(MarketState &market, int64_t selection_id, double handicap = 0.0) {
  auto it = market.runners.find(RunnerKey{selection_id, handicap_key(handicap)});
  return it == market.runners.end() ? nullptr : &it->second;
}

PriceValue text_price(std::string text) {
  return {PriceValue::Kind::Text, 0.0, std::move(text)};
}
PriceValue number_price(double number) {
  return {PriceValue::Kind::Number, number, ""};
}

constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

} // namespace

// 5 but not 5.0; unsigned values up to 2^63 - 1; 32-bit fields keep the low 32 bits.
TEST(MarketChangeKeys, IntegerRules) {
  MarketState market("1.1");
  apply_json(market, R"({"betDelay": 3, "version": 9223372036854775807})");
  apply_json(market, R"({"betDelay": 5.0, "version": 9223372036854775808})");
  apply_json(market, R"({"version": 18446744073709551615, "lastMatchTime": 7.0})");
  EXPECT_EQ(market.definition.bet_delay, 3);
  EXPECT_EQ(market.definition.version, kInt64Max);
  EXPECT_FALSE(market.last_match_time);
  apply_json(market, R"({"betDelay": 4294967297, "version": -3,
                         "lastMatchTime": -9223372036854775808})");
  EXPECT_EQ(market.definition.bet_delay, 1);
  EXPECT_EQ(market.definition.version, -3);
  EXPECT_EQ(market.last_match_time, kInt64Min);
  apply_json(market, R"({"betDelay": -1, "marketDefinition": {"numberOfWinners": 4294967295}})");
  EXPECT_EQ(market.definition.bet_delay, -1);
  EXPECT_EQ(market.definition.number_of_winners, -1);
}

TEST(MarketChangeKeys, WrongTypesLeaveFieldsUnchanged) {
  MarketState market("1.1");
  apply_json(market, R"({"status": "SUSPENDED", "inPlay": true, "tv": 12.5, "complete": false,
                    "marketDefinition": {"eventId": "31389771", "regulators": ["A", 3, "B"]}})");
  EXPECT_EQ(market.definition.regulators, (std::vector<std::string>{"A", "B"}));
  apply_json(market, R"({"status": 1, "inPlay": "false", "tv": "3", "complete": 0, "inplay": false,
                    "marketDefinition": {"eventId": 123, "regulators": "C", "venue": null}})");
  EXPECT_EQ(market.definition.status, "SUSPENDED");
  EXPECT_TRUE(market.definition.in_play);
  EXPECT_FALSE(market.definition.complete);
  EXPECT_EQ(market.total_matched, 12.5);
  EXPECT_EQ(market.definition.event_id, "31389771");
  EXPECT_EQ(market.definition.regulators, (std::vector<std::string>{"A", "B"}));
  EXPECT_FALSE(market.definition.venue);
  apply_json(market, R"({"tv": 7, "marketDefinition": {"regulators": []}})");
  EXPECT_EQ(market.total_matched, 7.0); // any number is a float
  EXPECT_TRUE(market.definition.regulators.empty());
}

TEST(MarketChangeKeys, LaterValueWins) {
  MarketState market("1.1");
  apply_json(market, R"({"betDelay": 1, "betDelay": 2, "rc": [{"id": 7, "ltp": 3, "ltp": 4}],
                         "status": "CLOSED", "marketDefinition": {"status": "OPEN"}})");
  EXPECT_EQ(market.definition.bet_delay, 2);
  EXPECT_EQ(runner(market, 7)->last_price_traded, 4.0);
  EXPECT_EQ(market.definition.status, "CLOSED"); // the change level beats its own definition
  // A later duplicate of the wrong type still hides the earlier value.
  apply_json(market, R"({"betDelay": 5, "betDelay": 6.0})");
  EXPECT_EQ(market.definition.bet_delay, 2);
}

TEST(MarketChangeKeys, NonObjectChangeOnlyMovesPublishTime) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1}, {"id": 2, "status": "REMOVED"}]})", 10);
  for (const char *change : {"[1, 2]", "5", "null", "\"rc\""}) {
    apply_json(market, change, 20);
    EXPECT_EQ(market.publish_time_epoch, 20) << change;
    EXPECT_EQ(market.number_of_runners, 2);
    EXPECT_EQ(market.definition.number_of_active_runners, 1);
  }
  EXPECT_EQ(market.definition_generation, 0u);
}

TEST(MarketChangeKeys, StartingPricesTakeAnyValue) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1, "spn": "NaN", "spf": 4}]})");
  EXPECT_EQ(runner(market, 1)->near_price, text_price("NaN"));
  EXPECT_EQ(runner(market, 1)->far_price, number_price(4.0));
  apply_json(market, R"({"rc": [{"id": 1, "spf": 5.5}]})"); // no "spn": near price stays
  EXPECT_EQ(runner(market, 1)->near_price, text_price("NaN"));
  apply_json(market, R"({"rc": [{"id": 1, "spn": null, "spf": [1]}]})");
  EXPECT_EQ(runner(market, 1)->near_price, PriceValue{});
  EXPECT_EQ(runner(market, 1)->far_price, PriceValue{});
}

TEST(MarketChangeKeys, RunnerChangeNeedsAnIntegerId) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 7.0}, {"id": "7"}, {"ltp": 2}, [7], 7,
                           {"id": 9223372036854775808}]})");
  EXPECT_TRUE(market.runners.empty());
  apply_json(market, R"({"rc": [{"id": 7, "hc": "1.5", "ltp": 2}, {"id": -7, "hc": -0.25}]})");
  ASSERT_NE(runner(market, 7, 0.0), nullptr);
  EXPECT_EQ(runner(market, 7)->last_price_traded, 2.0);
  ASSERT_NE(runner(market, -7, -0.25), nullptr);
  EXPECT_EQ(runner(market, -7, -0.25)->handicap, -0.25);
}

TEST(MarketChangeKeys, RunnerChangeFields) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1, "status": "REMOVED", "adjustmentFactor": 12.5, "tv": 100,
                            "removalDate": "2022-04-19T18:00:00.000Z", "trd": [[2.0, 5]],
                            "spb": [[1.5, 2]], "spl": [[1.6, 3]], "atb": [[2.1, 4]],
                            "atl": [[2.2, 6]]}]})");
  RunnerState &r = *runner(market, 1);
  EXPECT_EQ(r.status, "REMOVED");
  EXPECT_EQ(r.adjustment_factor, 12.5);
  EXPECT_EQ(r.total_matched, 100.0);
  EXPECT_EQ(r.removal_date, "2022-04-19T18:00:00.000Z");
  EXPECT_FALSE(r.last_price_traded);
  EXPECT_EQ(levels(r.trd), (std::vector<LadderEntry>{{2.0, 5}}));
  EXPECT_EQ(levels(r.spb), (std::vector<LadderEntry>{{1.5, 2}}));
  EXPECT_EQ(levels(r.spl), (std::vector<LadderEntry>{{1.6, 3}}));
  EXPECT_EQ(levels(r.atb), (std::vector<LadderEntry>{{2.1, 4}}));
  EXPECT_EQ(levels(r.atl), (std::vector<LadderEntry>{{2.2, 6}}));
  apply_json(market, R"({"rc": [{"id": 1, "atb": {"2.1": 0}, "trd": "x"}]})");
  EXPECT_EQ(r.atb.size(), 1u);
  EXPECT_EQ(r.trd.size(), 1u);
}

TEST(HandicapKey, RoundsHalvesAwayFromZeroAndSaturates) {
  const std::pair<double, int64_t> cases[] = {
      {0.004, 0},
      {0.005, 1},
      {-0.005, -1},
      {0.125, 13},
      {-0.125, -13},
      {0.499, 50},
      {-0.0, 0},
      {9.2e16, 9200000000000000000},
      {1e300, kInt64Max},
      {-1e300, kInt64Min},
      {std::nan(""), 0},
      {std::numeric_limits<double>::infinity(), kInt64Max},
      // x 100 lands exactly on 2^63 (out of range) and on -2^63 (the minimum itself).
      {92233720368547758.08, kInt64Max},
      {-92233720368547758.08, kInt64Min}};
  for (auto [handicap, key] : cases)
    EXPECT_EQ(handicap_key(handicap), key) << handicap;
}

// The fast path against the library's half-away-from-zero rounding of the same product, over
// halves, their neighbours and the edge of the fast path at 2^52 / 100.
TEST(HandicapKey, AgreesWithLibraryRounding) {
  std::vector<double> handicaps = {2.675, 1e13, 4.5035996273704955e13, 4.503599627370497e13};
  for (int i = -2000; i <= 2000; ++i)
    for (double handicap : {i / 1000.0, (i + 0.5) / 100.0, std::nextafter((i + 0.5) / 100.0, 0.0)})
      handicaps.push_back(handicap);
  for (double handicap : handicaps) {
    EXPECT_EQ(handicap_key(handicap), int64_t(std::round(handicap * 100.0))) << handicap;
    EXPECT_EQ(handicap_key(-handicap), int64_t(std::round(-handicap * 100.0))) << -handicap;
  }
}

TEST(HandicapKey, AddressesRunnersInHundredths) {
  MarketState market("1.1");
  apply_json(market,
             R"({"rc": [{"id": 7, "hc": 0.5, "ltp": 1.1}, {"id": 7, "hc": 0.504, "ltp": 1.2},
                           {"id": 8, "hc": 0.004}, {"id": 8}, {"id": 8, "hc": 0.005},
                           {"id": 9, "hc": 1e300}, {"id": 9, "hc": 2e300}]})");
  EXPECT_EQ(market.runners.size(), 4u);
  EXPECT_EQ(runner(market, 7, 0.5)->handicap, 0.5); // the creating entry's value stays
  EXPECT_EQ(runner(market, 7, 0.5)->last_price_traded, 1.2);
  EXPECT_NE(runner(market, 8, 0.0), runner(market, 8, 0.01));
  EXPECT_EQ(runner(market, 9, 1e300)->handicap, 1e300);
}

TEST(HandicapKey, SortedRunnersFollowSelectionThenHandicapKey) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 5, "hc": -1}, {"id": 5}, {"id": 3, "hc": 2}]})");
  auto order = [&market] {
    std::vector<std::pair<int64_t, double>> keys;
    for (RunnerState *r : market.sorted_runners())
      keys.emplace_back(r->selection_id, r->handicap);
    return keys;
  };
  using Keys = std::vector<std::pair<int64_t, double>>;
  EXPECT_EQ(order(), (Keys{{3, 2.0}, {5, -1.0}, {5, 0.0}}));
  apply_json(market, R"({"rc": [{"id": 4}]})");
  EXPECT_EQ(order(), (Keys{{3, 2.0}, {4, 0.0}, {5, -1.0}, {5, 0.0}}));
  apply_json(market, R"({"img": true, "rc": [{"id": 1}]})");
  EXPECT_EQ(order(), (Keys{{1, 0.0}}));
}

// Each text holds its own key's name and each flag its non-default value, so a key routed to the
// wrong field shows.
TEST(DefinitionUpdate, FieldsAreSetAndMissingKeysKeepTheirValues) {
  MarketState market("1.1");
  apply_json(market, R"({"marketDefinition": {
      "status": "status", "betDelay": 1, "bspReconciled": true, "complete": false,
      "crossMatching": false, "inPlay": true, "runnersVoidable": true, "numberOfWinners": 3,
      "eventId": "eventId", "eventTypeId": "eventTypeId", "eventName": "eventName",
      "marketType": "marketType", "marketTime": "marketTime", "countryCode": "countryCode",
      "venue": "venue", "raceType": "raceType", "bspMarket": true, "persistenceEnabled": false,
      "eachWayDivisor": 4, "timezone": "timezone", "turnInPlayEnabled": true,
      "bettingType": "bettingType", "name": "name", "discountAllowed": true,
      "marketBaseRate": 5, "regulators": ["regulators"], "openDate": "openDate",
      "suspendTime": "suspendTime", "settledTime": "settledTime", "version": 42,
      "numberOfActiveRunners": 9, "numberOfRunners": 9, "totalMatched": 9, "lastMatchTime": 9}})");
  apply_json(market, R"({"marketDefinition": {"betDelay": 2}})");
  const MarketDefinitionData &d = market.definition;
  const std::pair<const std::optional<std::string> *, const char *> texts[] = {
      {&d.event_id, "eventId"},         {&d.event_type_id, "eventTypeId"},
      {&d.event_name, "eventName"},     {&d.market_type, "marketType"},
      {&d.country_code, "countryCode"}, {&d.venue, "venue"},
      {&d.race_type, "raceType"},       {&d.timezone, "timezone"},
      {&d.betting_type, "bettingType"}, {&d.name, "name"}};
  for (auto [field, key] : texts)
    EXPECT_EQ(*field, key);
  const std::pair<const RawValue *, const char *> times[] = {{&d.market_time_raw, "marketTime"},
                                                             {&d.open_date_raw, "openDate"},
                                                             {&d.suspend_time_raw, "suspendTime"},
                                                             {&d.settled_time_raw, "settledTime"}};
  for (auto [field, key] : times)
    EXPECT_EQ(field->text, key);
  EXPECT_EQ(d.status, "status");
  EXPECT_EQ(d.regulators, std::vector<std::string>{"regulators"});
  const bool flags[] = {
      d.bsp_reconciled,   !d.complete,  !d.cross_matching,      d.in_play,
      d.runners_voidable, d.bsp_market, !d.persistence_enabled, d.turn_in_play_enabled,
      d.discount_allowed};
  for (size_t i = 0; i < std::size(flags); ++i)
    EXPECT_TRUE(flags[i]) << "flag " << i;
  EXPECT_EQ(d.bet_delay, 2);
  EXPECT_EQ(d.number_of_winners, 3);
  EXPECT_EQ(d.each_way_divisor, 4.0);
  EXPECT_EQ(d.market_base_rate, 5.0);
  EXPECT_EQ(d.version, 42);
  // Counts, total matched and last match time never come from the definition.
  EXPECT_EQ(market.definition.number_of_active_runners, 0);
  EXPECT_EQ(market.number_of_runners, 0);
  EXPECT_EQ(market.total_matched, 0.0);
  EXPECT_FALSE(market.last_match_time);
  EXPECT_EQ(market.definition_generation, 2u);
}

TEST(DefinitionUpdate, NullDefinitionOnlyAdvancesGeneration) {
  MarketState market("1.1");
  apply_json(market, R"({"marketDefinition": {"status": "SUSPENDED"}})");
  apply_json(market, R"({"marketDefinition": null})");
  apply_json(market, R"({"marketDefinition": [{"status": "OPEN"}]})");
  EXPECT_EQ(market.definition_generation, 3u);
  EXPECT_EQ(market.definition.status, "SUSPENDED");
}

TEST(DefinitionUpdate, RunnerEntriesReplaceTheListWhole) {
  MarketState market("1.1");
  apply_json(market, R"({"marketDefinition": {"runners": [
      {"id": 1, "hc": -1.5, "sortPriority": 2, "status": "REMOVED", "adjustmentFactor": 3.5,
       "name": "One", "bsp": 4.2, "removalDate": "R"},
      {"id": "2", "status": "WINNER"}, 7, {"id": 3, "bsp": "NaN", "hc": "1"}]}})");
  ASSERT_EQ(market.runner_definitions.size(), 4u);
  const RunnerDefinitionData &first = market.runner_definitions[0];
  EXPECT_EQ(first.selection_id, 1);
  EXPECT_EQ(first.handicap, -1.5);
  EXPECT_EQ(first.sort_priority, 2);
  EXPECT_EQ(first.status, "REMOVED");
  EXPECT_EQ(first.adjustment_factor, 3.5);
  EXPECT_EQ(first.name, "One");
  EXPECT_EQ(first.bsp, 4.2);
  EXPECT_EQ(first.removal_date, "R");
  // An entry without an accepted id is listed with id 0 but makes no runner.
  EXPECT_EQ(market.runner_definitions[1].selection_id, 0);
  EXPECT_EQ(market.runner_definitions[1].status, "WINNER");
  // A non-object entry still yields a default record.
  const RunnerDefinitionData &plain = market.runner_definitions[2];
  EXPECT_EQ(plain.selection_id, 0);
  EXPECT_EQ(plain.status, "ACTIVE");
  EXPECT_FALSE(plain.adjustment_factor || plain.bsp || plain.removal_date || plain.name);
  EXPECT_FALSE(market.runner_definitions[3].bsp); // a text bsp is no number for the record
  EXPECT_EQ(market.runner_definitions[3].handicap, 0.0);

  EXPECT_EQ(market.runners.size(), 2u);
  RunnerState &one = *runner(market, 1, -1.5);
  EXPECT_EQ(one.status, "REMOVED");
  EXPECT_EQ(one.actual_sp, number_price(4.2));
  EXPECT_EQ(one.adjustment_factor, 3.5);
  EXPECT_EQ(one.removal_date, "R");
  EXPECT_EQ(runner(market, 3)->actual_sp, text_price("NaN"));

  apply_json(market, R"({"marketDefinition": {"runners": [{"id": 9}]}})");
  ASSERT_EQ(market.runner_definitions.size(), 1u);
  EXPECT_EQ(market.runner_definitions[0].selection_id, 9);
  EXPECT_FALSE(market.runner_definitions[0].name); // nothing left over from the longer list
  apply_json(market, R"({"marketDefinition": {"venue": "V"}})");
  EXPECT_EQ(market.runner_definitions.size(), 1u);
  apply_json(market, R"({"marketDefinition": {"runners": []}})");
  EXPECT_TRUE(market.runner_definitions.empty());
  EXPECT_EQ(market.runners.size(), 3u); // leaving the definition removes no runner
}

TEST(DefinitionUpdate, EntryWithoutBspOrStatus) {
  MarketState market("1.1");
  apply_json(market,
             R"({"marketDefinition": {"runners": [{"id": 1, "bsp": 4.2, "status": "LOSER"}]}})");
  apply_json(market, R"({"marketDefinition": {"runners": [{"id": 1}]}})");
  EXPECT_EQ(runner(market, 1)->actual_sp, PriceValue{}); // reset to absent
  EXPECT_EQ(runner(market, 1)->status, "LOSER");         // left as it was
  EXPECT_EQ(market.runner_definitions[0].status, "ACTIVE");
}

TEST(DefinitionUpdate, RunnerStatusesDriveTheCounts) {
  MarketState market("1.1");
  apply_json(market, R"({"marketDefinition": {"runners": [{"id": 1}, {"id": 2}, {"id": 3}]}})");
  EXPECT_EQ(market.number_of_runners, 3);
  EXPECT_EQ(market.definition.number_of_active_runners, 3);
  apply_json(market, R"({"marketDefinition": {"runners": [{"id": 1, "status": "REMOVED"}]}})");
  EXPECT_EQ(market.number_of_runners, 3);
  EXPECT_EQ(market.definition.number_of_active_runners, 2);
  apply_json(market, R"({"rc": [{"id": 4}, {"id": 2, "status": "active"}]})");
  EXPECT_EQ(market.number_of_runners, 4);
  EXPECT_EQ(market.definition.number_of_active_runners, 2); // status compares byte for byte
  apply_json(market, R"({"rc": [{"id": 2, "status": "ACTIVE"}]})");
  EXPECT_EQ(market.definition.number_of_active_runners, 3);
}

TEST(ImageReset, OnlyTrueRemovesRunners) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1}]})");
  for (const char *img : {"false", "\"true\"", "1", "null"}) {
    apply_json(market, std::string(R"({"img": )") + img + "}");
    EXPECT_EQ(market.runners.size(), 1u) << img;
  }
  apply_json(market, R"({"img": true})");
  EXPECT_TRUE(market.runners.empty());
  EXPECT_EQ(market.number_of_runners, 0);
  EXPECT_EQ(market.definition.number_of_active_runners, 0);
}

TEST(ImageReset, RecreatedRunnersStartFromDefaults) {
  MarketState market("1.1");
  apply_json(market, R"({"marketDefinition": {"venue": "V", "runners": [{"id": 1}, {"id": 3}]},
                    "rc": [{"id": 1, "ltp": 2, "atb": [[2, 5]], "spn": 3, "status": "LOSER"},
                           {"id": 2, "atl": [[3, 1]]}, {"id": 3, "tv": 9}]})");
  // The image applies before the rest of its own change.
  apply_json(market, R"({"img": true, "rc": [{"id": 1, "atl": [[4, 1]]}, {"id": 2, "tv": 1}]})");
  ASSERT_EQ(market.runners.size(), 2u);
  RunnerState &one = *runner(market, 1);
  EXPECT_EQ(one.status, "ACTIVE");
  EXPECT_FALSE(one.last_price_traded);
  EXPECT_EQ(one.near_price, PriceValue{});
  EXPECT_TRUE(one.atb.empty());
  EXPECT_EQ(one.atl.size(), 1u);
  EXPECT_EQ(one.change_counter, 1u);
  EXPECT_EQ(one.atl.change_counter(), 1u);
  EXPECT_TRUE(runner(market, 2)->atl.empty());
  // Definition fields and the definition's runner list survive the image.
  EXPECT_EQ(market.definition.venue, "V");
  EXPECT_EQ(market.runner_definitions.size(), 2u);
  EXPECT_EQ(market.number_of_runners, 2);
}

namespace {
int g_released = 0;
} // namespace

// The engine's tests hold no Python objects: a slot's object is a token, counted when released.
void pelarune::release_cached_object(CachedObject *) noexcept {
  ++g_released;
}

TEST(ImageReset, CachedObjectsAreReleasedOnceAndNotInherited) {
  g_released = 0;
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1, "ltp": 2}, {"id": 2}]})");
  auto *token = reinterpret_cast<CachedObject *>(&g_released);
  for (RunnerState *r : market.sorted_runners()) {
    r->cached_runner.set(token, r->change_counter);
    r->cached_atb.set(token, r->atb.change_counter());
  }
  market.cached_definition.set(token, 0);
  apply_json(market, R"({"img": true})");
  EXPECT_EQ(g_released, 4);
  apply_json(market, R"({"rc": [{"id": 1, "ltp": 2}]})");
  RunnerState &again = *runner(market, 1);
  // Same counter value as its predecessor's cached object, yet nothing to hand out.
  EXPECT_EQ(again.change_counter, 1u);
  EXPECT_EQ(again.cached_runner.get_if_built_at(1), nullptr);
  EXPECT_EQ(again.cached_atb.get_if_built_at(0), nullptr);
  EXPECT_EQ(g_released, 4);
  EXPECT_NE(market.cached_definition.get_if_built_at(0), nullptr); // not the image's
}

TEST(ChangeCounters, RunnerChangeAdvancesOnlyWhenSomethingChanged) {
  MarketState market("1.1");
  apply_json(market, R"({"rc": [{"id": 1}]})");
  RunnerState &r = *runner(market, 1);
  EXPECT_EQ(r.change_counter, 0u);
  apply_json(market, R"({"rc": [{"id": 1, "ltp": 2.5, "tv": 0, "status": "ACTIVE"}]})");
  EXPECT_EQ(r.change_counter, 1u); // only ltp differed
  for (const char *same :
       {R"({"id": 1, "ltp": 2.5})", R"({"id": 1, "tv": 0.0, "status": "ACTIVE"})",
        R"({"id": 1, "atb": [[3, 0]], "trd": []})", R"({"id": 1, "adjustmentFactor": "1"})"}) {
    apply_json(market, std::string(R"({"rc": [)") + same + "]}");
    EXPECT_EQ(r.change_counter, 1u) << same;
  }
  apply_json(market, R"({"rc": [{"id": 1, "spn": 3}]})");
  apply_json(market, R"({"rc": [{"id": 1, "spn": 3}]})"); // a present near price always counts
  apply_json(market, R"({"rc": [{"id": 1, "spf": null}]})");
  EXPECT_EQ(r.change_counter, 4u);
  apply_json(market,
             R"({"rc": [{"id": 1, "adjustmentFactor": 1}, {"id": 1, "removalDate": "D"}]})");
  EXPECT_EQ(r.change_counter, 6u); // one advance per runner change
}

TEST(ChangeCounters, LaddersAdvanceOncePerChangingBatch) {
  MarketState market("1.1");
  apply_json(market,
             R"({"rc": [{"id": 1, "atb": [[2, 1], [3, 1]], "atl": [[4, 1]], "trd": [[2, 1]]}]})");
  RunnerState &r = *runner(market, 1);
  EXPECT_EQ(r.change_counter, 1u);
  EXPECT_EQ(r.atb.change_counter(), 1u);
  EXPECT_EQ(r.trd.change_counter(), 1u);
  apply_json(market, R"({"rc": [{"id": 1, "atb": [[2, 1]], "atl": [[4, 2]], "trd": [[2, 1]]}]})");
  EXPECT_EQ(r.change_counter, 2u);
  EXPECT_EQ(r.atb.change_counter(), 1u);
  EXPECT_EQ(r.atl.change_counter(), 2u);
  EXPECT_EQ(r.trd.change_counter(), 1u);
  EXPECT_EQ(r.spb.change_counter(), 0u);
}

TEST(ChangeCounters, EveryDefinitionAdvancesItsListedRunners) {
  MarketState market("1.1");
  const std::string definition =
      R"({"marketDefinition": {"runners": [{"id": 1, "status": "ACTIVE"}, {"id": 2}]}})";
  apply_json(market, definition);
  apply_json(market, R"({"rc": [{"id": 3}]})");
  apply_json(market, definition);
  EXPECT_EQ(runner(market, 1)->change_counter, 2u);
  EXPECT_EQ(runner(market, 2)->change_counter, 2u);
  EXPECT_EQ(runner(market, 3)->change_counter, 0u);
  EXPECT_EQ(market.definition_generation, 2u);
  apply_json(market, R"({"marketDefinition": {"runners": [{"id": 1}, {"id": 1}]}})");
  EXPECT_EQ(runner(market, 1)->change_counter, 4u); // once per entry naming it
}
