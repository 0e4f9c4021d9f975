#pragma once
// A plausible controller configuration for the programming window's tests, the end-to-end
// programming test and the documentation's pictures. Its values are chosen to exercise the
// window's formats and rounding (7.126 shows "07.13", 25.25 shows "25.2", 349.6 shows " 350"),
// the signed time zone, both socket kinds and every record kind; its floats are all distinct
// byte patterns, so that a wrong byte order shows.
#include <string>

#include "programming/ProgrammingImage.h"
#include "tests/support/TempDir.h"

namespace sample {

struct TSample {
  TProgrammingImage image;
  TSocketTable sockets;
};

inline TSample Configuration() {
  TSample s;
  TProgrammingImage& im = s.image;
  TSocketTable& so = s.sockets;

  // Header.
  im.SetFloat(ProgLayout::ControllerTimeOffset, 45296.0f);  // 12:34:56
  im.SetFloat(ProgLayout::ControllerDateOffset, 60310.0f);  // 01.01.2024
  im.SetExternalDisplayInterval(1);
  im.SetInternalDisplayInterval(2);
  im.SetStorageInterval(900.0f);
  im.SetFloat(ProgLayout::HeaderFloat16Offset, 1234.5f);
  im.SetWord(ProgLayout::HeaderWordOffset, 0x1234);
  im.SetLongitude(8.8f);
  im.SetLatitude(53.08f);
  im.SetTimeZone(-3);
  im.SetAcousticAlarm(1);
  im.SetExternalAlarmSocket(6);
  im.SetClearStoredData(0);
  im.SetTrendPeriod(TrendPeriod1Day);
  im.SetProgrammingLevel(1);
  im.SetConductivityUnit(1);
  im.SetRedoxUnit(0);
  im.SetOxygenUnit(1);
  im.SetTemperatureUnit(0);

  // Sockets: present 1..10 and 12; 3, 7, 8 and 9 dimmable; 11 and 13..16 absent.
  const std::uint8_t kinds[17] = {0, 1, 1, 2, 1, 1, 1, 2, 2, 2, 1, 0, 1, 0, 0, 0, 0};
  const std::uint8_t codes[17] = {0, 1, 1, 2, 3, 7, 18, 14, 15, 16, 17, 0, 13, 0, 0, 0, 0};
  for (int n = 0; n < 17; ++n) {
    const TSocketEntry e = so.GetEntry(n);
    e.SetKind(kinds[n]);
    e.SetAssignment(codes[n]);
    e.SetValueOn(kinds[n] == 2 ? static_cast<std::uint8_t>(60 + n) : 100);
    e.SetValueOff(kinds[n] == 2 ? static_cast<std::uint8_t>(n) : 0);
    e.SetByte(2, static_cast<std::uint8_t>(0xA0 + n));  // not interpreted, carried along
  }

  auto control = [&](int input, int process, std::uint8_t type, std::uint8_t mode, float a, float b, float c,
                     float d, float upper, float lower, float alarmTime, std::uint8_t socket) {
    const TControlRecord r = im.GetControlRecord(input, process);
    r.SetSensorType(type);
    r.SetMode(mode);
    r.SetSetValueDay(a);
    r.SetSetValueNight(b);
    r.SetSetValueWinterDay(c);
    r.SetSetValueWinterNight(d);
    r.SetUpperAlarm(upper);
    r.SetLowerAlarm(lower);
    r.SetAlarmTime(alarmTime);
    r.SetFloat(31, 0.25f * static_cast<float>(input + 1));
    r.SetSocket(socket);
  };
  control(0, 0, 1, 1, 7.126f, 7.2f, 0, 0, 7.6f, 6.8f, 0, 1);
  control(0, 1, 1, 2, 6.5f, 6.6f, 0, 0, 7.0f, 6.0f, 0, 2);
  control(1, 0, 2, 2, 25.25f, 24.5f, 24.0f, 23.0f, 27.5f, 22.0f, 0, 3);
  control(2, 0, 3, 1, 349.6f, 0, 0, 0, 400.0f, 250.0f, 0, 4);
  control(3, 0, 5, 2, 52.4f, 0, 0, 0, 55.0f, 48.0f, 0, 0);
  control(4, 0, 6, 1, 8.46f, 7.5f, 0, 0, 10.0f, 5.0f, 0, 0);
  control(5, 0, 7, 2, 0, 0, 0, 0, 0, 0, 600.0f, 5);
  control(6, 0, 1, 0, 7.0f, 7.0f, 0, 0, 8.0f, 6.0f, 0, 0);  // a second pH input, off
  im.GetControlRecord(0, 0).SetControlIn(1);

  // Current: ebb and flood with waves; a plain current.
  TCurrentRecord cur = im.GetCurrentRecord(0);
  cur.SetMode(2);
  cur.SetDuration(21600.0f);
  cur.SetRandomTime(600.0f);
  cur.SetWaveDuration(30.0f);
  cur.SetNightReduction(40);
  cur.SetEbbSocket(7);
  cur.SetFloodSocket(8);
  cur = im.GetCurrentRecord(1);
  cur.SetMode(1);
  cur.SetNightReduction(20);
  cur.SetEbbSocket(9);

  TDayNightRecord day = im.GetDayNightRecord(0);
  day.SetMode(1);
  day.SetSunrise(28800.0f);
  day.SetSunset(73800.0f);
  day.SetSocket(10);
  day = im.GetDayNightRecord(1);
  day.SetMode(2);
  day.SetSocket(9);

  const TMoonRecord moon = im.GetMoonRecord(0);
  moon.SetMode(2);
  moon.SetMoonrise(75600.0f);
  moon.SetMoonset(18000.0f);
  moon.SetBrightness(30);
  moon.SetSocket(9);

  TTimerRecord timer = im.GetTimerRecord(0);
  timer.SetMode(2);
  timer.SetDayOfWeek(3);
  timer.SetStart(36000.0f);
  timer.SetEnd(37800.0f);
  timer.SetSocket(12);
  timer.SetValueOn(100);
  timer.SetValueOff(0);
  timer = im.GetTimerRecord(1);
  timer.SetMode(1);
  timer.SetStart(64800.0f);
  timer.SetEnd(68400.0f);
  timer.SetSocket(4);
  timer.SetValueOn(100);

  const TIntervalRecord iv = im.GetIntervalRecord(0);
  iv.SetMode(1);
  iv.SetStart(32400.0f);
  iv.SetActiveUntil(75600.0f);
  iv.SetOnTime(300.0f);
  iv.SetOffTime(3300.0f);
  iv.SetRandomOn(60.0f);
  iv.SetRandomOff(120.0f);
  iv.SetSocket(5);
  iv.SetValueOn(100);
  iv.SetValueOff(0);

  im.SetFeedingPauseSocket(0, 7);
  im.SetFeedingPausePercent(0, 30);
  im.SetFeedingPauseSocket(1, 8);
  im.SetFeedingPausePercent(1, 0);
  im.SetFeedingPauseMode(1);
  im.SetFeedingPauseStart(82800.0f);
  im.SetFeedingPauseDuration(7200.0f);
  im.UpdateFeedingPauseEnd();

  im.SetByte(ProgLayout::EndMarkerOffset, ProgLayout::EndMarker0);
  im.SetByte(ProgLayout::EndMarkerOffset + 1, ProgLayout::EndMarker1);
  return s;
}

// The configuration as a programming-data file.
inline std::string PrgFile(const TSample& s) {
  std::string file = "ovu ProgData";
  file.append(reinterpret_cast<const char*>(s.image.Bytes.data()), s.image.Bytes.size());
  file.append(reinterpret_cast<const char*>(s.sockets.Bytes.data()), s.sockets.Bytes.size());
  return file;
}

}  // namespace sample
