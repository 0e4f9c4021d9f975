// The controllers on the bus as the application sees them: the controller list,
// one TKorvidan per controller with its identification and its eight sensor
// inputs.  Plain objects without locks of their own: whoever reads or writes
// the sensors' values, types, oxygen modes or limits from more than one thread
// holds SensorDataLock while doing so.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/DateTime.h"

// Sensor type codes
constexpr std::uint8_t SensorNone = 0;
constexpr std::uint8_t SensorPH = 1;
constexpr std::uint8_t SensorTemperature = 2;
constexpr std::uint8_t SensorRedox = 3;
constexpr std::uint8_t SensorSeaConductivity = 4;
constexpr std::uint8_t SensorFreshConductivity = 5;
constexpr std::uint8_t SensorOxygen = 6;
constexpr std::uint8_t SensorLevel = 7;
constexpr std::uint8_t SensorPressure = 8;

// Alarm states
constexpr int AlarmNone = 0;
constexpr int AlarmBelow = 1;
constexpr int AlarmAbove = 2;

// Alarm action codes
constexpr int ActionFax = 0;
constexpr int ActionCall = 1;
constexpr int ActionAlarm = 2;
constexpr int ActionMarkOnly = 3;

// Oxygen unit modes
constexpr int O2ModeMgPerLitre = 0;
constexpr int O2ModePercent = 1;

class TSensor {
 public:
  explicit TSensor(int number);

  int GetNumber() const { return FNumber; }
  std::uint8_t GetType() const { return FType; }
  void SetType(std::uint8_t type) { FType = type; }
  float GetValue() const { return FValue; }
  void SetValue(float value) { FValue = value; }
  int GetO2Mode() const { return FO2Mode; }
  void SetO2Mode(int mode) { FO2Mode = mode; }
  float GetUpperLimit() const { return FUpperLimit; }
  void SetUpperLimit(float limit) { FUpperLimit = limit; }
  float GetLowerLimit() const { return FLowerLimit; }
  void SetLowerLimit(float limit) { FLowerLimit = limit; }
  const std::string& GetActionText() const { return FActionText; }
  void SetActionText(const std::string& text) { FActionText = text; }

  // The label of the sensor type ("pH", "Temp.[°C]", ...); kept in the
  // sensor.  An unknown type, or oxygen with an unknown unit mode, keeps the
  // label it had ("Fehler" at first).
  const std::string& GetTypeText();
  // The value with two decimals and a decimal comma ("7,12"); kept in the
  // sensor.
  const std::string& GetValueText();
  // AlarmBelow when the value is below the lower limit, else AlarmAbove when
  // it is above the upper limit, else AlarmNone; a value on a limit is inside.
  int GetAlarmState() const;
  // ActionFax, ActionCall, ActionAlarm or ActionMarkOnly from the action text
  // (exact comparison; any other text marks only).
  int GetActionCode() const;

 private:
  int FNumber;
  std::uint8_t FType = SensorNone;
  std::string FLabel = "Fehler";
  std::string FValueText = "0";
  std::string FActionText;
  int FO2Mode = O2ModeMgPerLitre;
  float FValue = 0.0f;
  float FUpperLimit = 1.0f;
  float FLowerLimit = -1.0f;
};

class TIdent {
 public:
  TIdent() = default;

  int GetAddress() const { return FAddress; }
  const std::string& GetName() const { return FName; }
  void SetName(const std::string& name) { FName = name; }

  // The rename command for the bus: "$", the address as two upper-case hex
  // digits, "6", the name and a carriage return.
  std::string BuildWriteIDCommand(const std::string& newName) const;

  // Renames the controller: the rename command goes to WriteIDHandler (which
  // shows it and sends it on the bus), and once it is on the bus the name
  // becomes newName.  When it could not be sent (no handler, a negative
  // result or an exception of the handler) the name stays and
  // std::runtime_error says so.  A name holding control characters would
  // break the command apart on the bus; it is refused with
  // std::invalid_argument and nothing is sent.
  void WriteID(const std::string& newName);

  // Installed by the bus module: shows "WriteID: Command = " + command and
  // sends the command with its waiting send (which puts it on the bus in
  // Windows-1252; the command itself is UTF-8 text like every other text of
  // the program).  0 when the command went on the bus, negative when not.
  static std::function<int(const std::string& command)> WriteIDHandler;

 private:
  int FAddress = 0;
  std::string FName;
  std::string FSecondText = "{";
};

class TKorvidan {
 public:
  static constexpr int SensorCount = 8;

  explicit TKorvidan(int index);

  int GetIndex() const { return FIndex; }
  int GetBoardColumns() const { return FBoardColumns; }
  TIdent* GetIdent() { return &FIdent; }
  const TIdent* GetIdent() const { return &FIdent; }
  // Sensor 0..7; nullptr for any other number.
  TSensor* GetSensor(int number);
  const TSensor* GetSensor(int number) const;

  TDateTime GetTimeStamp() const { return FTimeStamp; }
  // The time of day of the time stamp, "hh:nn:ss".
  std::string GetTimeStampText() const;
  void StampTime();
  // Value 0.0 and type 0 on all eight sensors; no values delivered.
  void ClearSensors();
  // True when the last poll converted at least one record of the controller into a sensor:
  // only then do its sensors hold values that may be judged against their limits.  Clear
  // until the first poll and after a poll that got nothing.
  bool HasDeliveredValues() const { return FValuesDelivered; }
  void SetValuesDelivered(bool delivered) { FValuesDelivered = delivered; }

 private:
  int FIndex;
  int FBoardColumns = 3;
  TIdent FIdent;
  TDateTime FTimeStamp;
  bool FValuesDelivered = false;
  std::array<TSensor, SensorCount> FSensors;
};

class TControllerList {
 public:
  static constexpr int MaxControllers = 10;

  TControllerList() = default;
  TControllerList(const TControllerList&) = delete;
  TControllerList& operator=(const TControllerList&) = delete;

  int GetControllerCount() const { return FCount; }
  // 0..10; any other count is refused with std::out_of_range.
  void SetControllerCount(int count);

  // The controller in slot 0..9; nullptr for an empty slot or another number.
  TKorvidan* GetController(int slot) const;
  // Puts a controller into slot 0..9; the list owns it from then on.  A
  // controller already in the slot is freed.  A slot outside 0..9 is
  // refused with std::out_of_range and the controller is freed; a controller
  // the list already holds in another slot is refused with
  // std::invalid_argument (and stays where it is).
  void SetController(int slot, TKorvidan* controller);
  // Appends a controller in the slot after the last one and counts it.  An
  // eleventh controller is refused with std::length_error (the list stays
  // as it was and the controller is freed); one the list already holds with
  // std::invalid_argument.
  void AddController(TKorvidan* controller);

 private:
  bool Holds(const TKorvidan* controller) const;

  int FCount = 0;
  std::array<std::unique_ptr<TKorvidan>, MaxControllers> FControllers;
};
