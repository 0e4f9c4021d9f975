// The controller's dates (Modified Julian Days) and times (seconds) in both
// directions.
#include "programming/Ttimejulian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/DateTime.h"

namespace {

std::string DateText(float mjd) {
  std::string s = "unchanged";
  FormatDate(mjd, s);
  return s;
}

// MJD 0 is 17 Nov 1858; TDateTime 0 is 30 Dec 1899, 15018 days later.
constexpr long MjdOfDateTimeZero = 15018;

}  // namespace

TEST(MjdToDate, KnownDates) {
  EXPECT_EQ(DateText(51544), "01.01.2000");
  EXPECT_EQ(DateText(52000), "01.04.2001");
  EXPECT_EQ(DateText(0), "17.11.1858");
  EXPECT_EQ(DateText(15019), "31.12.1899");
  EXPECT_EQ(DateText(60000), "25.02.2023");
  // The last Julian and the first Gregorian day.
  EXPECT_EQ(DateText(-100841), "04.10.1582");
  EXPECT_EQ(DateText(-100840), "15.10.1582");
}

TEST(MjdToDate, LeapDaysAndMonthEnds) {
  EXPECT_EQ(DateText(51603), "29.02.2000");
  EXPECT_EQ(DateText(51604), "01.03.2000");
  EXPECT_EQ(DateText(15079), "01.03.1900");  // 1900 has no 29 February
  EXPECT_EQ(DateText(15078), "28.02.1900");
  EXPECT_EQ(DateText(60369), "29.02.2024");
  EXPECT_EQ(DateText(88128), "01.03.2100");
  EXPECT_EQ(DateText(88127), "28.02.2100");
  EXPECT_EQ(DateText(51543), "31.12.1999");
}

TEST(MjdToDate, AgreesWithTheCalendarOverTheWholeGregorianRange) {
  // Against an independent day count: every day from the calendar reform to
  // 2300, then every 11th day (all days of the month and all months come
  // round) up to 31 Dec 9999.
  const long first = static_cast<long>(EncodeDate(1582, 10, 15).Val);
  const long dense = static_cast<long>(EncodeDate(2300, 1, 1).Val);
  const long last = static_cast<long>(EncodeDate(9999, 12, 31).Val);
  for (long day = first; day <= last; day = day < dense ? day + 1 : day + 11) {
    std::uint16_t y, m, d, md, mm, my;
    DecodeDate(static_cast<double>(day), y, m, d);
    ASSERT_TRUE(MjdToDate(static_cast<float>(day + MjdOfDateTimeZero), md, mm, my)) << day;
    ASSERT_EQ(md, d) << day;
    ASSERT_EQ(mm, m) << day;
    ASSERT_EQ(my, y) << day;
  }
}

TEST(MjdToDate, EndsOfTheRange) {
  EXPECT_EQ(DateText(-678577), "01.01.0001");  // Julian calendar
  EXPECT_EQ(DateText(2973483), "31.12.9999");

  std::uint16_t d, m, y;
  EXPECT_FALSE(MjdToDate(-678578, d, m, y));
  EXPECT_EQ(d + m + y, 0);
  EXPECT_FALSE(MjdToDate(2973484, d, m, y));
  EXPECT_FALSE(MjdToDate(std::numeric_limits<float>::quiet_NaN(), d, m, y));
  EXPECT_FALSE(MjdToDate(std::numeric_limits<float>::infinity(), d, m, y));
  EXPECT_FALSE(MjdToDate(-3.0e38f, d, m, y));
  EXPECT_FALSE(MjdToDate(3.0e38f, d, m, y));
  EXPECT_EQ(DateText(std::numeric_limits<float>::quiet_NaN()), "00.00.0000");
}

TEST(MjdToDate, FractionsOfADay) {
  // The time part of a date does not move it, up to the float rounding of
  // the Julian day.
  EXPECT_EQ(DateText(51544.5f), "01.01.2000");
  EXPECT_EQ(DateText(51544.75f), "01.01.2000");
  EXPECT_EQ(DateText(51543.999f), "01.01.2000");  // rounds up to the next day
}

