#include "programming/ProgrammingImage.h"

#include <algorithm>
#include <utility>

using namespace ProgLayout;

TProgrammingImage ProgrammingImage;
TSocketTable SocketTable;

namespace {

void CheckField(std::size_t offset, std::size_t width, std::size_t size, const char* block) {
  if (offset > size || width > size - offset)
    throw std::out_of_range(std::string(block) + ": field at offset " + std::to_string(offset) +
                            " of width " + std::to_string(width) + " lies outside the block");
}

std::size_t RecordStart(int index, int count, std::size_t first, std::size_t size, const char* what) {
  if (index < 0 || index >= count)
    throw std::out_of_range(std::string(what) + " " + std::to_string(index) + " does not exist (0.." +
                            std::to_string(count - 1) + ")");
  return first + static_cast<std::size_t>(index) * size;
}

std::size_t ControlStart(int input, int process) {
  if (input < 0 || input >= SensorInputs || process < 0 || process >= ProcessesPerInput)
    throw std::out_of_range("control record of input " + std::to_string(input) + " and process " +
                            std::to_string(process) + " does not exist");
  return ControlRecordsOffset +
         static_cast<std::size_t>(input * ProcessesPerInput + process) * ControlRecordSize;
}

std::size_t FeedingEntryStart(int entry) {
  return RecordStart(entry, FeedingPauseEntries, FeedingPauseOffset, 2, "feeding pause entry");
}

constexpr std::array<std::uint16_t, 730> BuildFloatOffsets() {
  std::array<std::uint16_t, 730> offsets{};
  std::size_t n = 0;
  auto add = [&](std::size_t offset) { offsets[n++] = static_cast<std::uint16_t>(offset); };

  for (std::size_t o : {ControllerTimeOffset, ControllerDateOffset, StorageIntervalOffset,
                        HeaderFloat16Offset, LongitudeOffset, LatitudeOffset, TrendPeriodOffset})
    add(o);
  for (int r = 0; r < SensorInputs * ProcessesPerInput; ++r)
    for (std::size_t o : {3, 7, 11, 15, 19, 23, 27, 31})
      add(ControlRecordsOffset + r * ControlRecordSize + o);
  for (int r = 0; r < IntervalRecords; ++r)
    for (std::size_t o : {1, 5, 9, 13, 17, 21, 25}) add(IntervalRecordsOffset + r * IntervalRecordSize + o);
  for (int r = 0; r < CurrentRecords; ++r)
    for (std::size_t o : {1, 5, 9, 13, 17}) add(CurrentRecordsOffset + r * CurrentRecordSize + o);
  for (int r = 0; r < DayNightRecords; ++r)
    for (std::size_t o : {1, 5, 9, 13}) add(DayNightRecordsOffset + r * DayNightRecordSize + o);
  for (int r = 0; r < MoonRecords; ++r)
    for (std::size_t o : {2, 6}) add(MoonRecordsOffset + r * MoonRecordSize + o);
  for (int r = 0; r < TimerRecords; ++r)
    for (std::size_t o : {2, 6}) add(TimerRecordsOffset + r * TimerRecordSize + o);
  for (std::size_t o : {FeedingPauseStartOffset, FeedingPauseDurationOffset, FeedingPauseEndOffset}) add(o);
  // A short table would leave zero offsets behind and fail to compile below.
  if (n != offsets.size()) throw "float offset table has the wrong length";
  return offsets;
}

constexpr std::array<std::uint16_t, 730> FloatOffsets = BuildFloatOffsets();

}  // namespace

// ---------------------------------------------------------------------------
// Raw fields

std::uint8_t TProgrammingImage::GetByte(std::size_t offset) const {
  CheckField(offset, 1, Size, "programming image");
  return Bytes[offset];
}

void TProgrammingImage::SetByte(std::size_t offset, std::uint8_t value) {
  CheckField(offset, 1, Size, "programming image");
  Bytes[offset] = value;
}

float TProgrammingImage::GetFloat(std::size_t offset) const {
  CheckField(offset, 4, Size, "programming image");
  return ProgBytes::LoadFloat(Bytes.data() + offset);
}

