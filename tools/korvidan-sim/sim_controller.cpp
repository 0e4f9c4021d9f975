#include "sim_controller.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>

namespace ksim {
namespace {

struct KindInfo {
  SensorKind kind;
  const char* name;   // command-line name
  const char* code;   // two-letter code inside the parentheses
  const char* label;  // column label of the stored-data listing
};

constexpr KindInfo kKinds[] = {
    {SensorKind::PH, "ph", "pH", "pH"},
    {SensorKind::Temperature, "temp", "Te",
     "Temp[\xB0"
     "C]"},
    {SensorKind::Redox, "redox", "Rx", "Redox"},
    {SensorKind::ConductivityMs, "cond-ms", "Le", "LW[mS]"},
    {SensorKind::ConductivityUs, "cond-us", "Le", "LW[uS]"},
    {SensorKind::OxygenMg, "o2-mg", "Ox", "O2[mg/l]"},
    {SensorKind::Level, "level", "Pe", "Pegel"},
    {SensorKind::Pressure, "pressure", "Ld", "Druck"},
    {SensorKind::OxygenPercent, "o2-pct", "Ox", "O2[%]"},
};

const KindInfo& info(SensorKind kind) {
  for (const KindInfo& k : kKinds)
    if (k.kind == kind) return k;
  return kKinds[0];
}

std::string printf1(const char* format, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, value);
  return buf;
}

std::string printInt(const char* format, double value) {
  const double clamped = std::clamp(value, -99999.0, 999999.0);
  char buf[64];
  std::snprintf(buf, sizeof buf, format, std::lround(clamped));
  return buf;
}

std::string levelWord(double value) {
  if (value == 1.0) return "Wasser";
  if (value == 0.0) return "Luft";
  return "Fehler";
}

// The number as the value output prints it: digits chosen so that the PC's conversion (leading
// zero stripped, decimal point dropped, fixed factor) gives the value back.
std::string outputNumber(const Sensor& s) {
  switch (s.kind) {
    case SensorKind::PH:
      return printf1("%05.2f", s.value);
    case SensorKind::Temperature:
      return printf1("%04.1f", s.value);
    case SensorKind::Redox:
      return printInt("%04ld", s.value);
    case SensorKind::ConductivityMs:
      return printf1("%04.1f", s.value);
    case SensorKind::ConductivityUs:
      return printInt("%04ld", s.value);
    case SensorKind::OxygenMg:
      return printf1("%05.2f", s.value);
    case SensorKind::OxygenPercent:
      return printf1("%05.1f", s.value);
    case SensorKind::Level:
      return levelWord(s.value);
    case SensorKind::Pressure:
      return printInt("%04ld", s.value);
  }
  return {};
}

// The value as the stored-data listing prints it (decimal point, no padding).
std::string listingNumber(const Sensor& s) {
  switch (s.kind) {
    case SensorKind::PH:
    case SensorKind::OxygenMg:
      return printf1("%.2f", s.value);
    case SensorKind::Temperature:
    case SensorKind::ConductivityMs:
    case SensorKind::OxygenPercent:
      return printf1("%.1f", s.value);
    case SensorKind::Redox:
    case SensorKind::ConductivityUs:
    case SensorKind::Pressure:
      return printInt("%ld", s.value);
    case SensorKind::Level:
      return levelWord(s.value);
  }
  return {};
}

std::string padLeft(const std::string& text, std::size_t width) {
  return text.size() >= width ? " " + text : std::string(width - text.size(), ' ') + text;
}

}  // namespace

std::optional<SensorKind> parseSensorKind(const std::string& text) {
  for (const KindInfo& k : kKinds)
    if (text == k.name) return k.kind;
  if (text.size() == 1 && text[0] >= '1' && text[0] <= '8') return static_cast<SensorKind>(text[0] - '0');
  return std::nullopt;
}

std::string sensorKindName(SensorKind kind) { return info(kind).name; }

std::string formatRecord(const Sensor& s) {
  std::string record = "E";
  record += static_cast<char>('0' + s.number);
  record += "(";
  record += info(s.kind).code;
  record += " )";
  record += outputNumber(s);
  switch (s.kind) {
    case SensorKind::PH:
      record += " pH ";
      break;
    case SensorKind::Temperature:
      record +=
          " \xB0"
          "C ";
      break;
    case SensorKind::Redox:
      record += " mV ";
      break;
    case SensorKind::ConductivityMs:
      record += " mS ";
      break;
    case SensorKind::ConductivityUs:
      record += " uS ";
      break;
    case SensorKind::OxygenMg:
      record += "mg/l ";
      break;
    case SensorKind::OxygenPercent:
      record += " %";
      break;  // the percent sign runs into the next "E"
    case SensorKind::Level:
      record += " ";
      break;
    case SensorKind::Pressure:
      record += " mbar ";
      break;
  }
  return record;
}

