// The controller's programming data: the programming image (a copy of the
// controller's programming memory, 3578 bytes) and the socket table (17
// entries of 7 bytes).  Both exist once per process (ProgrammingImage,
// SocketTable); the transfer (ProgDataTransfer.h) fills and sends them, the
// programming-data file (ProgDataFile.h) stores them and the programming
// window edits them field by field.
//
// Both blocks are packed byte arrays.  Multi-byte values are little-endian in
// memory and in files; floats are IEEE single precision.  Most floats sit at
// odd offsets, so every field is read and written byte by byte: nothing in
// here loads a float through a pointer cast.
//
// Every accessor checks its record number and offset and throws
// std::out_of_range instead of touching a byte outside its own field.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace ProgLayout {

constexpr std::size_t ImageSize = 3578;

// Header
constexpr std::size_t ControllerTimeOffset = 1;
constexpr std::size_t ControllerDateOffset = 5;
constexpr std::size_t ExternalDisplayOffset = 10;
constexpr std::size_t InternalDisplayOffset = 11;
constexpr std::size_t StorageIntervalOffset = 12;
constexpr std::size_t HeaderFloat16Offset = 16;
constexpr std::size_t HeaderWordOffset = 20;
constexpr std::size_t LongitudeOffset = 22;
constexpr std::size_t LatitudeOffset = 26;
constexpr std::size_t TimeZoneOffset = 30;
constexpr std::size_t AcousticAlarmOffset = 31;
constexpr std::size_t ExternalAlarmOffset = 32;
constexpr std::size_t ClearStoredDataOffset = 33;
constexpr std::size_t TrendPeriodOffset = 34;
constexpr std::size_t ProgrammingLevelOffset = 38;
constexpr std::size_t ConductivityUnitOffset = 39;
constexpr std::size_t RedoxUnitOffset = 40;
constexpr std::size_t OxygenUnitOffset = 41;
constexpr std::size_t TemperatureUnitOffset = 42;

// Record blocks
constexpr std::size_t ControlRecordsOffset = 43;
constexpr std::size_t ControlRecordSize = 36;
constexpr int SensorInputs = 8;
constexpr int ProcessesPerInput = 4;

constexpr std::size_t IntervalRecordsOffset = 1195;
constexpr std::size_t IntervalRecordSize = 32;
constexpr int IntervalRecords = 32;

constexpr std::size_t CurrentRecordsOffset = 2219;
constexpr std::size_t CurrentRecordSize = 26;
constexpr int CurrentRecords = 16;

constexpr std::size_t DayNightRecordsOffset = 2635;
constexpr std::size_t DayNightRecordSize = 18;
constexpr int DayNightRecords = 16;

constexpr std::size_t MoonRecordsOffset = 2923;
constexpr std::size_t MoonRecordSize = 12;
constexpr int MoonRecords = 16;

constexpr std::size_t TimerRecordsOffset = 3115;
constexpr std::size_t TimerRecordSize = 13;
constexpr int TimerRecords = 32;

constexpr std::size_t FeedingPauseOffset = 3531;
constexpr int FeedingPauseEntries = 16;
constexpr std::size_t FeedingPauseModeOffset = 3563;
constexpr std::size_t FeedingPauseStartOffset = 3564;
constexpr std::size_t FeedingPauseDurationOffset = 3568;
constexpr std::size_t FeedingPauseEndOffset = 3572;

constexpr std::size_t EndMarkerOffset = 3576;
constexpr std::uint8_t EndMarker0 = 0x30;  // '0'
constexpr std::uint8_t EndMarker1 = 0x39;  // '9'

static_assert(ControlRecordsOffset + SensorInputs * ProcessesPerInput * ControlRecordSize ==
              IntervalRecordsOffset);
static_assert(IntervalRecordsOffset + IntervalRecords * IntervalRecordSize == CurrentRecordsOffset);
static_assert(CurrentRecordsOffset + CurrentRecords * CurrentRecordSize == DayNightRecordsOffset);
static_assert(DayNightRecordsOffset + DayNightRecords * DayNightRecordSize == MoonRecordsOffset);
static_assert(MoonRecordsOffset + MoonRecords * MoonRecordSize == TimerRecordsOffset);
static_assert(TimerRecordsOffset + TimerRecords * TimerRecordSize == FeedingPauseOffset);
static_assert(FeedingPauseOffset + 2 * FeedingPauseEntries == FeedingPauseModeOffset);
static_assert(EndMarkerOffset + 2 == ImageSize);

