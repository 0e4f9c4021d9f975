// One simulated controller: its sensors, the value output it prints on the bus, and its replies to
// the PC's requests (version, programming dump, programming write, stored-data listing, rename).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim_image.h"

namespace ksim {

// Sensor kinds as the controller prints them. The first eight follow the sensor type codes 1..8;
// oxygen in percent saturation is a ninth way of printing type 6.
enum class SensorKind {
  PH = 1,
  Temperature,
  Redox,
  ConductivityMs,
  ConductivityUs,
  OxygenMg,
  Level,
  Pressure,
  OxygenPercent
};

std::optional<SensorKind> parseSensorKind(const std::string& text);  // "ph", "temp", ..., or "1".."8"
std::string sensorKindName(SensorKind kind);

struct Sensor {
  int number = 1;  // 1..8 as printed
  SensorKind kind = SensorKind::PH;
  double value = 0.0;  // level: 1 water, 0 air, anything else a fault
};

// One output unit: bytes written after a pause.
struct Segment {
  std::string bytes;
  int delayMs = 0;
};

// The record of one sensor, e.g. "E1(pH )07.05 pH ".
std::string formatRecord(const Sensor& sensor);
// A full value block: the records of all sensors in number order, a closing "E", CR LF.
std::string formatValueBlock(const std::vector<Sensor>& sensors);
// "korvidan v2.19" CR LF for version 219.
std::string versionReply(int version);

struct ReplyTiming {
  int reactionMs = 30;  // before the first byte of a reply
  int gapMs = 100;      // between the marker blocks of a reply
};

// Programming dump: "Data RAM:", the image in bus order as hex, "End RAM", "Socket Data", the
// socket table as hex, "Socket End"; each marker followed by CR LF.
std::vector<Segment> dumpReply(const ProgramMemory& memory, int version, const ReplyTiming& timing);
// Whether values drift, and the seed and controller address their waves depend on.
struct Drift {
  bool on = false;
  unsigned seed = 0;
  int address = 0;
};

// Stored sensor data listing from 13 hyphens to "END"; drifting values as they were at each
// row's time.
std::vector<Segment> listingReply(const std::vector<Sensor>& sensors, int rows, int intervalSeconds,
                                  long long unixNow, const ReplyTiming& timing, const Drift& drift = {});
// 8-bit sum of the character codes of a text.
std::uint8_t characterSum(const std::string& text);

// Collects a programming write after "Receive Start": image hex, its checksum pair, socket hex,
// the checksum pair over both blocks.
class ProgramReceiver {
 public:
  static constexpr std::size_t kImageChars = 2 * kImageSize;         // 7156
  static constexpr std::size_t kSocketChars = 2 * kSocketTableSize;  // 238
  static constexpr std::size_t kTotalChars = kImageChars + 2 + kSocketChars + 2;

  enum class Status { Pending, Complete, Interrupted };

  void start() {
    hex_.clear();
    active_ = true;
  }
  void stop() {
    active_ = false;
    hex_.clear();
  }
  bool active() const { return active_; }
  std::size_t received() const { return hex_.size(); }

  // Feeds one byte. Interrupted means a new request "D" + letter arrived instead of data; the
  // letter is stored in interruptingRequest. A repeated "DG" is dropped and receiving goes on.
  Status feed(char c);
  char interruptingRequest = 0;

  struct Result {
    std::uint8_t checksum = 0;  // over the characters of both data blocks
    bool consistent = false;    // both checksum pairs as sent match the data
    ProgramMemory busMemory;    // decoded as received (image in bus order)
  };
  Result evaluate() const;

 private:
  bool active_ = false;
  std::string hex_;
};

struct Controller {
  int address = 0;
  std::string name = "Korvidan1";
  int version = 219;
  bool clock = true;  // stamp the controller time and date into a dump
  std::vector<Sensor> sensors;
  ProgramMemory memory;
  std::string savePath;  // where an accepted programming write is stored, if set

  ProgramReceiver receiver;
  long long nextOutputUs = 0;

  Sensor* findSensor(int number);
  void setSensor(const Sensor& sensor);  // replaces or adds, keeps number order
  bool removeSensor(int number);
  // Seconds between two value blocks: the external display interval of the image (1..4 s).
  double displayIntervalSeconds() const;
  int storageIntervalSeconds() const;
};

// The sensors of a controller without --sensor. Drifting values wander around a tank's usual
// readings (pH 8.1, 25.5 \u00b0C, ...); fixed ones are the steady values 7.05, 25.3, ...
std::vector<Sensor> defaultSensors(bool drifting = false);

// How far a drifting value strays from its set value at most, by kind: pH 0.2, temperature 1.0,
// redox 25, ...; 0 for level sensors, which keep their state.
double driftAmplitude(SensorKind kind);
// The value a sensor shows at a time (seconds since 1970, local time of day matters): its set
// value plus a swing over the day (highest late in the afternoon) and two shorter waves whose
// phases come from the seed, the controller address and the sensor number. Never farther than
// driftAmplitude from the set value, and never below 0.
double driftedValue(const Sensor& sensor, double unixSeconds, unsigned seed, int address);
// The sensors with their values at that time.
std::vector<Sensor> sensorsAt(const std::vector<Sensor>& sensors, double unixSeconds, unsigned seed,
                              int address);

}  // namespace ksim