std::string formatValueBlock(const std::vector<Sensor>& sensors) {
  if (sensors.empty()) return {};
  std::string block;
  for (const Sensor& s : sensors) block += formatRecord(s);
  block += "E\r\n";
  return block;
}

std::string versionReply(int version) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "korvidan v%d.%02d\r\n", version / 100, version % 100);
  return buf;
}

std::vector<Segment> dumpReply(const ProgramMemory& memory, int version, const ReplyTiming& timing) {
  const Image bus = toBusOrder(memory.image, version);
  return {
      {"Data RAM:\r\n", timing.reactionMs},
      {toHex(bus.data(), bus.size()) + "\r\nEnd RAM\r\n", timing.gapMs},
      {"Socket Data\r\n" + toHex(memory.sockets.data(), memory.sockets.size()) + "\r\n", timing.gapMs},
      {"Socket End\r\n", timing.gapMs},
  };
}

std::vector<Segment> listingReply(const std::vector<Sensor>& sensors, int rows, int intervalSeconds,
                                  long long unixNow, const ReplyTiming& timing, const Drift& drift) {
  const std::string separator = std::string(60, '-') + "\r\n";
  std::string body = "Datum      Uhrzeit ";
  for (const Sensor& s : sensors) body += padLeft(std::to_string(s.number) + ":" + info(s.kind).label, 11);
  body += "\r\n" + separator;
  const long long interval = std::max(1, intervalSeconds);
  const long long last = unixNow - unixNow % interval;
  for (int r = rows - 1; r >= 0; --r) {
    const std::time_t t = static_cast<std::time_t>(last - r * interval);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[40];
    std::snprintf(stamp, sizeof stamp, "%02d.%02d.%04d %02d:%02d:%02d", tm.tm_mday, tm.tm_mon + 1,
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    body += stamp;
    const std::vector<Sensor> row =
        drift.on ? sensorsAt(sensors, static_cast<double>(t), drift.seed, drift.address) : sensors;
    for (const Sensor& s : row) body += padLeft(listingNumber(s), 11);
    body += "\r\n";
  }
  body += separator;
  return {
      {separator, timing.reactionMs},
      {body, timing.gapMs},
      {"END\r\n", timing.gapMs},
  };
}

std::uint8_t characterSum(const std::string& text) {
  unsigned sum = 0;
  for (char c : text) sum += static_cast<unsigned char>(c);
  return static_cast<std::uint8_t>(sum & 0xFF);
}

ProgramReceiver::Status ProgramReceiver::feed(char c) {
  if (!active_) return Status::Pending;
  if (hexDigit(c) >= 0) {
    hex_.push_back(c);
    return hex_.size() >= kTotalChars ? Status::Complete : Status::Pending;
  }
  // Data is hex only, so a request letter right behind a "D" means the "D" began a request.
  if ((c == 'G' || c == 'R' || c == 'S' || c == 'V') && !hex_.empty() && hex_.back() == 'D') {
    hex_.pop_back();
    if (c == 'G') return Status::Pending;
    interruptingRequest = c;
    return Status::Interrupted;
  }
  return Status::Pending;  // line ends and other noise between the pairs
}

ProgramReceiver::Result ProgramReceiver::evaluate() const {
  Result result;
  if (hex_.size() < kTotalChars) return result;
  const std::string imageHex = hex_.substr(0, kImageChars);
  const std::string imageCheck = hex_.substr(kImageChars, 2);
  const std::string socketHex = hex_.substr(kImageChars + 2, kSocketChars);
  const std::string totalCheck = hex_.substr(kImageChars + 2 + kSocketChars, 2);
  const std::uint8_t imageSum = characterSum(imageHex);
  result.checksum = static_cast<std::uint8_t>(imageSum + characterSum(socketHex));
  auto pair = [](const std::string& p) { return hexDigit(p[0]) * 16 + hexDigit(p[1]); };
  result.consistent = pair(imageCheck) == imageSum && pair(totalCheck) == result.checksum;
  for (std::size_t i = 0; i < kImageSize; ++i)
    result.busMemory.image[i] = static_cast<std::uint8_t>(pair(imageHex.substr(2 * i, 2)));
  for (std::size_t i = 0; i < kSocketTableSize; ++i)
    result.busMemory.sockets[i] = static_cast<std::uint8_t>(pair(socketHex.substr(2 * i, 2)));
  return result;
}

Sensor* Controller::findSensor(int number) {
  for (Sensor& s : sensors)
    if (s.number == number) return &s;
  return nullptr;
}

void Controller::setSensor(const Sensor& sensor) {
  if (Sensor* existing = findSensor(sensor.number)) {
    *existing = sensor;
    return;
  }
  sensors.push_back(sensor);
  std::sort(sensors.begin(), sensors.end(),
            [](const Sensor& a, const Sensor& b) { return a.number < b.number; });
}

bool Controller::removeSensor(int number) {
  const auto before = sensors.size();
  std::erase_if(sensors, [number](const Sensor& s) { return s.number == number; });
  return sensors.size() != before;
}

double Controller::displayIntervalSeconds() const { return (memory.image[10] & 3) + 1; }

int Controller::storageIntervalSeconds() const {
  const float seconds = getFloat(memory.image, 12);
  if (!(seconds >= 1.0f && seconds <= 86400.0f)) return 900;
  return static_cast<int>(seconds);
}

std::vector<Sensor> defaultSensors(bool drifting) {
  if (drifting)
    return {
        {1, SensorKind::PH, 8.1},        {2, SensorKind::Temperature, 25.5},
        {3, SensorKind::Redox, 350},     {4, SensorKind::ConductivityMs, 52.3},
        {5, SensorKind::OxygenMg, 7.5},  {6, SensorKind::Level, 1},
        {7, SensorKind::Pressure, 1013},
    };
  return {
      {1, SensorKind::PH, 7.05},       {2, SensorKind::Temperature, 25.3},
      {3, SensorKind::Redox, 350},     {4, SensorKind::ConductivityMs, 52.3},
      {5, SensorKind::OxygenMg, 8.5},  {6, SensorKind::Level, 1},
      {7, SensorKind::Pressure, 1013},
  };
}

double driftAmplitude(SensorKind kind) {
  switch (kind) {
    case SensorKind::PH:
      return 0.2;
    case SensorKind::Temperature:
      return 1.0;
    case SensorKind::Redox:
      return 25;
    case SensorKind::ConductivityMs:
      return 0.8;
    case SensorKind::ConductivityUs:
      return 15;
    case SensorKind::OxygenMg:
      return 0.6;
    case SensorKind::OxygenPercent:
      return 6;
    case SensorKind::Pressure:
      return 6;
    case SensorKind::Level:
      break;
  }
  return 0;
}

double driftedValue(const Sensor& sensor, double unixSeconds, unsigned seed, int address) {
  const double amplitude = driftAmplitude(sensor.kind);
  if (amplitude == 0) return sensor.value;
  constexpr double kTwoPi = 6.283185307179586;
  // Phases of the short waves: a small hash of seed, address and sensor number.
  std::uint32_t h = seed * 2654435761u ^ static_cast<std::uint32_t>(address) * 40503u ^
                    static_cast<std::uint32_t>(sensor.number) * 2246822519u;
  h ^= h >> 15;
  h *= 2246822519u;
  h ^= h >> 13;
  const double phase1 = kTwoPi * (h & 0xFFFF) / 65536.0;
  const double phase2 = kTwoPi * (h >> 16) / 65536.0;
  // The day's swing follows the local clock: lowest at four in the morning, highest at four in
  // the afternoon, as light and heating drive a tank.
  const std::time_t whole = static_cast<std::time_t>(std::floor(unixSeconds));
  std::tm tm{};
  localtime_r(&whole, &tm);
  const double local = unixSeconds + static_cast<double>(tm.tm_gmtoff);
  const double day = std::sin(kTwoPi * (local / 86400.0 - 10.0 / 24.0));
  const double medium = std::sin(kTwoPi * unixSeconds / 1500.0 + phase1);
  const double fast = std::sin(kTwoPi * unixSeconds / 180.0 + phase2);
  const double v = sensor.value + amplitude * (0.8 * day + 0.12 * medium + 0.08 * fast);
  return std::max(0.0, v);
}

std::vector<Sensor> sensorsAt(const std::vector<Sensor>& sensors, double unixSeconds, unsigned seed,
                              int address) {
  std::vector<Sensor> out = sensors;
  for (Sensor& s : out) s.value = driftedValue(s, unixSeconds, seed, address);
  return out;
}

}  // namespace ksim