// Socket table
constexpr int SocketCount = 17;  // socket numbers 0..16; 0 means no socket
constexpr std::size_t SocketEntrySize = 7;
constexpr std::size_t SocketTableSize = SocketCount * SocketEntrySize;  // 119

// Firmware (version x 100) from which floats travel byte-reversed on the bus.
constexpr int FirstSwappedFirmware = 217;

}  // namespace ProgLayout

// Mode values of the records.  A record in use has a non-zero mode; a new
// record gets the unset value of its kind, and a write is refused while any
// record is unset.
constexpr std::uint8_t ControlModeOff = 0;
constexpr std::uint8_t ControlModeLower = 1;
constexpr std::uint8_t ControlModeRaise = 2;
constexpr std::uint8_t ControlModeUnset = 4;
constexpr std::uint8_t IntervalModeUnset = 4;
constexpr std::uint8_t TimerModeUnset = 4;
constexpr std::uint8_t FeedingPauseModeUnset = 4;
constexpr std::uint8_t CurrentModeUnset = 3;
constexpr std::uint8_t DayNightModeUnset = 3;
constexpr std::uint8_t MoonModeUnset = 3;

// Socket kinds
constexpr std::uint8_t SocketAbsent = 0;
constexpr std::uint8_t SocketDimmable = 2;

// Trend periods in seconds
constexpr float TrendPeriod12Hours = 43200.0f;
constexpr float TrendPeriod1Day = 86400.0f;
constexpr float TrendPeriod2Days = 172800.0f;
constexpr float TrendPeriod1Week = 604800.0f;

