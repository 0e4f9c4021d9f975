#include "link/Tkorvidan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "link/BusShared.h"

namespace {

// Fixed-point text with two decimals and a decimal comma, from the value
// rounded to 15 significant digits; halves round away from zero.  Values of
// 1e15 and more are written in scientific form.  Never depends on the locale.
std::string FixedTwoDecimals(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";

  char buf[64];
  if (std::fabs(v) >= 1e15) {
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 14);
    std::string s(buf, res.ptr);
    for (char& c : s)
      if (c == '.')
        c = ',';
      else if (c == 'e')
        c = 'E';
    return s;
  }

  // 15 significant digits: d.dddddddddddddde[+-]xx
  auto res = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific, 14);
  const std::string sci(buf, res.ptr);
  const auto epos = sci.find('e');
  std::string digits = sci.substr(0, 1) + sci.substr(2, epos - 2);  // 15 digits
  int exponent = 0;
  std::from_chars(sci.data() + epos + 1 + (sci[epos + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);

  // Place the digits: integer part and at least three decimals.
  const int intDigits = exponent + 1;  // may be <= 0
  std::string intPart, fracPart;
  if (intDigits > 0) {
    intPart = digits.substr(0, static_cast<std::size_t>(intDigits));
    fracPart = digits.substr(static_cast<std::size_t>(intDigits));
  } else {
    intPart = "0";
    fracPart = std::string(static_cast<std::size_t>(-intDigits), '0') + digits;
  }
  fracPart.resize(std::max<std::size_t>(fracPart.size(), 3), '0');

  // Round to two decimals, halves away from zero.
  std::string kept = intPart + fracPart.substr(0, 2);
  if (fracPart[2] >= '5') {
    int i = static_cast<int>(kept.size()) - 1;
    while (i >= 0 && kept[static_cast<std::size_t>(i)] == '9') {
      kept[static_cast<std::size_t>(i)] = '0';
      --i;
    }
    if (i < 0)
      kept.insert(kept.begin(), '1');
    else
      ++kept[static_cast<std::size_t>(i)];
  }
  std::string text = kept.substr(0, kept.size() - 2) + "," + kept.substr(kept.size() - 2);
  const bool isZero = kept.find_first_not_of('0') == std::string::npos;
  if (v < 0 && !isZero) text.insert(text.begin(), '-');
  return text;
}

bool HasControlCharacter(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// TSensor

TSensor::TSensor(int number) : FNumber(number) {}

const std::string& TSensor::GetTypeText() {
  switch (FType) {
    case SensorNone:
      FLabel = "kein Sensor";
      break;
    case SensorPH:
      FLabel = "pH";
      break;
    case SensorTemperature:
      FLabel = "Temp.[°C]";
      break;
    case SensorRedox:
      FLabel = "Redox[mV]";
      break;
    case SensorSeaConductivity:
      FLabel = "LW-Meer [mS]";
      break;
    case SensorFreshConductivity:
      FLabel = "LW-Süß[uS]";
      break;
    case SensorOxygen:
      if (FO2Mode == O2ModeMgPerLitre)
        FLabel = "O2[mg/l]";
      else if (FO2Mode == O2ModePercent)
        FLabel = "O2[%]";
      break;
    case SensorLevel:
      FLabel = "Pegel";
      break;
    case SensorPressure:
      FLabel = "Druck[mB]";
      break;
    default:
      break;
  }
  return FLabel;
}

const std::string& TSensor::GetValueText() {
  FValueText = FixedTwoDecimals(static_cast<double>(FValue));
  return FValueText;
}

int TSensor::GetAlarmState() const {
  if (FValue < FLowerLimit) return AlarmBelow;
  if (FValue > FUpperLimit) return AlarmAbove;
  return AlarmNone;
}

int TSensor::GetActionCode() const {
  if (FActionText == "Fax") return ActionFax;
  if (FActionText == "Anruf") return ActionCall;
  if (FActionText == "Alarm") return ActionAlarm;
  return ActionMarkOnly;
}

// ---------------------------------------------------------------------------
// TIdent

std::function<int(const std::string& command)> TIdent::WriteIDHandler;

std::string TIdent::BuildWriteIDCommand(const std::string& newName) const {
  char address[16];
  std::snprintf(address, sizeof address, "%02X", static_cast<unsigned>(FAddress));
  return "$" + std::string(address) + "6" + newName + "\r";
}

void TIdent::WriteID(const std::string& newName) {
  if (HasControlCharacter(newName))
    throw std::invalid_argument(
        "Der Name darf keine Steuerzeichen enthalten; die Bezeichnung bleibt unverändert.");
  const std::string command = BuildWriteIDCommand(newName);
  static const std::string notSent =
      "Die neue Bezeichnung konnte nicht zum korvidan gesendet werden; die Bezeichnung bleibt "
      "unver\xC3\xA4ndert.";
  // The name changes only when the controller can get it: otherwise the list and the tabs
  // would show a name the controller never heard of.
  if (!WriteIDHandler) throw std::runtime_error(notSent);
  int sent;
  try {
    sent = WriteIDHandler(command);
  } catch (const std::exception& e) {
    throw std::runtime_error(notSent + "\n" + LinkErrorText(e));
  }
  if (sent < 0) throw std::runtime_error(notSent);
  FName = newName;
}

// ---------------------------------------------------------------------------
// TKorvidan

TKorvidan::TKorvidan(int index)
    : FIndex(index), FTimeStamp(Now()), FSensors{TSensor(0), TSensor(1), TSensor(2), TSensor(3),
                                                 TSensor(4), TSensor(5), TSensor(6), TSensor(7)} {}

TSensor* TKorvidan::GetSensor(int number) {
  if (number < 0 || number >= SensorCount) return nullptr;
  return &FSensors[static_cast<std::size_t>(number)];
}

const TSensor* TKorvidan::GetSensor(int number) const {
  if (number < 0 || number >= SensorCount) return nullptr;
  return &FSensors[static_cast<std::size_t>(number)];
}

std::string TKorvidan::GetTimeStampText() const { return TimeToStr(FTimeStamp); }

void TKorvidan::StampTime() { FTimeStamp = Now(); }

void TKorvidan::ClearSensors() {
  for (TSensor& s : FSensors) {
    s.SetValue(0.0f);
    s.SetType(SensorNone);
  }
  FValuesDelivered = false;
}

// ---------------------------------------------------------------------------
// TControllerList

void TControllerList::SetControllerCount(int count) {
  if (count < 0 || count > MaxControllers)
    throw std::out_of_range("Ungültige Anzahl Controller: " + std::to_string(count) + " (höchstens " +
                            std::to_string(MaxControllers) + ")");
  FCount = count;
}

TKorvidan* TControllerList::GetController(int slot) const {
  if (slot < 0 || slot >= MaxControllers) return nullptr;
  return FControllers[static_cast<std::size_t>(slot)].get();
}

bool TControllerList::Holds(const TKorvidan* controller) const {
  for (const auto& c : FControllers)
    if (controller && c.get() == controller) return true;
  return false;
}

void TControllerList::SetController(int slot, TKorvidan* controller) {
  if (Holds(controller)) {
    if (GetController(slot) == controller) return;
    throw std::invalid_argument("Der Controller steht schon in der Controller-Liste.");
  }
  std::unique_ptr<TKorvidan> owned(controller);
  if (slot < 0 || slot >= MaxControllers)
    throw std::out_of_range("Ungültiger Platz " + std::to_string(slot) + " in der Controller-Liste (0 bis " +
                            std::to_string(MaxControllers - 1) + ")");
  FControllers[static_cast<std::size_t>(slot)] = std::move(owned);
}

void TControllerList::AddController(TKorvidan* controller) {
  if (Holds(controller)) throw std::invalid_argument("Der Controller steht schon in der Controller-Liste.");
  std::unique_ptr<TKorvidan> owned(controller);
  if (FCount >= MaxControllers)
    throw std::length_error("Es können höchstens " + std::to_string(MaxControllers) +
                            " Controller verwaltet werden.");
  FControllers[static_cast<std::size_t>(FCount)] = std::move(owned);
  ++FCount;
}
