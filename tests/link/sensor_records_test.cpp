// Cutting the controllers' value output into records and converting them into sensors.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "link/SensorRecords.h"
#include "link/Tkorvidan.h"
#include "platform/Threads.h"

namespace {

// One value line as the controllers print it: every sensor type once.
const std::string FullLine =
    "E1(pH )07.05 pH E2(Te )25.3 \xB0"
    "C E3(Rx )0350 mV E4(Le )52.3 mS E5(Ox )08.50mg/l "
    "E6(Pe )Wasser E7(Ld )1013 mbar E8(Le )0850 uS E\r\n";

struct Expected {
  std::uint8_t type;
  float value;
};
const Expected FullLineValues[8] = {{SensorPH, 7.05f},         {SensorTemperature, 25.3f},
                                    {SensorRedox, 350.0f},     {SensorSeaConductivity, 52.3f},
                                    {SensorOxygen, 8.5f},      {SensorLevel, 1.0f},
                                    {SensorPressure, 1013.0f}, {SensorFreshConductivity, 850.0f}};

struct Converted {
  TKorvidan controller{0};
  std::vector<std::string> reports;
  bool found = false;
  int result = -1;
};

void Convert(const std::vector<std::string>& lines, Converted& out) {
  std::vector<std::string> records;
  out.found = CutSensorRecords(lines, records);
  if (!out.found) return;
  TCriticalSection lock;
  out.result = ConvertRecords(records, out.controller, lock,
                              [&](const std::string& text) { out.reports.push_back(text); });
}

void ExpectFullLine(const TKorvidan& k, const std::string& context) {
  for (int s = 0; s < 8; ++s) {
    const TSensor* sensor = k.GetSensor(s);
    EXPECT_EQ(sensor->GetType(), FullLineValues[s].type) << context << " sensor " << s;
    EXPECT_EQ(sensor->GetValue(), FullLineValues[s].value) << context << " sensor " << s;
  }
}

}  // namespace

TEST(SensorRecords, EverySensorTypeWithItsFactor) {
  Converted c;
  Convert({FullLine}, c);
  ASSERT_TRUE(c.found);
  EXPECT_EQ(c.result, 1);
  EXPECT_TRUE(c.reports.empty());
  ExpectFullLine(c.controller, "one chunk");
  EXPECT_EQ(c.controller.GetSensor(4)->GetO2Mode(), O2ModeMgPerLitre);
}

TEST(SensorRecords, ExampleRecordAndCutting) {
  std::vector<std::string> records;
  ASSERT_TRUE(CutSensorRecords({"E1(pH )07.12 pH!E"}, records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0], "1(pH )07.12 pH");
  EXPECT_EQ(records[1], "");

  Converted c;
  Convert({"E1(pH )07.12 pH!E"}, c);
  EXPECT_EQ(c.controller.GetSensor(0)->GetType(), SensorPH);
  EXPECT_EQ(c.controller.GetSensor(0)->GetValue(), 7.12f);

  // No "E" at all, and no lines at all.
  EXPECT_FALSE(CutSensorRecords({"1(pH )07.12 pH "}, records));
  EXPECT_TRUE(records.empty());
  EXPECT_FALSE(CutSensorRecords({}, records));

  // A text whose only "E" is its last character: one empty record.
  ASSERT_TRUE(CutSensorRecords({"abc", "E"}, records));
  EXPECT_EQ(records, std::vector<std::string>{""});

  // Carriage returns and line feeds vanish before cutting; "EE" gives an empty record.
  ASSERT_TRUE(CutSensorRecords({"E1(a)x\r\nyE", "\nE2(b)zwE"}, records));
  EXPECT_EQ(records, (std::vector<std::string>{"1(a)x", "", "2(b)z", ""}));
}

TEST(SensorRecords, SameValuesAtEveryChunkBorder) {
  // Two output lines cut into two chunks at every position, and into chunks of one byte.
  const std::string text = FullLine + FullLine;
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Converted c;
    Convert({text.substr(0, cut), text.substr(cut)}, c);
    ASSERT_TRUE(c.found);
    EXPECT_TRUE(c.reports.empty()) << "cut at " << cut;
    ExpectFullLine(c.controller, "cut at " + std::to_string(cut));
  }
  std::vector<std::string> bytes;
  for (char ch : text) bytes.emplace_back(1, ch);
  Converted c;
  Convert(bytes, c);
  ExpectFullLine(c.controller, "bytes");
}