namespace ProgBytes {

// Little-endian float and word access on unaligned bytes.
inline float LoadFloat(const std::uint8_t* p) {
  const std::uint32_t u =
      std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
  return std::bit_cast<float>(u);
}

inline void StoreFloat(std::uint8_t* p, float value) {
  const auto u = std::bit_cast<std::uint32_t>(value);
  p[0] = static_cast<std::uint8_t>(u);
  p[1] = static_cast<std::uint8_t>(u >> 8);
  p[2] = static_cast<std::uint8_t>(u >> 16);
  p[3] = static_cast<std::uint8_t>(u >> 24);
}

inline std::uint16_t LoadWord(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

inline void StoreWord(std::uint8_t* p, std::uint16_t value) {
  p[0] = static_cast<std::uint8_t>(value);
  p[1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace ProgBytes

// A window onto one fixed-size record inside a block.  Byte is std::uint8_t
// for an editable view and const std::uint8_t for a read-only one; setters of
// a read-only view do not compile.
template <class Byte, std::size_t RecordSize>
class TRecordView {
 public:
  static constexpr std::size_t Size = RecordSize;

  explicit TRecordView(Byte* start) : P(start) {}

  Byte* Data() const { return P; }

  std::uint8_t GetByte(std::size_t offset) const {
    Check(offset, 1);
    return P[offset];
  }
  void SetByte(std::size_t offset, std::uint8_t value) const {
    Check(offset, 1);
    P[offset] = value;
  }
  float GetFloat(std::size_t offset) const {
    Check(offset, 4);
    return ProgBytes::LoadFloat(P + offset);
  }
  void SetFloat(std::size_t offset, float value) const {
    Check(offset, 4);
    ProgBytes::StoreFloat(P + offset, value);
  }

 protected:
  static void Check(std::size_t offset, std::size_t width) {
    if (offset > RecordSize || width > RecordSize - offset)
      throw std::out_of_range("programming record: field at offset " + std::to_string(offset) +
                              " lies outside the record");
  }
  Byte* P;
};

// Control process of a sensor input (36 bytes).
template <class Byte>
class TControlRecordT : public TRecordView<Byte, ProgLayout::ControlRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::ControlRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetSensorType() const { return this->GetByte(0); }
  void SetSensorType(std::uint8_t v) const { this->SetByte(0, v); }
  std::uint8_t GetMode() const { return this->GetByte(1); }
  void SetMode(std::uint8_t v) const { this->SetByte(1, v); }
  // "Regelung im": 0 aquarium, 1 pond (with delay)
  std::uint8_t GetControlIn() const { return this->GetByte(2); }
  void SetControlIn(std::uint8_t v) const { this->SetByte(2, v); }
  // Summer day (pH, temperature), day (oxygen), the one set value (redox, conductivity)
  float GetSetValueDay() const { return this->GetFloat(3); }
  void SetSetValueDay(float v) const { this->SetFloat(3, v); }
  // Summer night (pH, temperature), night (oxygen)
  float GetSetValueNight() const { return this->GetFloat(7); }
  void SetSetValueNight(float v) const { this->SetFloat(7, v); }
  float GetSetValueWinterDay() const { return this->GetFloat(11); }
  void SetSetValueWinterDay(float v) const { this->SetFloat(11, v); }
  float GetSetValueWinterNight() const { return this->GetFloat(15); }
  void SetSetValueWinterNight(float v) const { this->SetFloat(15, v); }
  float GetLowerAlarm() const { return this->GetFloat(19); }
  void SetLowerAlarm(float v) const { this->SetFloat(19, v); }
  float GetUpperAlarm() const { return this->GetFloat(23); }
  void SetUpperAlarm(float v) const { this->SetFloat(23, v); }
  float GetAlarmTime() const { return this->GetFloat(27); }
  void SetAlarmTime(float v) const { this->SetFloat(27, v); }
  std::uint8_t GetSocket() const { return this->GetByte(35); }
  void SetSocket(std::uint8_t v) const { this->SetByte(35, v); }
};

// Interval record (32 bytes).
template <class Byte>
class TIntervalRecordT : public TRecordView<Byte, ProgLayout::IntervalRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::IntervalRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetMode() const { return this->GetByte(0); }
  void SetMode(std::uint8_t v) const { this->SetByte(0, v); }
  float GetStart() const { return this->GetFloat(1); }
  void SetStart(float v) const { this->SetFloat(1, v); }
  float GetActiveUntil() const { return this->GetFloat(5); }
  void SetActiveUntil(float v) const { this->SetFloat(5, v); }
  float GetOnTime() const { return this->GetFloat(9); }
  void SetOnTime(float v) const { this->SetFloat(9, v); }
  float GetOffTime() const { return this->GetFloat(13); }
  void SetOffTime(float v) const { this->SetFloat(13, v); }
  float GetRandomOn() const { return this->GetFloat(17); }
  void SetRandomOn(float v) const { this->SetFloat(17, v); }
  float GetRandomOff() const { return this->GetFloat(21); }
  void SetRandomOff(float v) const { this->SetFloat(21, v); }
  std::uint8_t GetSocket() const { return this->GetByte(29); }
  void SetSocket(std::uint8_t v) const { this->SetByte(29, v); }
  std::uint8_t GetValueOn() const { return this->GetByte(30); }
  void SetValueOn(std::uint8_t v) const { this->SetByte(30, v); }
  std::uint8_t GetValueOff() const { return this->GetByte(31); }
  void SetValueOff(std::uint8_t v) const { this->SetByte(31, v); }
};

// Current ("Strömung") record (26 bytes).
template <class Byte>
class TCurrentRecordT : public TRecordView<Byte, ProgLayout::CurrentRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::CurrentRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetMode() const { return this->GetByte(0); }
  void SetMode(std::uint8_t v) const { this->SetByte(0, v); }
  float GetDuration() const { return this->GetFloat(1); }
  void SetDuration(float v) const { this->SetFloat(1, v); }
  float GetRandomTime() const { return this->GetFloat(9); }
  void SetRandomTime(float v) const { this->SetFloat(9, v); }
  float GetWaveDuration() const { return this->GetFloat(13); }
  void SetWaveDuration(float v) const { this->SetFloat(13, v); }
  std::uint8_t GetNightReduction() const { return this->GetByte(21); }
  void SetNightReduction(std::uint8_t v) const { this->SetByte(21, v); }
  std::uint8_t GetEbbSocket() const { return this->GetByte(22); }
  void SetEbbSocket(std::uint8_t v) const { this->SetByte(22, v); }
  std::uint8_t GetFloodSocket() const { return this->GetByte(23); }
  void SetFloodSocket(std::uint8_t v) const { this->SetByte(23, v); }
};

// Day/night record (18 bytes).
template <class Byte>
class TDayNightRecordT : public TRecordView<Byte, ProgLayout::DayNightRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::DayNightRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetMode() const { return this->GetByte(0); }
  void SetMode(std::uint8_t v) const { this->SetByte(0, v); }
  float GetSunrise() const { return this->GetFloat(1); }
  void SetSunrise(float v) const { this->SetFloat(1, v); }
  float GetSunset() const { return this->GetFloat(13); }
  void SetSunset(float v) const { this->SetFloat(13, v); }
  std::uint8_t GetSocket() const { return this->GetByte(17); }
  void SetSocket(std::uint8_t v) const { this->SetByte(17, v); }
};