TEST(SecondsToHms, TruncatesAndSplits) {
  auto hms = [](float s) {
    std::uint8_t h, m, sec;
    SecondsToHms(s, h, m, sec);
    return std::to_string(h) + "," + std::to_string(m) + "," + std::to_string(sec);
  };
  EXPECT_EQ(hms(86399.9f), "23,59,59");
  EXPECT_EQ(hms(0), "0,0,0");
  EXPECT_EQ(hms(0.99f), "0,0,0");
  EXPECT_EQ(hms(3725), "1,2,5");
  EXPECT_EQ(hms(86400), "24,0,0");
  EXPECT_EQ(hms(255 * 3600 + 3599), "255,59,59");
  EXPECT_EQ(hms(256 * 3600 + 61), "0,1,1");  // the hours are a byte
  EXPECT_EQ(hms(-5), "0,0,0");
  EXPECT_EQ(hms(std::numeric_limits<float>::quiet_NaN()), "0,0,0");
  EXPECT_EQ(hms(1e30f), hms(4294967295.0f));
}

TEST(TimeText, FormatsAndRoundTripsEverySecondOfTheDay) {
  EXPECT_EQ(TimeTextOf(3725), "01:02:05");
  EXPECT_EQ(TimeTextOf(0), "00:00:00");
  EXPECT_EQ(TimeTextOf(86399), "23:59:59");
  EXPECT_EQ(TimeTextOf(86400), "24:00:00");
  EXPECT_EQ(TimeTextOf(99 * 3600 + 59 * 60 + 59), "99:59:59");
  EXPECT_EQ(TimeTextOf(100 * 3600), "100:00:00");
  std::string s = "x";
  FormatTime(45296, s);
  EXPECT_EQ(s, "12:34:56");

  for (int sec = 0; sec < 86400; ++sec) {
    const float f = static_cast<float>(sec);
    std::uint8_t h, m, x;
    SecondsToHms(f, h, m, x);
    ASSERT_EQ(HmsToSeconds(h, m, x), f);
    float back = -1;
    ASSERT_EQ(ParseTimeText(TimeTextOf(f), back), 0);
    ASSERT_EQ(back, f);
    ASSERT_EQ(TextToSecondsOfDay(TimeTextOf(f)), f);
  }
}

TEST(TimeText, Parsing) {
  EXPECT_EQ(TextToSeconds("12:30"), 0.0f);
  EXPECT_EQ(TextToSeconds("99:99:99"), 362439.0f);
  EXPECT_EQ(TextToSecondsOfDay("99:99:99"), 86399.0f);
  EXPECT_EQ(TextToSecondsOfDay("25:00:00"), 86399.0f);
  EXPECT_EQ(TextToSecondsOfDay("23:59:59"), 86399.0f);
  EXPECT_EQ(TextToSeconds("1:2:3"), 3723.0f);
  EXPECT_EQ(TextToSeconds(" 1: 2: 3"), 3723.0f);      // blanks before a field
  EXPECT_EQ(TextToSeconds("01:02:03 Uhr"), 3723.0f);  // rest ignored
  EXPECT_EQ(TextToSeconds("01:02:034"), 3723.0f);     // two digits a field
  EXPECT_EQ(TextToSeconds("123:00:00"), 0.0f);
  EXPECT_EQ(TextToSeconds("01 :02:03"), 0.0f);
  EXPECT_EQ(TextToSeconds("-1:00:00"), 0.0f);
  EXPECT_EQ(TextToSeconds(""), 0.0f);
  EXPECT_EQ(TextToSeconds("ab:cd:ef"), 0.0f);

  float keep = 42;
  EXPECT_EQ(ParseTimeText("12:30", keep), 1);
  EXPECT_EQ(keep, 42.0f);
  EXPECT_EQ(ParseTimeText("12:30:", keep), 1);
  EXPECT_EQ(keep, 42.0f);
  EXPECT_EQ(ParseTimeText("00:00:00", keep), 0);
  EXPECT_EQ(keep, 0.0f);
}