void TProgrammingImage::SetFloat(std::size_t offset, float value) {
  CheckField(offset, 4, Size, "programming image");
  ProgBytes::StoreFloat(Bytes.data() + offset, value);
}

std::uint16_t TProgrammingImage::GetWord(std::size_t offset) const {
  CheckField(offset, 2, Size, "programming image");
  return ProgBytes::LoadWord(Bytes.data() + offset);
}

void TProgrammingImage::SetWord(std::size_t offset, std::uint16_t value) {
  CheckField(offset, 2, Size, "programming image");
  ProgBytes::StoreWord(Bytes.data() + offset, value);
}

// ---------------------------------------------------------------------------
// Header

float TProgrammingImage::GetControllerTime() const { return GetFloat(ControllerTimeOffset); }
float TProgrammingImage::GetControllerDate() const { return GetFloat(ControllerDateOffset); }

std::uint8_t TProgrammingImage::GetExternalDisplayInterval() const { return Bytes[ExternalDisplayOffset]; }
void TProgrammingImage::SetExternalDisplayInterval(std::uint8_t v) { Bytes[ExternalDisplayOffset] = v; }
std::uint8_t TProgrammingImage::GetInternalDisplayInterval() const { return Bytes[InternalDisplayOffset]; }
void TProgrammingImage::SetInternalDisplayInterval(std::uint8_t v) { Bytes[InternalDisplayOffset] = v; }

float TProgrammingImage::GetStorageInterval() const { return GetFloat(StorageIntervalOffset); }
void TProgrammingImage::SetStorageInterval(float v) { SetFloat(StorageIntervalOffset, v); }
float TProgrammingImage::GetLongitude() const { return GetFloat(LongitudeOffset); }
void TProgrammingImage::SetLongitude(float v) { SetFloat(LongitudeOffset, v); }
float TProgrammingImage::GetLatitude() const { return GetFloat(LatitudeOffset); }
void TProgrammingImage::SetLatitude(float v) { SetFloat(LatitudeOffset, v); }

std::int8_t TProgrammingImage::GetTimeZone() const { return static_cast<std::int8_t>(Bytes[TimeZoneOffset]); }
void TProgrammingImage::SetTimeZone(std::int8_t v) { Bytes[TimeZoneOffset] = static_cast<std::uint8_t>(v); }

std::uint8_t TProgrammingImage::GetAcousticAlarm() const { return Bytes[AcousticAlarmOffset]; }
void TProgrammingImage::SetAcousticAlarm(std::uint8_t v) { Bytes[AcousticAlarmOffset] = v; }
std::uint8_t TProgrammingImage::GetExternalAlarmSocket() const { return Bytes[ExternalAlarmOffset]; }
void TProgrammingImage::SetExternalAlarmSocket(std::uint8_t v) { Bytes[ExternalAlarmOffset] = v; }
std::uint8_t TProgrammingImage::GetClearStoredData() const { return Bytes[ClearStoredDataOffset]; }
void TProgrammingImage::SetClearStoredData(std::uint8_t v) { Bytes[ClearStoredDataOffset] = v; }

float TProgrammingImage::GetTrendPeriod() const { return GetFloat(TrendPeriodOffset); }
void TProgrammingImage::SetTrendPeriod(float v) { SetFloat(TrendPeriodOffset, v); }

std::uint8_t TProgrammingImage::GetProgrammingLevel() const { return Bytes[ProgrammingLevelOffset]; }
void TProgrammingImage::SetProgrammingLevel(std::uint8_t v) { Bytes[ProgrammingLevelOffset] = v; }
std::uint8_t TProgrammingImage::GetConductivityUnit() const { return Bytes[ConductivityUnitOffset]; }
void TProgrammingImage::SetConductivityUnit(std::uint8_t v) { Bytes[ConductivityUnitOffset] = v; }
std::uint8_t TProgrammingImage::GetRedoxUnit() const { return Bytes[RedoxUnitOffset]; }
void TProgrammingImage::SetRedoxUnit(std::uint8_t v) { Bytes[RedoxUnitOffset] = v; }
std::uint8_t TProgrammingImage::GetOxygenUnit() const { return Bytes[OxygenUnitOffset]; }
void TProgrammingImage::SetOxygenUnit(std::uint8_t v) { Bytes[OxygenUnitOffset] = v; }
std::uint8_t TProgrammingImage::GetTemperatureUnit() const { return Bytes[TemperatureUnitOffset]; }
void TProgrammingImage::SetTemperatureUnit(std::uint8_t v) { Bytes[TemperatureUnitOffset] = v; }

