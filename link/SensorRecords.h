// The controllers' value output: cutting the received text into sensor records and turning
// each record into a sensor type and a value.
//
// A controller prints its sensors as records that begin with "E": the sensor number, the
// two-letter type code in parentheses, then the number and its unit, e.g.
//     E1(pH )07.05 pH E2(Te )25.3 °C E3(Rx )0350 mV ... E
// The text is Windows-1252 bytes as they came from the bus (the degree sign is 0xB0).
// Numbers are read the same way whatever the process locale.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TKorvidan;
class TCriticalSection;

// Shown when a poll found no record: "Bitte Korvidan an serielle Schnittstelle anschliessen ! ..."
extern const char* const NoDataMessage;

// A sensor type code for a two-letter type code: 1 "pH", 2 "Te", 3 "Rx", 13 "Le" (the
// conductivity, told apart later by its unit), 6 "Ox", 7 "Pe", 8 "Ld"; 0 for anything else.
std::uint8_t SensorTypeFromCode(std::string_view code);
constexpr std::uint8_t ConductivityCode = 13;

// Cuts the received lines into records: the lines are joined, carriage returns and line
// feeds removed, and the text cut at each "E".  Text before the first "E" belongs to no
// record; the text after the last "E" gives one empty record.  True when at least one "E"
// was found (records then holds at least one record, perhaps empty).
bool CutSensorRecords(const std::vector<std::string>& lines, std::vector<std::string>& records);

// Writes the types and values of the records into the controller's sensors.  Records that
// address no sensor (first character not 1..8) or hold no "(" are skipped; a record of a
// known type code marks the controller as having delivered values.  Each record is
// written under lock; problems (numbers that do not convert, ...) are reported through
// report after the lock is released.  Returns 1 after a non-empty list, 0 for an empty one
// (which is reported as well).
using TRecordReport = std::function<void(const std::string& text)>;
int ConvertRecords(const std::vector<std::string>& records, TKorvidan& controller, TCriticalSection& lock,
                   const TRecordReport& report);
