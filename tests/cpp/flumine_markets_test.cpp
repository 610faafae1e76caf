// The calendar and flumine's market set without an interpreter: which definition times the
// engine reads itself, and that every other one is asked of the reader the replay supplies.
#include "market/flumine_markets.h"

#include "json_for_tests.h"
#include "market/civil_time.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace pelarune;

namespace {

TEST(CivilCalendar, DaysRoundTripAcrossEras) {
  int checked = 0;
  for (int64_t days = -1'000'000; days <= 1'000'000; days += 97, ++checked) {
    CivilTime time;
    civil_from_days(days, time.year, time.month, time.day);
    ASSERT_EQ(days_from_civil(time.year, time.month, time.day), days) << days;
  }
  EXPECT_GT(checked, 20'000);
  EXPECT_EQ(days_from_civil(2021, 3, 1), 18687);
  EXPECT_EQ(days_from_civil(1969, 12, 31), -1);
}

TEST(ExchangeTime, OnlyTheExchangesFormOfATimeThatExists) {
  std::optional<CivilTime> leap = parse_exchange_time("2024-02-29T23:59:59.999Z");
  ASSERT_TRUE(leap);
  EXPECT_EQ(epoch_microseconds(*leap),
            (days_from_civil(2024, 3, 1) * 86400 - 1) * 1000000 + 999000);
  // Each of these goes to the reader, which may read it otherwise or not at all.
  for (const char *text :
       {"2023-02-29T00:00:00.000Z", "2100-02-29T00:00:00.000Z", "0000-01-01T00:00:00.000Z",
        "2021-04-31T00:00:00.000Z", "2021-03-01T24:00:00.000Z", "2021-03-01T14:60:00.000Z",
        "2021-03-01T14:30:60.000Z", "2021-03-01T14:30:00Z", "2021-03-01T14:30:00.0000Z",
        "2021-3-01T14:30:00.000Z", "2021-03-01T14:30:00.000+00:00", "2021-03-01 14:30:00.000Z", ""})
    EXPECT_FALSE(parse_exchange_time(text)) << text;
}

// Hands out one time for every value it is asked about, and keeps what it was asked.
class FixedReader final : public TimeReader {
public:
  std::optional<int64_t> epoch_microseconds(const RawValue &given) override {
    asked.push_back(given);
    return time;
  }
  std::optional<int64_t> time;
  std::vector<RawValue> asked;
};

// Whether one record with this marketTime (JSON text) at 14:00, half an hour before the
// exchange-form time, passes `seconds_to_start: 600`.
bool passes(const std::string &market_time, TimeReader *reader) {
  FlumineMarkets markets;
  markets.filters.seconds_to_start = 600;
  markets.time_reader = reader;
  Json changes(R"([{"id": "1.5", "marketDefinition": {"status": "OPEN", "marketTime": )" +
               market_time + "}}]");
  return markets.apply_record(changes.array(),
                              days_from_civil(2021, 3, 1) * 86400000 + 14 * 3600000);
}

TEST(FlumineMarketSet, MarketTimeOutsideTheExchangesFormIsAskedOfTheReader) {
  FixedReader reader;
  EXPECT_FALSE(passes(R"("2021-03-01T14:30:00.000Z")", &reader));
  EXPECT_TRUE(reader.asked.empty());

  // The reader's time decides: here the record's own publish time, or none at all.
  reader.time = days_from_civil(2021, 3, 1) * 86400000000 + 14 * 3600000000;
  EXPECT_TRUE(passes(R"("2021-3-1T14:30:00.000Z")", &reader));
  reader.time.reset();
  EXPECT_TRUE(passes("1614609000000", &reader));
  ASSERT_EQ(reader.asked.size(), 2u);
  EXPECT_EQ(reader.asked[0].text, "2021-3-1T14:30:00.000Z");
  EXPECT_EQ(reader.asked[1].kind, RawValue::Kind::UInt);
  EXPECT_EQ(reader.asked[1].uint, 1614609000000u);

  // With no reader only the exchange's form gives a time; no time filters nothing.
  EXPECT_TRUE(passes(R"("2021-3-1T14:30:00.000Z")", nullptr));
  EXPECT_FALSE(passes(R"("2021-03-01T14:30:00.000Z")", nullptr));
}

} // namespace
