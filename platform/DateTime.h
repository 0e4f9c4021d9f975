// Date and time values of the class library: a TDateTime counts days since
// 30 Dec 1899 00:00 as a double; the fraction is the time of day.
//
// Texts are formatted the German way ("dd.mm.yyyy", "hh:nn:ss") whatever the
// locale of the process is.
#pragma once

#include <cstdint>
#include <string>

class TDateTime {
 public:
  constexpr TDateTime() = default;
  constexpr TDateTime(double value) : Val(value) {}
  constexpr operator double() const { return Val; }

  double Val = 0.0;
};

// 1 Jan 1970, the start of Unix time, as a TDateTime.
constexpr int UnixDateDelta = 25569;

// Current local date and time, to the millisecond.
TDateTime Now();
// Today's date (time part 00:00:00).
TDateTime Date();
// Current time of day (date part 0).
TDateTime Time();

// Dates from 1 Jan 0001 to 31 Dec 9999 in the proleptic Gregorian calendar.
bool IsLeapYear(unsigned year);
unsigned DaysInMonth(unsigned year, unsigned month);

// Try... return false for an invalid date or time and leave the result alone;
// the plain forms throw std::out_of_range with a message naming the values.
bool TryEncodeDate(unsigned year, unsigned month, unsigned day, TDateTime& result);
TDateTime EncodeDate(unsigned year, unsigned month, unsigned day);
bool TryEncodeTime(unsigned hour, unsigned min, unsigned sec, unsigned msec, TDateTime& result);
TDateTime EncodeTime(unsigned hour, unsigned min, unsigned sec, unsigned msec);

// The date part of a value; a value outside the supported range, or not a
// number, yields 0/0/0 and false.
bool DecodeDate(TDateTime value, std::uint16_t& year, std::uint16_t& month, std::uint16_t& day);
// The time part; the fraction is read as a positive time of day also for
// negative values (as the class library does).  Not a number yields 0:00:00.000.
void DecodeTime(TDateTime value, std::uint16_t& hour, std::uint16_t& min, std::uint16_t& sec,
                std::uint16_t& msec);

// "dd.mm.yyyy"
std::string DateToStr(TDateTime value);
// "hh:nn:ss"
std::string TimeToStr(TDateTime value);
// "dd.mm.yyyy hh:nn:ss"; the time is left out when it is exactly midnight.
std::string DateTimeToStr(TDateTime value);