// ---------------------------------------------------------------------------
// Records

TControlRecord TProgrammingImage::GetControlRecord(int input, int process) {
  return TControlRecord(Bytes.data() + ControlStart(input, process));
}

TConstControlRecord TProgrammingImage::GetControlRecord(int input, int process) const {
  return TConstControlRecord(Bytes.data() + ControlStart(input, process));
}

#define KORVIDAN_RECORD_ACCESS(Kind, Count, First, RecSize, What)                                \
  T##Kind##Record TProgrammingImage::Get##Kind##Record(int index) {                              \
    return T##Kind##Record(Bytes.data() + RecordStart(index, Count, First, RecSize, What));      \
  }                                                                                              \
  TConst##Kind##Record TProgrammingImage::Get##Kind##Record(int index) const {                   \
    return TConst##Kind##Record(Bytes.data() + RecordStart(index, Count, First, RecSize, What)); \
  }

KORVIDAN_RECORD_ACCESS(Interval, IntervalRecords, IntervalRecordsOffset, IntervalRecordSize,
                       "interval record")
KORVIDAN_RECORD_ACCESS(Current, CurrentRecords, CurrentRecordsOffset, CurrentRecordSize, "current record")
KORVIDAN_RECORD_ACCESS(DayNight, DayNightRecords, DayNightRecordsOffset, DayNightRecordSize,
                       "day/night record")
KORVIDAN_RECORD_ACCESS(Moon, MoonRecords, MoonRecordsOffset, MoonRecordSize, "moon record")
KORVIDAN_RECORD_ACCESS(Timer, TimerRecords, TimerRecordsOffset, TimerRecordSize, "timer record")

#undef KORVIDAN_RECORD_ACCESS

// ---------------------------------------------------------------------------
// Feeding pause

std::uint8_t TProgrammingImage::GetFeedingPauseSocket(int entry) const {
  return Bytes[FeedingEntryStart(entry)];
}

void TProgrammingImage::SetFeedingPauseSocket(int entry, std::uint8_t socket) {
  Bytes[FeedingEntryStart(entry)] = socket;
}

std::uint8_t TProgrammingImage::GetFeedingPausePercent(int entry) const {
  return Bytes[FeedingEntryStart(entry) + 1];
}

void TProgrammingImage::SetFeedingPausePercent(int entry, std::uint8_t percent) {
  Bytes[FeedingEntryStart(entry) + 1] = percent;
}

std::uint8_t TProgrammingImage::GetFeedingPauseMode() const { return Bytes[FeedingPauseModeOffset]; }
void TProgrammingImage::SetFeedingPauseMode(std::uint8_t v) { Bytes[FeedingPauseModeOffset] = v; }
float TProgrammingImage::GetFeedingPauseStart() const { return GetFloat(FeedingPauseStartOffset); }
void TProgrammingImage::SetFeedingPauseStart(float v) { SetFloat(FeedingPauseStartOffset, v); }
float TProgrammingImage::GetFeedingPauseDuration() const { return GetFloat(FeedingPauseDurationOffset); }
void TProgrammingImage::SetFeedingPauseDuration(float v) { SetFloat(FeedingPauseDurationOffset, v); }
float TProgrammingImage::GetFeedingPauseEnd() const { return GetFloat(FeedingPauseEndOffset); }

void TProgrammingImage::UpdateFeedingPauseEnd() {
  float end = GetFeedingPauseStart() + GetFeedingPauseDuration();
  if (end >= 86400.0f) end -= 86400.0f;
  SetFloat(FeedingPauseEndOffset, end);
}

// ---------------------------------------------------------------------------
// Marker and byte order

bool TProgrammingImage::HasEndMarker() const {
  return Bytes[EndMarkerOffset] == EndMarker0 && Bytes[EndMarkerOffset + 1] == EndMarker1;
}

