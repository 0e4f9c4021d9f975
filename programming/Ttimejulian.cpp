#include "programming/Ttimejulian.h"

#include <cmath>
#include <cstdio>

namespace {

// Day numbers (Julian day + 0.5, truncated) of 1 Jan 0001 (Julian calendar)
// and 31 Dec 9999 (Gregorian calendar).
constexpr long double FirstDayNumber = 1721424.0L;
constexpr long double LastDayNumber = 5373484.0L;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool MjdToDate(float mjd, std::uint16_t& day, std::uint16_t& month, std::uint16_t& year) {
  day = month = year = 0;
  // The Julian day is kept as a float, as the controller does.
  const float jd = static_cast<float>(static_cast<long double>(mjd) + 2400000.5L);
  if (!std::isfinite(jd)) return false;
  const long double zf = std::trunc(static_cast<long double>(jd) + 0.5L);
  if (zf < FirstDayNumber || zf > LastDayNumber) return false;
  const long z = static_cast<long>(zf);

  float b;
  if (z >= 2299161) {
    const auto alpha = static_cast<std::uint16_t>(
        static_cast<long>(std::trunc((static_cast<long double>(z) - 1867216.25L) / 36524.25L)));
    b = static_cast<float>(z + alpha - alpha / 4 + 1525);
  } else {
    b = static_cast<float>(z + 1524);
  }
  const auto c = static_cast<std::uint16_t>(
      static_cast<long>(std::trunc((static_cast<long double>(b) - 122.1L) / 365.25L)));
  const float d = static_cast<float>(365L * c + c / 4);
  const auto e =
      static_cast<std::uint16_t>(static_cast<long>(std::trunc((static_cast<long double>(b) - d) / 30.6001L)));

  const long dayOfMonth = static_cast<long>(std::trunc(static_cast<long double>(b) - d + 0.5L)) -
                          static_cast<long>(std::trunc(30.6001L * e));
  const long m = static_cast<long>(e) - 1 - 12 * (e / 14);
  const long y = static_cast<long>(c) - 4715 - (m + 7) / 10;

  day = static_cast<std::uint16_t>(dayOfMonth);
  month = static_cast<std::uint16_t>(m);
  year = static_cast<std::uint16_t>(y);
  return true;
}

void FormatDate(float mjd, std::string& text) {
  std::uint16_t d, m, y;
  MjdToDate(mjd, d, m, y);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u.%02u.%04u", unsigned(d), unsigned(m), unsigned(y));
  text = buf;
}

void SecondsToHms(float seconds, std::uint8_t& hours, std::uint8_t& minutes, std::uint8_t& secs) {
  std::uint32_t s = 0;
  if (seconds >= 4294967296.0f)
    s = 0xFFFFFFFFu;
  else if (seconds >= 0.0f)  // false for NaN as well
    s = static_cast<std::uint32_t>(seconds);
  hours = static_cast<std::uint8_t>(s / 3600);
  minutes = static_cast<std::uint8_t>((s % 3600) / 60);
  secs = static_cast<std::uint8_t>(s % 60);
}

float HmsToSeconds(std::uint8_t hours, std::uint8_t minutes, std::uint8_t secs) {
  return static_cast<float>(hours * 3600L + minutes * 60L + secs);
}

void FormatTime(float seconds, std::string& text) {
  std::uint8_t h, m, s;
  SecondsToHms(seconds, h, m, s);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned(h), unsigned(m), unsigned(s));
  text = buf;
}

std::string TimeTextOf(float seconds) {
  std::string text;
  FormatTime(seconds, text);
  return text;
}

int ParseTimeText(std::string_view text, float& seconds) {
  unsigned fields[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != ':') return 1;
      ++pos;
    }
    while (pos < text.size() && IsSpace(text[pos])) ++pos;
    std::size_t digits = 0;
    unsigned value = 0;
    while (digits < 2 && pos < text.size() && IsDigit(text[pos])) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0) return 1;
    fields[i] = value;
  }
  seconds = HmsToSeconds(static_cast<std::uint8_t>(fields[0]), static_cast<std::uint8_t>(fields[1]),
                         static_cast<std::uint8_t>(fields[2]));
  return 0;
}

float TextToSeconds(std::string_view text) {
  float seconds = 0.0f;
  if (ParseTimeText(text, seconds) != 0) return 0.0f;
  return seconds;
}

float TextToSecondsOfDay(std::string_view text) {
  const float seconds = TextToSeconds(text);
  return seconds > 86399.0f ? 86399.0f : seconds;
}
