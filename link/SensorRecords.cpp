#include "link/SensorRecords.h"

#include <cfloat>
#include <cmath>
#include <mutex>

#include "link/Tkorvidan.h"
#include "platform/Text.h"
#include "platform/Threads.h"

const char* const NoDataMessage =
    "Bitte Korvidan an serielle Schnittstelle anschliessen ! (COM1,COM2,COM3,COM4) ";

namespace {

constexpr auto npos = std::string::npos;
constexpr char DegreeSign = '\xB0';  // Windows-1252

bool Contains(const std::string& s, std::string_view part) { return s.find(part) != npos; }

// The number of a record: from right after its first ")" to two characters before the unit
// mark (the character directly before the mark is a separator).  Empty when the mark is
// missing or stands too early.
std::string NumberBefore(const std::string& record, std::size_t mark) {
  if (mark == npos) return {};
  const std::size_t close = record.find(')');
  const std::size_t start = close == npos ? 0 : close + 1;
  if (mark < start + 2) return {};
  return record.substr(start, mark - start - 1);
}

void StripZero(std::string& number) {
  if (!number.empty() && number[0] == '0') number.erase(0, 1);
}

void DropPoint(std::string& number) {
  const std::size_t p = number.find('.');
  if (p != npos) number.erase(p, 1);
}

// The later of two positions, either of which may be missing.
std::size_t Later(std::size_t a, std::size_t b) {
  if (a == npos) return b;
  if (b == npos) return a;
  return a > b ? a : b;
}

struct TConversion {
  std::size_t Mark;
  bool StripZero;
  bool DropPoint;
  long double Factor;
  bool NegativeZeroOnError;
  const char* ErrorText;
  bool RoundToFloatFirst = false;
};

// The value of the number times the factor (the product in extended precision, kept as a
// 32-bit float).  A number that does not convert, or whose value does not fit a 32-bit
// float, is reported and gives zero.
float ConvertNumber(const std::string& record, const TConversion& c, std::vector<std::string>& reports) {
  std::string number = NumberBefore(record, c.Mark);
  if (c.StripZero) StripZero(number);
  if (c.DropPoint) DropPoint(number);
  double v = 0;
  if (TryStrToFloat(number, v) && std::fabs(v) <= FLT_MAX) {
    long double x = v;
    if (c.RoundToFloatFirst) x = static_cast<float>(v);
    const long double product = x * c.Factor;
    if (std::fabs(product) <= FLT_MAX) return static_cast<float>(product);
  }
  reports.emplace_back(c.ErrorText);
  return c.NegativeZeroOnError ? -0.0f : 0.0f;
}

void ConvertOne(const std::string& record, std::uint8_t code, TSensor& sensor,
                std::vector<std::string>& reports) {
  switch (code) {
    case SensorPH:
      sensor.SetType(SensorPH);
      sensor.SetValue(ConvertNumber(
          record, {record.rfind('p'), true, true, 0.01L, false, "Fehler bei Convertierung pH"}, reports));
      break;
    case SensorTemperature:
      sensor.SetType(SensorTemperature);
      sensor.SetValue(ConvertNumber(
          record, {record.find(DegreeSign), true, true, 0.1L, false, "Fehler bei Konvertierung Temperatur"},
          reports));
      break;
    case SensorRedox:
      sensor.SetValue(ConvertNumber(
          record, {record.rfind('m'), false, false, 1.0L, true, "Fehler bei Konvertierung Redox"}, reports));
      sensor.SetType(SensorRedox);
      break;
    case ConductivityCode:
      // Both tests run: a record with "u" and "m" ends as mS.
      if (Contains(record, "u")) {
        sensor.SetType(SensorFreshConductivity);
        sensor.SetValue(ConvertNumber(
            record, {record.rfind('u'), true, true, 1.0L, true, "Fehler bei Konvertierung Leitwert us"},
            reports));
      }
      if (Contains(record, "m")) {
        sensor.SetType(SensorSeaConductivity);
        sensor.SetValue(ConvertNumber(
            record, {record.rfind('m'), true, true, 0.1L, true, "Fehler bei Konvertierung Leitwert ms"},
            reports));
      }
      break;
    case SensorOxygen: {
      const bool percent = Contains(record, "%");
      sensor.SetO2Mode(percent ? O2ModePercent : O2ModeMgPerLitre);
      const std::size_t mark = Later(record.rfind('g'), record.rfind('%'));
      float value = 0.0f;
      if (mark == npos) {
        reports.emplace_back("O2: SensorValue = 0");
      } else {
        TConversion c{mark, false, true, percent ? 0.1L : 0.01L, true, "Fehler bei Konvertierung Sauerstoff"};
        c.RoundToFloatFirst = true;
        value = ConvertNumber(record, c, reports);
      }
      sensor.SetValue(value);
      sensor.SetType(SensorOxygen);
      break;
    }
    case SensorLevel:
      sensor.SetType(SensorLevel);
      if (Contains(record, "Wasser") || Contains(record, "Water") || Contains(record, "Acqua") ||
          Contains(record, "eau"))
        sensor.SetValue(1.0f);
      else if (Contains(record, "Luft") || Contains(record, "Air") || Contains(record, "Aria") ||
               Contains(record, "air"))
        sensor.SetValue(0.0f);
      else
        sensor.SetValue(2.0f);
      break;
    case SensorPressure:
      sensor.SetType(SensorPressure);
      sensor.SetValue(ConvertNumber(
          record, {record.rfind('m'), true, false, 1.0L, true, "Fehler bei Konvertierung Luftdruck"},
          reports));
      break;
    default:
      break;  // unknown code: only the time stamp
  }
}

}  // namespace