void TProgrammingImage::SwapByteOrder(int firmwareVersion) {
  if (firmwareVersion < FirstSwappedFirmware) return;
  for (std::uint16_t offset : FloatOffsets) {
    std::uint8_t* p = Bytes.data() + offset;
    std::swap(p[0], p[3]);
    std::swap(p[1], p[2]);
  }
  std::swap(Bytes[HeaderWordOffset], Bytes[HeaderWordOffset + 1]);
}

const std::array<std::uint16_t, 730>& ImageFloatOffsets() { return FloatOffsets; }

// ---------------------------------------------------------------------------
// Socket table

TSocketEntry TSocketTable::GetEntry(int socket) {
  return TSocketEntry(Bytes.data() + RecordStart(socket, SocketCount, 0, SocketEntrySize, "socket"));
}

TConstSocketEntry TSocketTable::GetEntry(int socket) const {
  return TConstSocketEntry(Bytes.data() + RecordStart(socket, SocketCount, 0, SocketEntrySize, "socket"));
}

std::string SocketAssignmentText(int code) {
  switch (code) {
    case 0:
      return "frei";
    case 1:
      return "pH";
    case 2:
      return "Temperatur";
    case 3:
      return "Redox";
    case 4:
      return "Leitwert";
    case 5:
      return "Leitwert";
    case 6:
      return "Sauerstoff";
    case 7:
      return "Pegel";
    case 9:
      return "Sauerstoff";
    case 10:
      return "Redox";
    case 11:
      return "Leitwert";
    case 12:
      return "Intervall";
    case 13:
      return "Zeitschaltuhr";
    case 14:
      return "Strömung/Ebbe";
    case 15:
      return "Strömung/Flut";
    case 16:
      return "Mond";
    case 17:
      return "Licht";
    case 18:
      return "externer Alarm";
    default:
      return "";
  }
}

std::string SocketAssignmentName(int socket, const TSocketTable& sockets) {
  if (socket == 0) return "nicht verfügbar";
  if (socket < 0 || socket >= SocketCount) return "";
  return SocketAssignmentText(sockets.GetEntry(socket).GetAssignment());
}

// ---------------------------------------------------------------------------
// Whole blocks

void ClearImage(TProgrammingImage& image, TSocketTable& sockets) {
  image.Clear();
  sockets.Clear();
}

bool CheckImageMarker(bool& imageValid, const TProgrammingImage& image) {
  const bool ok = image.HasEndMarker();
  if (ok) imageValid = true;
  return ok;
}

void SwapImageByteOrder(int firmwareVersion, TProgrammingImage& image) {
  image.SwapByteOrder(firmwareVersion);
}

TUnsetRecord FindUnsetRecord(const TProgrammingImage& image) {
  for (int p = 0; p < ProcessesPerInput; ++p)
    for (int i = 0; i < SensorInputs; ++i)
      if (image.GetControlRecord(i, p).GetMode() == ControlModeUnset) return {TUnsetKind::Control, i, p};
  for (int r = 0; r < TimerRecords; ++r)
    if (image.GetTimerRecord(r).GetMode() == TimerModeUnset) return {TUnsetKind::Timer, r, -1};
  for (int r = 0; r < IntervalRecords; ++r)
    if (image.GetIntervalRecord(r).GetMode() == IntervalModeUnset) return {TUnsetKind::Interval, r, -1};
  if (image.GetFeedingPauseMode() == FeedingPauseModeUnset) return {TUnsetKind::FeedingPause, 0, -1};
  for (int r = 0; r < CurrentRecords; ++r)
    if (image.GetCurrentRecord(r).GetMode() == CurrentModeUnset) return {TUnsetKind::Current, r, -1};
  for (int r = 0; r < DayNightRecords; ++r)
    if (image.GetDayNightRecord(r).GetMode() == DayNightModeUnset) return {TUnsetKind::DayNight, r, -1};
  for (int r = 0; r < MoonRecords; ++r)
    if (image.GetMoonRecord(r).GetMode() == MoonModeUnset) return {TUnsetKind::Moon, r, -1};
  return {};
}
