#include "programming/ProgrammingEdits.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/Text.h"
#include "programming/Ttimejulian.h"

using namespace ProgLayout;

namespace {

locale_t CLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "h:m:s" with one or two digits a field and nothing else around but blanks.
bool ReadHms(std::string_view text, float& seconds) {
  const std::string trimmed = Trim(text);
  text = trimmed;
  unsigned fields[3] = {0, 0, 0};
  std::size_t pos = 0;
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != ':') return false;
      ++pos;
    }
    int digits = 0;
    while (digits < 2 && pos < text.size() && IsDigit(text[pos])) {
      fields[i] = fields[i] * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0) return false;
  }
  if (pos != text.size()) return false;
  seconds = HmsToSeconds(static_cast<std::uint8_t>(fields[0]), static_cast<std::uint8_t>(fields[1]),
                         static_cast<std::uint8_t>(fields[2]));
  return true;
}

constexpr const char* NoSocketText = "nicht ausgewählt";

}  // namespace

// ---------------------------------------------------------------------------
// Texts

float TextToFloat(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  const float value = strtof_l(copy.c_str(), &end, CLocale());
  return end == copy.c_str() ? 0.0f : value;
}

int TextToInt(std::string_view text) {
  int value = 0;
  return ReadIntText(text, value) ? value : 0;
}

int TextToIntClamped(std::string_view text, int lo, int hi) {
  const int value = TextToInt(text);
  return value < lo ? lo : value > hi ? hi : value;
}

