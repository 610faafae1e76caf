// The proleptic Gregorian calendar (Howard Hinnant's algorithms) and the exchange's own form of a
// definition time. This file stays free of Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace pelarune {

struct CivilTime {
  int64_t year = 1970;
  int month = 1, day = 1, hour = 0, minute = 0, second = 0, microsecond = 0;
};

constexpr int64_t days_from_civil(int64_t year, int64_t month, int64_t day) noexcept {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  int64_t year_of_era = year - era * 400;
  int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// Days since 1970-01-01 to a date.
constexpr void civil_from_days(int64_t days, int64_t &year, int &month, int &day) noexcept {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  auto day_of_era = uint64_t(days - era * 146097);
  uint64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  uint64_t shifted_month = (5 * day_of_year + 2) / 153;
  day = int(day_of_year - (153 * shifted_month + 2) / 5 + 1);
  month = int(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
  year = int64_t(year_of_era) + era * 400 + (month <= 2);
}

constexpr int64_t epoch_microseconds(const CivilTime &time) noexcept {
  int64_t seconds = days_from_civil(time.year, time.month, time.day) * 86400 + time.hour * 3600 +
                    time.minute * 60 + time.second;
  return seconds * 1000000 + time.microsecond;
}

// "2021-03-01T14:30:00.000Z", the form the exchange writes, naming a time that exists: none for
// anything else. Every reader of definition times, with or without ciso8601, gives this time
// for such a text, so only other texts need the reader itself.
constexpr std::optional<CivilTime> parse_exchange_time(std::string_view text) noexcept {
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd.dddZ";
  if (text.size() != kShape.size())
    return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i)
    if (kShape[i] == 'd' ? text[i] < '0' || text[i] > '9' : text[i] != kShape[i])
      return std::nullopt;
  auto number = [text](size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i)
      value = value * 10 + (text[i] - '0');
    return value;
  };
  CivilTime time{number(0, 4),  number(5, 2),  number(8, 2),        number(11, 2),
                 number(14, 2), number(17, 2), number(20, 3) * 1000};
  bool leap = time.year % 4 == 0 && (time.year % 100 != 0 || time.year % 400 == 0);
  constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (time.year < 1 || time.month < 1 || time.month > 12 || time.day < 1 ||
      time.day > kDays[time.month - 1] + (leap && time.month == 2) || time.hour > 23 ||
      time.minute > 59 || time.second > 59)
    return std::nullopt;
  return time;
}

} // namespace pelarune
