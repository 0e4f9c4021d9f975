// Date-time values: days since 30 Dec 1899, German texts.
#include "platform/DateTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>
#include <stdexcept>

TEST(DateTime, EncodeKnownDates) {
  EXPECT_EQ(EncodeDate(1899, 12, 30).Val, 0.0);
  EXPECT_EQ(EncodeDate(1900, 1, 1).Val, 2.0);
  EXPECT_EQ(EncodeDate(2000, 1, 1).Val, 36526.0);
  EXPECT_EQ(EncodeDate(1, 1, 1).Val, -693593.0);
  EXPECT_EQ(EncodeDate(9999, 12, 31).Val, 2958465.0);
  EXPECT_EQ(EncodeDate(1970, 1, 1).Val, 25569.0);
}

TEST(DateTime, InvalidDatesAndTimesAreRefused) {
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
  EXPECT_THROW(EncodeDate(2023, 2, 29), std::out_of_range);
  EXPECT_THROW(EncodeDate(1900, 2, 29), std::out_of_range);
  EXPECT_THROW(EncodeDate(2023, 4, 31), std::out_of_range);
  EXPECT_THROW(EncodeDate(2023, 13, 1), std::out_of_range);
  EXPECT_THROW(EncodeDate(2023, 0, 1), std::out_of_range);
  EXPECT_THROW(EncodeDate(2023, 1, 0), std::out_of_range);
  EXPECT_THROW(EncodeDate(0, 1, 1), std::out_of_range);
  EXPECT_THROW(EncodeDate(10000, 1, 1), std::out_of_range);

  TDateTime untouched = 7.0;
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, untouched));
  EXPECT_FALSE(TryEncodeTime(24, 0, 0, 0, untouched));
  EXPECT_EQ(untouched.Val, 7.0);
  EXPECT_THROW(EncodeTime(23, 60, 0, 0), std::out_of_range);
  EXPECT_THROW(EncodeTime(23, 59, 60, 0), std::out_of_range);
  EXPECT_THROW(EncodeTime(23, 59, 59, 1000), std::out_of_range);
  EXPECT_NO_THROW(EncodeTime(23, 59, 59, 999));
}

TEST(DateTime, EveryDayRoundTrips) {
  std::uint16_t y, m, d;
  long expected = -693593;
  for (unsigned year = 1; year <= 9999; ++year)
    for (unsigned month = 1; month <= 12; ++month)
      for (unsigned day = 1; day <= DaysInMonth(year, month); ++day) {
        const TDateTime v = EncodeDate(year, month, day);
        ASSERT_EQ(v.Val, static_cast<double>(expected)) << day << "." << month << "." << year;
        ++expected;
        // Before 30 Dec 1899 the time of day counts away from zero.
        ASSERT_TRUE(DecodeDate(v.Val + (v.Val < 0 ? -0.75 : 0.75), y, m, d));
        ASSERT_EQ(y, year);
        ASSERT_EQ(m, month);
        ASSERT_EQ(d, day);
      }
  EXPECT_EQ(expected, 2958466);
  EXPECT_FALSE(DecodeDate(2958466.0, y, m, d));
  EXPECT_EQ(y + m + d, 0);
  EXPECT_FALSE(DecodeDate(-693594.0, y, m, d));
  EXPECT_FALSE(DecodeDate(std::numeric_limits<double>::quiet_NaN(), y, m, d));
  EXPECT_FALSE(DecodeDate(1e300, y, m, d));
}

TEST(DateTime, TimesRoundTripToTheMillisecond) {
  std::uint16_t h, n, s, ms;
  for (unsigned hour = 0; hour < 24; ++hour)
    for (unsigned min = 0; min < 60; ++min)
      for (unsigned sec = 0; sec < 60; ++sec)
        for (unsigned msec : {0u, 1u, 500u, 999u}) {
          const TDateTime t = EncodeTime(hour, min, sec, msec);
          DecodeTime(EncodeDate(2024, 2, 29).Val + t.Val, h, n, s, ms);
          ASSERT_EQ(h, hour);
          ASSERT_EQ(n, min);
          ASSERT_EQ(s, sec);
          ASSERT_EQ(ms, msec);
        }
}

TEST(DateTime, MidnightAndTheLastMoments) {
  // A value a hair before midnight rounds to the next day's 00:00:00.000.
  const double lastTick = EncodeDate(2023, 12, 31).Val + 0.99999999999;
  EXPECT_EQ(DateToStr(lastTick), "01.01.2024");
  EXPECT_EQ(TimeToStr(lastTick), "00:00:00");
  const double lastMs = EncodeDate(2023, 12, 31).Val + EncodeTime(23, 59, 59, 999).Val;
  EXPECT_EQ(DateToStr(lastMs), "31.12.2023");
  EXPECT_EQ(TimeToStr(lastMs), "23:59:59");  // seconds are not rounded up
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 1)), "01.03.2024");
  EXPECT_EQ(DateTimeToStr(EncodeDate(2024, 3, 1).Val + EncodeTime(0, 0, 1, 0).Val), "01.03.2024 00:00:01");
  EXPECT_EQ(DateTimeToStr(EncodeDate(9999, 12, 31).Val + EncodeTime(23, 59, 59, 0).Val),
            "31.12.9999 23:59:59");
  EXPECT_EQ(DateToStr(EncodeDate(1, 1, 1)), "01.01.0001");
}

TEST(DateTime, NegativeValuesCountTheTimeForward) {
  // -1.25 is 29 Dec 1899, 06:00.
  EXPECT_EQ(DateToStr(-1.25), "29.12.1899");
  EXPECT_EQ(TimeToStr(-1.25), "06:00:00");
  EXPECT_EQ(TimeToStr(std::numeric_limits<double>::quiet_NaN()), "00:00:00");
}

TEST(DateTime, NowIsTheLocalClock) {
  // The bounds come from the clock that Now() reads: time() may read a coarser one that is
  // still in the previous second.
  auto seconds = [] {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  };
  const std::time_t before = seconds();
  const TDateTime now = Now();
  const std::time_t after = seconds();
  std::tm lb{}, la{};
  localtime_r(&before, &lb);
  localtime_r(&after, &la);
  const double b = EncodeDate(lb.tm_year + 1900, lb.tm_mon + 1, lb.tm_mday).Val +
                   EncodeTime(lb.tm_hour, lb.tm_min, lb.tm_sec, 0).Val;
  const double a = EncodeDate(la.tm_year + 1900, la.tm_mon + 1, la.tm_mday).Val +
                   EncodeTime(la.tm_hour, la.tm_min, std::min(la.tm_sec, 59), 999).Val;
  EXPECT_GE(now.Val, b);
  EXPECT_LE(now.Val, a);
  EXPECT_EQ(Date().Val, std::trunc(Date().Val));
  EXPECT_GE(Time().Val, 0.0);
  EXPECT_LT(Time().Val, 1.0);
}