bool ReadFloatText(std::string_view text, float& value) {
  std::string copy = Trim(text);
  if (copy.empty()) return false;
  for (char& c : copy) {
    if (c == ',') c = '.';
    // No hexadecimal, infinite or not-a-number values: only what a user means by a number.
    if (!(IsDigit(c) || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E')) return false;
  }
  char* end = nullptr;
  const float v = strtof_l(copy.c_str(), &end, CLocale());
  if (end == copy.c_str() || *end != '\0' || !std::isfinite(v)) return false;
  value = v;
  return true;
}

bool ReadIntText(std::string_view text, int& value) {
  const std::string trimmed = Trim(text);
  text = trimmed;
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  int v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = v;
  return true;
}

bool ReadDurationText(std::string_view text, float& seconds) { return ReadHms(text, seconds); }

bool ReadTimeOfDayText(std::string_view text, float& seconds) {
  float s = 0.0f;
  if (!ReadHms(text, s) || s > 86399.0f) return false;
  seconds = s;
  return true;
}

std::string FormatValue(const char* format, double value) { return Format(format, value); }

std::string FormatInt(const char* format, int value) { return Format(format, value); }

// ---------------------------------------------------------------------------
// Sockets

int ShownSocket(std::uint8_t socketByte) { return socketByte < SocketCount ? socketByte : 0; }

std::uint8_t SocketKind(int socket, const TSocketTable& sockets) {
  if (socket < 0 || socket >= SocketCount) return SocketAbsent;
  return sockets.GetEntry(socket).GetKind();
}

bool SocketIsDimmable(int socket, const TSocketTable& sockets) {
  return SocketKind(socket, sockets) == SocketDimmable;
}

int DoseUpDown(int direction, int n, const TSocketTable& sockets) {
  if (n < 0 || n >= SocketCount) return 0;
  if (direction > 0) return n <= 15 && SocketKind(n + 1, sockets) != SocketAbsent ? n + 1 : n;
  // Downward: 1 stays 1, and 0 has no socket below it.
  return n > 1 && SocketKind(n - 1, sockets) != SocketAbsent ? n - 1 : n;
}

int FirstPresentSocket(const TSocketTable& sockets) {
  for (int n = 1; n < SocketCount; ++n)
    if (SocketKind(n, sockets) != SocketAbsent) return n;
  return 0;
}

std::string RecordSocketText(int socket, const TSocketTable& sockets) {
  if (socket == 0) return NoSocketText;
  return SocketAssignmentName(socket, sockets);
}

bool AssignSocket(TSocketTable& sockets, int socket, std::uint8_t code, int valueOn, int valueOff) {
  if (socket < 0 || socket >= SocketCount) return false;
  auto clamp = [](int v) {
    return static_cast<std::uint8_t>(v < PercentMin ? PercentMin : v > PercentMax ? PercentMax : v);
  };
  const TSocketEntry entry = sockets.GetEntry(socket);
  entry.SetAssignment(code);
  entry.SetValueOn(clamp(valueOn));
  entry.SetValueOff(clamp(valueOff));
  return true;
}

// ---------------------------------------------------------------------------
// Control records

std::size_t ControlRecordOffset(int input, int process) {
  if (input < 0 || input >= SensorInputs || process < 0 || process >= ProcessesPerInput)
    throw std::out_of_range("control record of input " + std::to_string(input) + " and process " +
                            std::to_string(process) + " does not exist");
  return ControlRecordsOffset +
         static_cast<std::size_t>(input * ProcessesPerInput + process) * ControlRecordSize;
}

int StepInput(const TProgrammingImage& image, std::uint8_t sensorType, int current, int direction) {
  auto ofType = [&](int i) { return image.GetControlRecord(i, 0).GetSensorType() == sensorType; };
  if (direction > 0) {
    for (int i = std::max(current + 1, 0); i < SensorInputs; ++i)
      if (ofType(i)) return i;
  } else {
    for (int i = std::min(current - 1, SensorInputs - 1); i >= 0; --i)
      if (ofType(i)) return i;
  }
  return current;
}

int StepProcess(const TProgrammingImage& image, int input, int current, int direction) {
  if (input < 0 || input >= SensorInputs) return current;
  for (int p = current + (direction > 0 ? 1 : -1); p >= 0 && p<ProcessesPerInput; p += direction> 0 ? 1 : -1)
    if (image.GetControlRecord(input, p).GetMode() != ControlModeOff) return p;
  return current;
}

TNewRecordResult NewControlProcess(TProgrammingImage& image, int input, int shownProcess,
                                   std::uint8_t setSensorType, int& newProcess) {
  if (shownProcess >= ProcessesPerInput - 1) return TNewRecordResult::NoMore;
  if (input < 0 || input >= SensorInputs) return TNewRecordResult::NothingSelected;
  int free = 0;
  for (int p = 0; p < ProcessesPerInput - 1; ++p)
    if (image.GetControlRecord(input, p).GetMode() != ControlModeOff) free = p + 1;
  const TControlRecord record = image.GetControlRecord(input, free);
  // With all four in use there is no process to take: the last one keeps its mode.
  if (record.GetMode() != ControlModeOff) return TNewRecordResult::NoMore;
  record.SetMode(ControlModeUnset);
  if (setSensorType != 0) record.SetSensorType(setSensorType);
  newProcess = free;
  return TNewRecordResult::Created;
}

// ---------------------------------------------------------------------------
// Time-function records

std::size_t RecordOffset(const TRecordBlock& block, int k) {
  if (k < 0 || k >= block.count)
    throw std::out_of_range("record " + std::to_string(k) + " does not exist (0.." +
                            std::to_string(block.count - 1) + ")");
  return block.first + static_cast<std::size_t>(k) * block.size;
}

bool RecordInUse(const TProgrammingImage& image, const TRecordBlock& block, int k) {
  return image.GetByte(RecordOffset(block, k)) != 0;
}

int StepRecord(const TProgrammingImage& image, const TRecordBlock& block, int k, int direction,
               bool& refused) {
  refused = false;
  const int target = k + (direction > 0 ? 1 : -1);
  if (target < 0 || target >= block.count) return k;
  if (!RecordInUse(image, block, target)) {
    refused = true;
    return k;
  }
  return target;
}

int NewRecord(TProgrammingImage& image, const TRecordBlock& block) {
  for (int k = 0; k < block.count; ++k) {
    if (RecordInUse(image, block, k)) continue;
    if (block.first == FeedingPauseBlock.first)
      image.SetFeedingPauseMode(block.unset);
    else
      image.SetByte(RecordOffset(block, k), block.unset);
    return k;
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Checks and messages

TWriteCheck ValidateBeforeWrite(const TProgrammingImage& image) {
  const TUnsetRecord unset = FindUnsetRecord(image);
  switch (unset.Kind) {
    case TUnsetKind::None:
      return {};
    case TUnsetKind::Control:
      return {false,
              "Bitte Regelart für Sensor Nr. " + std::to_string(unset.Index + 1) + " und Vorgang Nr." +
                  std::to_string(unset.Process + 1) + " einstellen ! ",
              "Regelart"};
    case TUnsetKind::Timer:
      return {false,
              "Bitte zuvor Regelart (Aus, Täglich, Wöchentlich) eines bestimmten Zeitschaltuhr Vorgangs "
              "auswählen!",
              "Zeitschaltuhr"};
    case TUnsetKind::Interval:
      return {false, "Bitte zuvor Betriebsart (Aus, An) eines bestimmten Intervall Vorgangs auswählen!",
              "Intervall"};
    case TUnsetKind::FeedingPause:
      return {false, "Bitte zuvor Betriebsart (Aus, An) der Futterpause auswählen!", "Futterpause"};
    case TUnsetKind::Current:
      return {false,
              "Bitte zuvor Strömungsart (Aus, Strömung oder Ebbe/Flut) eines bestimmten Strömungsvorgangs "
              "auswählen!",
              "Strömungssimulation"};
    case TUnsetKind::DayNight:
      return {
          false,
          "Bitte zuvor Simulationsart (Aus, An, Simulation) eines bestimmten Tag/Nacht Vorgangs auswählen!",
          "Tag/Nacht Simulation"};
    case TUnsetKind::Moon:
      return {false,
              "Bitte zuvor Simulationsart (Aus, An, Simulation) eines bestimmten Mondsimulations Vorgangs "
              "auswählen!",
              "Mondphase"};
  }
  return {};
}

TNumberMessage NumberMessageFor(int page) {
  switch (page) {
    case 0:
      return {"Nummer nicht anwählbar! \n Bitte Knopf 'Neue Nummer' klicken !", "Futterpause Nummer"};
    case 1:
      return {"Nummer nicht anwählbar! \n Bitte Knopf 'Neuer Vorgang' klicken !", "Intervall Vorgang Nummer"};
    case 2:
      return {"Nummer nicht anwählbar! \n Bitte Knopf 'Neu' klicken !", "Zeitschaltuhr Vorgang Nummer"};
    case 3:
      return {"Nummer nicht anwählbar! \n Bitte Knopf 'Neuer Vorgang' klicken !", "Mondphase Vorgang Nummer"};
    default:
      return {"Fehler im Programm : Nr. 3 !", "Fehler"};
  }
}