std::uint8_t SensorTypeFromCode(std::string_view code) {
  if (code == "pH") return SensorPH;
  if (code == "Te") return SensorTemperature;
  if (code == "Rx") return SensorRedox;
  if (code == "Le") return ConductivityCode;
  if (code == "Ox") return SensorOxygen;
  if (code == "Pe") return SensorLevel;
  if (code == "Ld") return SensorPressure;
  return SensorNone;
}

bool CutSensorRecords(const std::vector<std::string>& lines, std::vector<std::string>& records) {
  records.clear();
  if (lines.empty()) return false;

  std::string text;
  for (const std::string& line : lines)
    for (char ch : line)
      if (ch != '\r' && ch != '\n') text += ch;

  std::size_t pos = 0;  // the text still to cut begins here
  while (pos < text.size()) {
    const std::size_t e = text.find('E', pos);
    if (e == npos) break;  // only before the first record: what follows a record starts with "E"
    const std::size_t next = text.find('E', e + 1);
    if (next == npos) {
      records.emplace_back();  // the rest after the last "E"
      break;
    }
    std::string record = text.substr(e + 1, next - e - 1);
    // The character before the next "E" is a separator, except a closing "%".
    if (!record.empty() && record.back() != '%') record.pop_back();
    records.push_back(std::move(record));
    pos = next;
  }
  return !records.empty();
}

int ConvertRecords(const std::vector<std::string>& records, TKorvidan& controller, TCriticalSection& lock,
                   const TRecordReport& report) {
  if (records.empty()) {
    if (report) report("Anzahl Sensor Daten :  0 ");
    return 0;
  }
  for (const std::string& record : records) {
    if (record.empty() || record[0] < '1' || record[0] > '8') continue;
    TSensor* sensor = controller.GetSensor(record[0] - '1');
    const std::size_t open = record.find('(');
    if (sensor == nullptr || open == npos) continue;
    const std::size_t close = record.find(')');
    std::string code;
    if (close != npos && close >= open + 3) code = record.substr(open + 1, close - open - 2);

    const std::uint8_t type = SensorTypeFromCode(code);
    std::vector<std::string> reports;
    {
      std::lock_guard<TCriticalSection> g(lock);
      controller.StampTime();
      ConvertOne(record, type, *sensor, reports);
      if (type != SensorNone) controller.SetValuesDelivered(true);
    }
    if (report)
      for (const std::string& r : reports) report(r);
  }
  return 1;
}