// Moon record (12 bytes).
template <class Byte>
class TMoonRecordT : public TRecordView<Byte, ProgLayout::MoonRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::MoonRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetMode() const { return this->GetByte(0); }
  void SetMode(std::uint8_t v) const { this->SetByte(0, v); }
  float GetMoonrise() const { return this->GetFloat(2); }
  void SetMoonrise(float v) const { this->SetFloat(2, v); }
  float GetMoonset() const { return this->GetFloat(6); }
  void SetMoonset(float v) const { this->SetFloat(6, v); }
  std::uint8_t GetBrightness() const { return this->GetByte(10); }
  void SetBrightness(std::uint8_t v) const { this->SetByte(10, v); }
  std::uint8_t GetSocket() const { return this->GetByte(11); }
  void SetSocket(std::uint8_t v) const { this->SetByte(11, v); }
};

// Timer ("Zeitschaltuhr") record (13 bytes).
template <class Byte>
class TTimerRecordT : public TRecordView<Byte, ProgLayout::TimerRecordSize> {
  using Base = TRecordView<Byte, ProgLayout::TimerRecordSize>;

 public:
  using Base::Base;
  std::uint8_t GetMode() const { return this->GetByte(0); }
  void SetMode(std::uint8_t v) const { this->SetByte(0, v); }
  // Item index 0..6: "So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"
  std::uint8_t GetDayOfWeek() const { return this->GetByte(1); }
  void SetDayOfWeek(std::uint8_t v) const { this->SetByte(1, v); }
  float GetStart() const { return this->GetFloat(2); }
  void SetStart(float v) const { this->SetFloat(2, v); }
  float GetEnd() const { return this->GetFloat(6); }
  void SetEnd(float v) const { this->SetFloat(6, v); }
  std::uint8_t GetSocket() const { return this->GetByte(10); }
  void SetSocket(std::uint8_t v) const { this->SetByte(10, v); }
  std::uint8_t GetValueOn() const { return this->GetByte(11); }
  void SetValueOn(std::uint8_t v) const { this->SetByte(11, v); }
  std::uint8_t GetValueOff() const { return this->GetByte(12); }
  void SetValueOff(std::uint8_t v) const { this->SetByte(12, v); }
};

// Socket table entry (7 bytes).
template <class Byte>
class TSocketEntryT : public TRecordView<Byte, ProgLayout::SocketEntrySize> {
  using Base = TRecordView<Byte, ProgLayout::SocketEntrySize>;

 public:
  using Base::Base;
  // 0 absent, 2 dimmable, any other value present and switching only
  std::uint8_t GetKind() const { return this->GetByte(0); }
  void SetKind(std::uint8_t v) const { this->SetByte(0, v); }
  bool IsPresent() const { return GetKind() != SocketAbsent; }
  bool IsDimmable() const { return GetKind() == SocketDimmable; }
  std::uint8_t GetAssignment() const { return this->GetByte(1); }
  void SetAssignment(std::uint8_t v) const { this->SetByte(1, v); }
  std::uint8_t GetValueOn() const { return this->GetByte(4); }
  void SetValueOn(std::uint8_t v) const { this->SetByte(4, v); }
  std::uint8_t GetValueOff() const { return this->GetByte(5); }
  void SetValueOff(std::uint8_t v) const { this->SetByte(5, v); }
};

