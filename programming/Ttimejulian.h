// The controller's date and time: dates are Modified Julian Days and times are
// seconds, both held as 32-bit floats in the programming image.  These plain
// functions turn them into day, month and year, hours, minutes and seconds
// and the texts the programming window shows ("dd.mm.yyyy", "hh:mm:ss"), and
// read time texts back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Calendar date of a Modified Julian Day (Gregorian from 15 Oct 1582 on,
// Julian before).  Dates from 1 Jan 0001 to 31 Dec 9999 are converted; a
// value outside that range, or not a number, gives 0, 0, 0 and false.
bool MjdToDate(float mjd, std::uint16_t& day, std::uint16_t& month, std::uint16_t& year);

// Writes "%02u.%02u.%04u" with day, month and year of the MJD into text.
void FormatDate(float mjd, std::string& text);

// Hours, minutes and seconds of a number of seconds, each truncated.  The
// hours are only bounded by the byte; negative values and values that are not
// numbers count as 0 seconds.
void SecondsToHms(float seconds, std::uint8_t& hours, std::uint8_t& minutes, std::uint8_t& secs);
float HmsToSeconds(std::uint8_t hours, std::uint8_t minutes, std::uint8_t secs);

// Writes "%02u:%02u:%02u" with hours, minutes and seconds into text.
void FormatTime(float seconds, std::string& text);
// The text that FormatTime writes.
std::string TimeTextOf(float seconds);

// Reads "hh:mm:ss" (each field one or two digits).  With three fields it sets
// seconds and returns 0; otherwise it returns 1 and leaves seconds alone.
int ParseTimeText(std::string_view text, float& seconds);
// Seconds of a time text; 0 when it does not parse.
float TextToSeconds(std::string_view text);
// As TextToSeconds, but at most 86399 (the last second of a day).
float TextToSecondsOfDay(std::string_view text);