TEST(SensorRecords, GarbageBetweenRecordsIsNeverAValue) {
  // Garbage before the first record, after a unit, and as records of their own.
  Converted c;
  Convert(
      {"#x!9(\x01", FullLine.substr(0, 16), "%%-\xFF#", FullLine.substr(16), "E9(Ld )77 mbar E0(pH )1 pHE",
       "Ex(Te )5 \xB0"
       "C E(pH )2 pH E3 Rx 0999 mV E"},
      c);
  ASSERT_TRUE(c.found);
  // "%%-\xFF#" lands behind " pH " of the pH record: "p" is still its last unit mark.
  ExpectFullLine(c.controller, "garbage");
  EXPECT_TRUE(c.reports.empty());

  // Records that address no sensor leave every sensor untouched.
  Converted none;
  Convert({"E9(pH )07.00 pH E0(Te )20.0 \xB0"
           "C Ex(Rx )0100 mV E(pH )1 pH E5 Ox 08.50mg/l E"},
          none);
  ASSERT_TRUE(none.found);
  EXPECT_EQ(none.result, 1);
  for (int s = 0; s < 8; ++s) {
    EXPECT_EQ(none.controller.GetSensor(s)->GetType(), SensorNone);
    EXPECT_EQ(none.controller.GetSensor(s)->GetValue(), 0.0f);
  }
}

TEST(SensorRecords, UnitsAndSpecialRecords) {
  Converted c;
  Convert({"E1(Ox )095.0 %E2(Pe )Water E3(Pe )Aria E4(Pe )Fehler E5(Le )012.5 mu E6(Ox ) E7(Zz )12 mV E"}, c);
  ASSERT_TRUE(c.found);
  const TKorvidan& k = c.controller;
  // The "%" right before the next "E" is kept: oxygen in percent.
  EXPECT_EQ(k.GetSensor(0)->GetType(), SensorOxygen);
  EXPECT_EQ(k.GetSensor(0)->GetO2Mode(), O2ModePercent);
  EXPECT_EQ(k.GetSensor(0)->GetValue(), 95.0f);
  EXPECT_EQ(k.GetSensor(1)->GetValue(), 1.0f);
  EXPECT_EQ(k.GetSensor(2)->GetValue(), 0.0f);
  EXPECT_EQ(k.GetSensor(3)->GetType(), SensorLevel);
  EXPECT_EQ(k.GetSensor(3)->GetValue(), 2.0f);
  // "u" and "m" in one conductivity record: converted twice, ends as mS.
  EXPECT_EQ(k.GetSensor(4)->GetType(), SensorSeaConductivity);
  EXPECT_FLOAT_EQ(k.GetSensor(4)->GetValue(), 12.5f);
  // Oxygen without "g" or "%": value 0 and the box with the number "0".
  EXPECT_EQ(k.GetSensor(5)->GetType(), SensorOxygen);
  EXPECT_EQ(k.GetSensor(5)->GetValue(), 0.0f);
  // An unknown type code changes nothing.
  EXPECT_EQ(k.GetSensor(6)->GetType(), SensorNone);
  EXPECT_EQ(c.reports, std::vector<std::string>{"O2: SensorValue = 0"});
}

TEST(SensorRecords, NumbersThatDoNotConvert) {
  Converted c;
  Convert({"E1(pH )x.y pH E2(Te )ab \xB0"
           "C E3(Rx )?? mV E4(Le )1x3 mS E5(Ox )q.rmg/l "
           "E6(Ld )--- mbar E7(pH )pH E8(Rx )1e99 mV E"},
          c);
  ASSERT_TRUE(c.found);
  const TKorvidan& k = c.controller;
  const std::uint8_t types[8] = {SensorPH,     SensorTemperature, SensorRedox, SensorSeaConductivity,
                                 SensorOxygen, SensorPressure,    SensorPH,    SensorRedox};
  const bool negativeZero[8] = {false, false, true, true, true, true, false, true};
  for (int s = 0; s < 8; ++s) {
    EXPECT_EQ(k.GetSensor(s)->GetType(), types[s]) << s;
    EXPECT_EQ(k.GetSensor(s)->GetValue(), 0.0f) << s;
    EXPECT_EQ(std::signbit(k.GetSensor(s)->GetValue()), negativeZero[s]) << s;
  }
  EXPECT_EQ(c.reports, (std::vector<std::string>{
                           "Fehler bei Convertierung pH", "Fehler bei Konvertierung Temperatur",
                           "Fehler bei Konvertierung Redox", "Fehler bei Konvertierung Leitwert ms",
                           "Fehler bei Konvertierung Sauerstoff", "Fehler bei Konvertierung Luftdruck",
                           "Fehler bei Convertierung pH", "Fehler bei Konvertierung Redox"}));

  // An empty list of records.
  std::vector<std::string> reports;
  TCriticalSection lock;
  TKorvidan k2(0);
  EXPECT_EQ(ConvertRecords({}, k2, lock, [&](const std::string& t) { reports.push_back(t); }), 0);
  EXPECT_EQ(reports, std::vector<std::string>{"Anzahl Sensor Daten :  0 "});
}