using TControlRecord = TControlRecordT<std::uint8_t>;
using TConstControlRecord = TControlRecordT<const std::uint8_t>;
using TIntervalRecord = TIntervalRecordT<std::uint8_t>;
using TConstIntervalRecord = TIntervalRecordT<const std::uint8_t>;
using TCurrentRecord = TCurrentRecordT<std::uint8_t>;
using TConstCurrentRecord = TCurrentRecordT<const std::uint8_t>;
using TDayNightRecord = TDayNightRecordT<std::uint8_t>;
using TConstDayNightRecord = TDayNightRecordT<const std::uint8_t>;
using TMoonRecord = TMoonRecordT<std::uint8_t>;
using TConstMoonRecord = TMoonRecordT<const std::uint8_t>;
using TTimerRecord = TTimerRecordT<std::uint8_t>;
using TConstTimerRecord = TTimerRecordT<const std::uint8_t>;
using TSocketEntry = TSocketEntryT<std::uint8_t>;
using TConstSocketEntry = TSocketEntryT<const std::uint8_t>;

class TProgrammingImage {
 public:
  static constexpr std::size_t Size = ProgLayout::ImageSize;

  // First byte and one past the last byte.
  std::uint8_t* GetImageStart() { return Bytes.data(); }
  std::uint8_t* GetImageEnd() { return Bytes.data() + Size; }
  const std::uint8_t* GetImageStart() const { return Bytes.data(); }
  const std::uint8_t* GetImageEnd() const { return Bytes.data() + Size; }

  // Raw fields at image offsets.
  std::uint8_t GetByte(std::size_t offset) const;
  void SetByte(std::size_t offset, std::uint8_t value);
  float GetFloat(std::size_t offset) const;
  void SetFloat(std::size_t offset, float value);
  std::uint16_t GetWord(std::size_t offset) const;
  void SetWord(std::size_t offset, std::uint16_t value);

  // Header
  float GetControllerTime() const;  // seconds of the day
  float GetControllerDate() const;  // Modified Julian Day
  std::uint8_t GetExternalDisplayInterval() const;
  void SetExternalDisplayInterval(std::uint8_t v);
  std::uint8_t GetInternalDisplayInterval() const;
  void SetInternalDisplayInterval(std::uint8_t v);
  float GetStorageInterval() const;
  void SetStorageInterval(float v);
  float GetLongitude() const;  // "Längengrad", offset 22
  void SetLongitude(float v);
  float GetLatitude() const;  // "Breitengrad", offset 26
  void SetLatitude(float v);
  std::int8_t GetTimeZone() const;  // hours
  void SetTimeZone(std::int8_t v);
  std::uint8_t GetAcousticAlarm() const;
  void SetAcousticAlarm(std::uint8_t v);
  std::uint8_t GetExternalAlarmSocket() const;  // 0: external alarm off
  void SetExternalAlarmSocket(std::uint8_t v);
  std::uint8_t GetClearStoredData() const;
  void SetClearStoredData(std::uint8_t v);
  float GetTrendPeriod() const;  // seconds
  void SetTrendPeriod(float v);
  std::uint8_t GetProgrammingLevel() const;
  void SetProgrammingLevel(std::uint8_t v);
  std::uint8_t GetConductivityUnit() const;
  void SetConductivityUnit(std::uint8_t v);
  std::uint8_t GetRedoxUnit() const;
  void SetRedoxUnit(std::uint8_t v);
  std::uint8_t GetOxygenUnit() const;
  void SetOxygenUnit(std::uint8_t v);
  std::uint8_t GetTemperatureUnit() const;
  void SetTemperatureUnit(std::uint8_t v);

