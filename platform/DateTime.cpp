#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {

constexpr long long MSecsPerDay = 86400000LL;
// Day numbers of 1 Jan 0001 and 31 Dec 9999 as TDateTime values.
constexpr long long MinDateDays = -693593;
constexpr long long MaxDateDays = 2958465;
// 30 Dec 1899 counted from 1 Jan 1970.
constexpr long long DateDelta = -UnixDateDelta;

// Days from 1 Jan 1970 of a proleptic Gregorian date (no validity check).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// Splits a value into whole days and milliseconds of the day, rounded to the
// millisecond.  The time of day of a negative value is its fraction taken
// as positive.  Returns false for values that are not numbers or lie far
// outside the calendar range.
bool SplitValue(double value, long long& days, long long& msecs) {
  if (!std::isfinite(value) || std::fabs(value) > 1.0e8) {
    days = 0;
    msecs = 0;
    return false;
  }
  const long long total = std::llround(std::fabs(value) * static_cast<double>(MSecsPerDay));
  days = total / MSecsPerDay;
  msecs = total % MSecsPerDay;
  if (value < 0) days = -days;
  return true;
}

std::string TwoDigits(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v % 100);
  return buf;
}

}  // namespace

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(unsigned year, unsigned month, unsigned day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month))
    return false;
  result = static_cast<double>(DaysFromCivil(year, month, day) - DateDelta);
  return true;
}

TDateTime EncodeDate(unsigned year, unsigned month, unsigned day) {
  TDateTime result;
  if (!TryEncodeDate(year, month, day, result))
    throw std::out_of_range("EncodeDate: invalid date " + std::to_string(day) + "." + std::to_string(month) +
                            "." + std::to_string(year));
  return result;
}

bool TryEncodeTime(unsigned hour, unsigned min, unsigned sec, unsigned msec, TDateTime& result) {
  if (hour > 23 || min > 59 || sec > 59 || msec > 999) return false;
  const long long ms = ((hour * 60LL + min) * 60 + sec) * 1000 + msec;
  result = static_cast<double>(ms) / static_cast<double>(MSecsPerDay);
  return true;
}

TDateTime EncodeTime(unsigned hour, unsigned min, unsigned sec, unsigned msec) {
  TDateTime result;
  if (!TryEncodeTime(hour, min, sec, msec, result))
    throw std::out_of_range("EncodeTime: invalid time " + std::to_string(hour) + ":" + std::to_string(min) +
                            ":" + std::to_string(sec) + "." + std::to_string(msec));
  return result;
}

bool DecodeDate(TDateTime value, std::uint16_t& year, std::uint16_t& month, std::uint16_t& day) {
  long long days = 0, msecs = 0;
  if (!SplitValue(value, days, msecs) || days < MinDateDays || days > MaxDateDays) {
    year = month = day = 0;
    return false;
  }
  long long y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days + DateDelta, y, m, d);
  year = static_cast<std::uint16_t>(y);
  month = static_cast<std::uint16_t>(m);
  day = static_cast<std::uint16_t>(d);
  return true;
}

void DecodeTime(TDateTime value, std::uint16_t& hour, std::uint16_t& min, std::uint16_t& sec,
                std::uint16_t& msec) {
  long long days = 0, ms = 0;
  SplitValue(value, days, ms);
  msec = static_cast<std::uint16_t>(ms % 1000);
  ms /= 1000;
  sec = static_cast<std::uint16_t>(ms % 60);
  ms /= 60;
  min = static_cast<std::uint16_t>(ms % 60);
  hour = static_cast<std::uint16_t>(ms / 60);
}

TDateTime Now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  localtime_r(&ts.tv_sec, &local);
  TDateTime date, time;
  if (!TryEncodeDate(static_cast<unsigned>(local.tm_year + 1900), static_cast<unsigned>(local.tm_mon + 1),
                     static_cast<unsigned>(local.tm_mday), date))
    date = 0.0;
  // A leap second (tm_sec 60) is counted as the last second of the minute.
  const unsigned sec = local.tm_sec > 59 ? 59u : static_cast<unsigned>(local.tm_sec);
  TryEncodeTime(static_cast<unsigned>(local.tm_hour), static_cast<unsigned>(local.tm_min), sec,
                static_cast<unsigned>(ts.tv_nsec / 1000000), time);
  return date.Val + time.Val;
}

TDateTime Date() { return std::trunc(Now().Val); }

TDateTime Time() {
  const double now = Now().Val;
  return now - std::trunc(now);
}

std::string DateToStr(TDateTime value) {
  std::uint16_t y, m, d;
  DecodeDate(value, y, m, d);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%02u.%02u.%04u", unsigned(d), unsigned(m), unsigned(y));
  return buf;
}

std::string TimeToStr(TDateTime value) {
  std::uint16_t h, m, s, ms;
  DecodeTime(value, h, m, s, ms);
  return TwoDigits(h) + ":" + TwoDigits(m) + ":" + TwoDigits(s);
}

std::string DateTimeToStr(TDateTime value) {
  std::uint16_t h, m, s, ms;
  DecodeTime(value, h, m, s, ms);
  if (h == 0 && m == 0 && s == 0 && ms == 0) return DateToStr(value);
  return DateToStr(value) + " " + TimeToStr(value);
}