  // Records; input 0..7, process 0..3, the other record numbers from 0.
  TControlRecord GetControlRecord(int input, int process);
  TConstControlRecord GetControlRecord(int input, int process) const;
  TIntervalRecord GetIntervalRecord(int index);
  TConstIntervalRecord GetIntervalRecord(int index) const;
  TCurrentRecord GetCurrentRecord(int index);
  TConstCurrentRecord GetCurrentRecord(int index) const;
  TDayNightRecord GetDayNightRecord(int index);
  TConstDayNightRecord GetDayNightRecord(int index) const;
  TMoonRecord GetMoonRecord(int index);
  TConstMoonRecord GetMoonRecord(int index) const;
  TTimerRecord GetTimerRecord(int index);
  TConstTimerRecord GetTimerRecord(int index) const;

  // Feeding pause: 16 entries of socket number and percent, one mode and
  // one set of times for all of them.
  std::uint8_t GetFeedingPauseSocket(int entry) const;
  void SetFeedingPauseSocket(int entry, std::uint8_t socket);
  std::uint8_t GetFeedingPausePercent(int entry) const;
  void SetFeedingPausePercent(int entry, std::uint8_t percent);
  std::uint8_t GetFeedingPauseMode() const;
  void SetFeedingPauseMode(std::uint8_t v);
  float GetFeedingPauseStart() const;
  void SetFeedingPauseStart(float v);
  float GetFeedingPauseDuration() const;
  void SetFeedingPauseDuration(float v);
  float GetFeedingPauseEnd() const;
  // end := start + duration, less one day when the sum reaches a day.
  void UpdateFeedingPauseEnd();

  // The bytes 0x30, 0x39 at offsets 3576 and 3577.
  bool HasEndMarker() const;

  void Clear() { Bytes.fill(0); }

  // Reverses every float and the word at offset 20 in place when the
  // firmware (version x 100) is 217 or later; does nothing below.  Applying
  // it twice restores the image.
  void SwapByteOrder(int firmwareVersion);

  std::array<std::uint8_t, Size> Bytes{};
};

class TSocketTable {
 public:
  static constexpr std::size_t Size = ProgLayout::SocketTableSize;

  // First byte and last byte (inclusive).
  std::uint8_t* GetSocketTableStart() { return Bytes.data(); }
  std::uint8_t* GetSocketTableLast() { return Bytes.data() + Size - 1; }
  const std::uint8_t* GetSocketTableStart() const { return Bytes.data(); }
  const std::uint8_t* GetSocketTableLast() const { return Bytes.data() + Size - 1; }

  // Entry of socket number 0..16.
  TSocketEntry GetEntry(int socket);
  TConstSocketEntry GetEntry(int socket) const;

  void Clear() { Bytes.fill(0); }

  std::array<std::uint8_t, Size> Bytes{};
};

// The process-wide blocks.
extern TProgrammingImage ProgrammingImage;
extern TSocketTable SocketTable;

// Sets every byte of both blocks to 0.
void ClearImage(TProgrammingImage& image = ProgrammingImage, TSocketTable& sockets = SocketTable);
// Sets imageValid when the image ends in the marker; never clears it.
// Returns whether the marker is there.
bool CheckImageMarker(bool& imageValid, const TProgrammingImage& image = ProgrammingImage);
// The byte-order rule of the bus (see TProgrammingImage::SwapByteOrder).
void SwapImageByteOrder(int firmwareVersion, TProgrammingImage& image = ProgrammingImage);

// Image offsets of every float field, in image order (730 of them).
const std::array<std::uint16_t, 730>& ImageFloatOffsets();

// Text of a socket assignment code ("frei", "pH", ..., "externer Alarm");
// empty for codes without a text.
std::string SocketAssignmentText(int code);
// "nicht verfügbar" for socket number 0, else the text of the socket's
// assignment code; empty for a number outside 0..16.
std::string SocketAssignmentName(int socket, const TSocketTable& sockets = SocketTable);

// The first record that is still unset, searched in the order of the checks
// before a write: control records (processes outer, inputs inner), timer,
// interval, feeding pause, current, day/night, moon.
enum class TUnsetKind { None, Control, Timer, Interval, FeedingPause, Current, DayNight, Moon };
struct TUnsetRecord {
  TUnsetKind Kind = TUnsetKind::None;
  int Index = -1;    // record number; the input for control records
  int Process = -1;  // control records only
};
TUnsetRecord FindUnsetRecord(const TProgrammingImage& image = ProgrammingImage);
