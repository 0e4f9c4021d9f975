// Programming image and socket table: field positions, byte order on the bus,
// bounds, validation before a write.
#include "programming/Programmingdata.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint8_t Fill = 0xA5;
// A float whose four bytes all differ: 0x41 0x42 0x43 0x44 in memory.
const float Marker = std::bit_cast<float>(std::uint32_t{0x44434241});

TProgrammingImage FilledImage() {
  TProgrammingImage image;
  image.Bytes.fill(Fill);
  return image;
}

// Every byte outside [offset, offset + width) still holds the fill.
::testing::AssertionResult OnlyFieldChanged(const TProgrammingImage& image, std::size_t offset,
                                            std::size_t width) {
  for (std::size_t i = 0; i < image.Bytes.size(); ++i) {
    if (i >= offset && i < offset + width) continue;
    if (image.Bytes[i] != Fill) return ::testing::AssertionFailure() << "byte " << i << " changed";
  }
  return ::testing::AssertionSuccess();
}

struct FieldCase {
  const char* name;
  std::size_t offset;  // image offset
  std::size_t width;   // 1 byte or 4 (float)
  std::function<void(TProgrammingImage&)> set;
  std::function<bool(const TProgrammingImage&)> get;
};

// Record starts as the layout of the controller's memory gives them.
constexpr std::size_t Ctl(int input, int process) { return 43 + 144 * input + 36 * process; }
constexpr std::size_t Ivl(int r) { return 1195 + 32 * r; }
constexpr std::size_t Cur(int r) { return 2219 + 26 * r; }
constexpr std::size_t Dn(int r) { return 2635 + 18 * r; }
constexpr std::size_t Moon(int r) { return 2923 + 12 * r; }
constexpr std::size_t Tmr(int r) { return 3115 + 13 * r; }

// OBJ is an expression of the image `i`; Name the field's Get/Set pair.
#define BYTE_FIELD(off, OBJ, Name)                                                                         \
  FieldCase {                                                                                              \
#Name, off, 1,                                                                                         \
        [](TProgrammingImage &                                                                             \
           i) { OBJ.Set##Name(0x5C); }, [](const TProgrammingImage& i) { return OBJ.Get##Name() == 0x5C; } \
  }
#define FLOAT_FIELD(off, OBJ, Name)                                      \
  FieldCase {                                                            \
#Name, off, 4, [](TProgrammingImage& i) { OBJ.Set##Name(Marker); },    \
              [](const TProgrammingImage& i) {                                       \
                  return std::bit_cast<std::uint32_t>(OBJ.Get##Name()) == 0x44434241u; \
              } \
  }

// Offsets as the controller's memory layout names them.  The last record of
// each kind checks the record stride as well as the field.
const std::vector<FieldCase> FieldCases = {
    BYTE_FIELD(10, i, ExternalDisplayInterval),
    BYTE_FIELD(11, i, InternalDisplayInterval),
    FLOAT_FIELD(12, i, StorageInterval),
    FLOAT_FIELD(22, i, Longitude),
    FLOAT_FIELD(26, i, Latitude),
    BYTE_FIELD(31, i, AcousticAlarm),
    BYTE_FIELD(32, i, ExternalAlarmSocket),
    BYTE_FIELD(33, i, ClearStoredData),
    FLOAT_FIELD(34, i, TrendPeriod),
    BYTE_FIELD(38, i, ProgrammingLevel),
    BYTE_FIELD(39, i, ConductivityUnit),
    BYTE_FIELD(40, i, RedoxUnit),
    BYTE_FIELD(41, i, OxygenUnit),
    BYTE_FIELD(42, i, TemperatureUnit),

    BYTE_FIELD(Ctl(3, 2) + 1, i.GetControlRecord(3, 2), Mode),
    BYTE_FIELD(Ctl(0, 1) + 35, i.GetControlRecord(0, 1), Socket),
    BYTE_FIELD(Ctl(7, 3) + 0, i.GetControlRecord(7, 3), SensorType),
    BYTE_FIELD(Ctl(7, 3) + 1, i.GetControlRecord(7, 3), Mode),
    BYTE_FIELD(Ctl(7, 3) + 2, i.GetControlRecord(7, 3), ControlIn),
    FLOAT_FIELD(Ctl(7, 3) + 3, i.GetControlRecord(7, 3), SetValueDay),
    FLOAT_FIELD(Ctl(7, 3) + 7, i.GetControlRecord(7, 3), SetValueNight),
    FLOAT_FIELD(Ctl(7, 3) + 11, i.GetControlRecord(7, 3), SetValueWinterDay),
    FLOAT_FIELD(Ctl(7, 3) + 15, i.GetControlRecord(7, 3), SetValueWinterNight),
    FLOAT_FIELD(Ctl(7, 3) + 19, i.GetControlRecord(7, 3), LowerAlarm),
    FLOAT_FIELD(Ctl(7, 3) + 23, i.GetControlRecord(7, 3), UpperAlarm),
    FLOAT_FIELD(Ctl(7, 3) + 27, i.GetControlRecord(7, 3), AlarmTime),
    BYTE_FIELD(Ctl(7, 3) + 35, i.GetControlRecord(7, 3), Socket),

    BYTE_FIELD(Ivl(0), i.GetIntervalRecord(0), Mode),
    BYTE_FIELD(Ivl(31), i.GetIntervalRecord(31), Mode),
    FLOAT_FIELD(Ivl(31) + 1, i.GetIntervalRecord(31), Start),
    FLOAT_FIELD(Ivl(31) + 5, i.GetIntervalRecord(31), ActiveUntil),
    FLOAT_FIELD(Ivl(31) + 9, i.GetIntervalRecord(31), OnTime),
    FLOAT_FIELD(Ivl(31) + 13, i.GetIntervalRecord(31), OffTime),
    FLOAT_FIELD(Ivl(31) + 17, i.GetIntervalRecord(31), RandomOn),
    FLOAT_FIELD(Ivl(31) + 21, i.GetIntervalRecord(31), RandomOff),
    BYTE_FIELD(Ivl(31) + 29, i.GetIntervalRecord(31), Socket),
    BYTE_FIELD(Ivl(31) + 30, i.GetIntervalRecord(31), ValueOn),
    BYTE_FIELD(Ivl(31) + 31, i.GetIntervalRecord(31), ValueOff),

    BYTE_FIELD(Cur(0), i.GetCurrentRecord(0), Mode),
    BYTE_FIELD(Cur(15), i.GetCurrentRecord(15), Mode),
    FLOAT_FIELD(Cur(15) + 1, i.GetCurrentRecord(15), Duration),
    FLOAT_FIELD(Cur(15) + 9, i.GetCurrentRecord(15), RandomTime),
    FLOAT_FIELD(Cur(15) + 13, i.GetCurrentRecord(15), WaveDuration),
    BYTE_FIELD(Cur(15) + 21, i.GetCurrentRecord(15), NightReduction),
    BYTE_FIELD(Cur(15) + 22, i.GetCurrentRecord(15), EbbSocket),
    BYTE_FIELD(Cur(15) + 23, i.GetCurrentRecord(15), FloodSocket),

    BYTE_FIELD(Dn(0), i.GetDayNightRecord(0), Mode),
    BYTE_FIELD(Dn(15), i.GetDayNightRecord(15), Mode),
    FLOAT_FIELD(Dn(15) + 1, i.GetDayNightRecord(15), Sunrise),
    FLOAT_FIELD(Dn(15) + 13, i.GetDayNightRecord(15), Sunset),
    BYTE_FIELD(Dn(15) + 17, i.GetDayNightRecord(15), Socket),

    BYTE_FIELD(Moon(0), i.GetMoonRecord(0), Mode),
    BYTE_FIELD(Moon(15), i.GetMoonRecord(15), Mode),
    FLOAT_FIELD(Moon(15) + 2, i.GetMoonRecord(15), Moonrise),
    FLOAT_FIELD(Moon(15) + 6, i.GetMoonRecord(15), Moonset),
    BYTE_FIELD(Moon(15) + 10, i.GetMoonRecord(15), Brightness),
    BYTE_FIELD(Moon(15) + 11, i.GetMoonRecord(15), Socket),

    BYTE_FIELD(Tmr(0), i.GetTimerRecord(0), Mode),
    BYTE_FIELD(Tmr(31), i.GetTimerRecord(31), Mode),
    BYTE_FIELD(Tmr(31) + 1, i.GetTimerRecord(31), DayOfWeek),
    FLOAT_FIELD(Tmr(31) + 2, i.GetTimerRecord(31), Start),
    FLOAT_FIELD(Tmr(31) + 6, i.GetTimerRecord(31), End),
    BYTE_FIELD(Tmr(31) + 10, i.GetTimerRecord(31), Socket),
    BYTE_FIELD(Tmr(31) + 11, i.GetTimerRecord(31), ValueOn),
    BYTE_FIELD(Tmr(31) + 12, i.GetTimerRecord(31), ValueOff),

    BYTE_FIELD(3563, i, FeedingPauseMode),
    FLOAT_FIELD(3564, i, FeedingPauseStart),
    FLOAT_FIELD(3568, i, FeedingPauseDuration),
    FieldCase{"FeedingPauseSocket(0)", 3531, 1,
              [](TProgrammingImage& i) { i.SetFeedingPauseSocket(0, 0x5C); },
              [](const TProgrammingImage& i) { return i.GetFeedingPauseSocket(0) == 0x5C; }},
    FieldCase{"FeedingPausePercent(15)", 3562, 1,
              [](TProgrammingImage& i) { i.SetFeedingPausePercent(15, 0x5C); },
              [](const TProgrammingImage& i) { return i.GetFeedingPausePercent(15) == 0x5C; }},
};

#undef BYTE_FIELD
#undef FLOAT_FIELD

}  // namespace

TEST(ProgrammingImage, EveryFieldSitsAtItsOffsetAndWidth) {
  for (const FieldCase& f : FieldCases) {
    SCOPED_TRACE(std::string(f.name) + " at " + std::to_string(f.offset));
    TProgrammingImage image = FilledImage();
    f.set(image);
    EXPECT_TRUE(OnlyFieldChanged(image, f.offset, f.width));
    if (f.width == 1) {
      EXPECT_EQ(image.Bytes[f.offset], 0x5C);
    } else {
      // little-endian in memory
      EXPECT_EQ(image.Bytes[f.offset + 0], 0x41);
      EXPECT_EQ(image.Bytes[f.offset + 1], 0x42);
      EXPECT_EQ(image.Bytes[f.offset + 2], 0x43);
      EXPECT_EQ(image.Bytes[f.offset + 3], 0x44);
    }
    EXPECT_TRUE(f.get(image));
  }
}

TEST(ProgrammingImage, ReadOnlyFieldsAndSignedTimeZone) {
  TProgrammingImage image = FilledImage();
  const float t = 45296.0f, d = 51544.0f;
  std::memcpy(&image.Bytes[1], &t, 4);
  std::memcpy(&image.Bytes[5], &d, 4);
  EXPECT_EQ(image.GetControllerTime(), 45296.0f);
  EXPECT_EQ(image.GetControllerDate(), 51544.0f);

  image.SetTimeZone(-5);
  EXPECT_EQ(image.Bytes[30], 0xFB);
  EXPECT_EQ(image.GetTimeZone(), -5);
  EXPECT_TRUE(OnlyFieldChanged(image, 1, 8 + 22));
  image.SetTimeZone(-128);
  EXPECT_EQ(image.GetTimeZone(), -128);
}

TEST(ProgrammingImage, FloatsKeepTheirExactBits) {
  // A signalling NaN and a denormal survive the round trip bit for bit.
  TProgrammingImage image;
  for (std::uint32_t bits : {0x7F800001u, 0xFFBFFFFFu, 0x00000001u, 0x80000000u}) {
    image.SetFloat(1195 + 1, std::bit_cast<float>(bits));
    EXPECT_EQ(std::bit_cast<std::uint32_t>(image.GetIntervalRecord(0).GetStart()), bits);
    EXPECT_EQ(image.Bytes[1196], bits & 0xFF);
    EXPECT_EQ(image.Bytes[1199], bits >> 24);
  }
}

TEST(ProgrammingImage, NothingIsWrittenOutsideTheBlocks) {
  TProgrammingImage image = FilledImage();
  const TProgrammingImage before = image;
  EXPECT_THROW(image.SetByte(3578, 1), std::out_of_range);
  EXPECT_THROW(image.SetFloat(3575, 1.0f), std::out_of_range);  // would cross the end
  EXPECT_THROW(image.SetWord(3577, 1), std::out_of_range);
  EXPECT_THROW(image.GetFloat(std::size_t(-1)), std::out_of_range);
  EXPECT_NO_THROW(image.SetFloat(3574, image.GetFloat(3574)));

  // One past the last record of each kind, and below the first.
  EXPECT_THROW(image.GetControlRecord(8, 0), std::out_of_range);
  EXPECT_THROW(image.GetControlRecord(0, 4), std::out_of_range);
  EXPECT_THROW(image.GetControlRecord(-1, 0), std::out_of_range);
  EXPECT_THROW(image.GetIntervalRecord(32), std::out_of_range);
  EXPECT_THROW(image.GetCurrentRecord(16), std::out_of_range);
  EXPECT_THROW(image.GetDayNightRecord(16), std::out_of_range);
  EXPECT_THROW(image.GetMoonRecord(16), std::out_of_range);
  EXPECT_THROW(image.GetTimerRecord(32), std::out_of_range);
  EXPECT_THROW(image.GetTimerRecord(-1), std::out_of_range);
  EXPECT_THROW(image.SetFeedingPauseSocket(16, 1), std::out_of_range);

  // A record's generic access stays inside the record.
  auto rec = image.GetTimerRecord(31);
  EXPECT_THROW(rec.SetByte(13, 0), std::out_of_range);
  EXPECT_THROW(rec.SetFloat(10, 0.0f), std::out_of_range);
  auto ctl = image.GetControlRecord(7, 3);
  EXPECT_THROW(ctl.SetFloat(33, 0.0f), std::out_of_range);
  EXPECT_EQ(image.Bytes, before.Bytes);

  TSocketTable sockets;
  sockets.Bytes.fill(Fill);
  EXPECT_THROW(sockets.GetEntry(17), std::out_of_range);
  EXPECT_THROW(sockets.GetEntry(-1), std::out_of_range);
  EXPECT_THROW(sockets.GetEntry(16).SetByte(7, 0), std::out_of_range);
  for (auto b : sockets.Bytes) EXPECT_EQ(b, Fill);
}

TEST(SocketTable, EntriesAndTheirFields) {
  TSocketTable sockets;
  sockets.Bytes.fill(Fill);
  EXPECT_EQ(sockets.GetSocketTableLast() - sockets.GetSocketTableStart(), 118);
  auto e = sockets.GetEntry(16);
  e.SetKind(2);
  e.SetAssignment(18);
  e.SetValueOn(100);
  e.SetValueOff(7);
  const std::vector<std::uint8_t> entry(sockets.Bytes.begin() + 111, sockets.Bytes.end());
  EXPECT_EQ(entry, (std::vector<std::uint8_t>{Fill, 2, 18, Fill, Fill, 100, 7, Fill}));
  EXPECT_TRUE(e.IsDimmable());
  e.SetKind(1);
  EXPECT_TRUE(e.IsPresent());
  EXPECT_FALSE(e.IsDimmable());
  sockets.GetEntry(0).SetAssignment(5);  // socket 0 is written like any other
  EXPECT_EQ(sockets.Bytes[1], 5);
}

TEST(SocketTable, AssignmentTexts) {
  const char* expected[] = {"frei",
                            "pH",
                            "Temperatur",
                            "Redox",
                            "Leitwert",
                            "Leitwert",
                            "Sauerstoff",
                            "Pegel",
                            "",
                            "Sauerstoff",
                            "Redox",
                            "Leitwert",
                            "Intervall",
                            "Zeitschaltuhr",
                            "Strömung/Ebbe",
                            "Strömung/Flut",
                            "Mond",
                            "Licht",
                            "externer Alarm"};
  for (int code = 0; code <= 18; ++code) EXPECT_EQ(SocketAssignmentText(code), expected[code]) << code;
  EXPECT_EQ(SocketAssignmentText(19), "");
  EXPECT_EQ(SocketAssignmentText(255), "");

  TSocketTable sockets;
  sockets.GetEntry(0).SetAssignment(17);
  sockets.GetEntry(4).SetAssignment(13);
  EXPECT_EQ(SocketAssignmentName(0, sockets), "nicht verfügbar");
  EXPECT_EQ(SocketAssignmentName(4, sockets), "Zeitschaltuhr");
  EXPECT_EQ(SocketAssignmentName(5, sockets), "frei");
  EXPECT_EQ(SocketAssignmentName(17, sockets), "");
}

// ---------------------------------------------------------------------------
// Byte order on the bus

namespace {

// The float fields, listed as the controller's byte-order rule names them.
std::set<std::size_t> SwappedFloatOffsets() {
  std::set<std::size_t> s = {1, 5, 12, 16, 22, 26, 34, 3564, 3568, 3572};
  for (int r = 0; r < 32; ++r)
    for (std::size_t o : {3, 7, 11, 15, 19, 23, 27, 31}) s.insert(43 + 36 * r + o);
  for (int r = 0; r < 32; ++r)
    for (std::size_t o : {1, 5, 9, 13, 17, 21, 25}) s.insert(1195 + 32 * r + o);
  for (int r = 0; r < 16; ++r)
    for (std::size_t o : {1, 5, 9, 13, 17}) s.insert(2219 + 26 * r + o);
  for (int r = 0; r < 16; ++r)
    for (std::size_t o : {1, 5, 9, 13}) s.insert(2635 + 18 * r + o);
  for (int r = 0; r < 16; ++r)
    for (std::size_t o : {2, 6}) {
      s.insert(2923 + 12 * r + o);
    }
  for (int r = 0; r < 32; ++r)
    for (std::size_t o : {2, 6}) s.insert(3115 + 13 * r + o);
  return s;
}

TProgrammingImage PatternImage() {
  TProgrammingImage image;
  for (std::size_t i = 0; i < image.Bytes.size(); ++i) image.Bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  image.Bytes[3576] = 0x30;
  image.Bytes[3577] = 0x39;
  return image;
}

}  // namespace

TEST(ByteOrder, Firmware216LeavesTheImageAlone) {
  TProgrammingImage image = PatternImage();
  const TProgrammingImage before = image;
  SwapImageByteOrder(216, image);
  EXPECT_EQ(image.Bytes, before.Bytes);
  SwapImageByteOrder(0, image);
  EXPECT_EQ(image.Bytes, before.Bytes);
}

TEST(ByteOrder, Firmware217ReversesExactlyTheFloatsAndTheWord) {
  const auto floats = SwappedFloatOffsets();
  ASSERT_EQ(floats.size(), 730u);
  EXPECT_EQ(std::set<std::size_t>(ImageFloatOffsets().begin(), ImageFloatOffsets().end()), floats);

  for (int version : {217, 219, 300}) {
    TProgrammingImage image = PatternImage();
    const TProgrammingImage before = image;
    SwapImageByteOrder(version, image);

    std::vector<bool> covered(image.Bytes.size(), false);
    for (std::size_t o : floats) {
      for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(image.Bytes[o + k], before.Bytes[o + 3 - k]) << o;
        covered[o + k] = true;
      }
    }
    EXPECT_EQ(image.Bytes[20], before.Bytes[21]);
    EXPECT_EQ(image.Bytes[21], before.Bytes[20]);
    covered[20] = covered[21] = true;
    for (std::size_t i = 0; i < image.Bytes.size(); ++i) {
      if (!covered[i]) {
        EXPECT_EQ(image.Bytes[i], before.Bytes[i]) << "byte " << i << " was touched";
      }
    }
    EXPECT_TRUE(image.HasEndMarker());

    SwapImageByteOrder(version, image);
    EXPECT_EQ(image.Bytes, before.Bytes);
  }
}

TEST(ByteOrder, TrendPeriodTravelsReversed) {
  TProgrammingImage image;
  image.SetTrendPeriod(TrendPeriod1Day);  // 86400 = 0x47A8C000
  EXPECT_EQ(image.Bytes[34], 0x00);
  EXPECT_EQ(image.Bytes[35], 0xC0);
  EXPECT_EQ(image.Bytes[36], 0xA8);
  EXPECT_EQ(image.Bytes[37], 0x47);
  SwapImageByteOrder(217, image);
  EXPECT_EQ(image.Bytes[34], 0x47);
  EXPECT_EQ(image.Bytes[35], 0xA8);
  EXPECT_EQ(image.Bytes[36], 0xC0);
  EXPECT_EQ(image.Bytes[37], 0x00);
  SwapImageByteOrder(217, image);
  EXPECT_EQ(image.GetTrendPeriod(), 86400.0f);
}

TEST(ByteOrder, SocketTableIsNeverSwapped) {
  // The socket table is a block of its own; the rule works on the image.
  ProgrammingImage = PatternImage();
  for (std::size_t i = 0; i < SocketTable.Bytes.size(); ++i)
    SocketTable.Bytes[i] = static_cast<std::uint8_t>(i);
  const auto sockets = SocketTable.Bytes;
  const auto image = ProgrammingImage.Bytes;
  SwapImageByteOrder(219);
  EXPECT_EQ(SocketTable.Bytes, sockets);
  EXPECT_NE(ProgrammingImage.Bytes, image);
  SwapImageByteOrder(219);
  EXPECT_EQ(ProgrammingImage.Bytes, image);
  ClearImage();
}

// ---------------------------------------------------------------------------
// Whole image

TEST(ProgrammingImage, ClearAndEndMarker) {
  TProgrammingImage image = PatternImage();
  TSocketTable sockets;
  sockets.Bytes.fill(9);
  ClearImage(image, sockets);
  for (auto b : image.Bytes) ASSERT_EQ(b, 0);
  for (auto b : sockets.Bytes) ASSERT_EQ(b, 0);
  EXPECT_EQ(image.GetImageEnd() - image.GetImageStart(), 3578);

  // A cleared image passes the checks but is not valid without its marker.
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::None);
  bool valid = false;
  EXPECT_FALSE(CheckImageMarker(valid, image));
  EXPECT_FALSE(valid);

  image.Bytes[3576] = '0';
  image.Bytes[3577] = '9';
  EXPECT_TRUE(CheckImageMarker(valid, image));
  EXPECT_TRUE(valid);
  image.Bytes[3577] = '8';
  EXPECT_FALSE(CheckImageMarker(valid, image));
  EXPECT_TRUE(valid);  // never cleared here
  image.Bytes[3576] = '9';
  image.Bytes[3577] = '0';  // the marker the wrong way round
  EXPECT_FALSE(image.HasEndMarker());
}

TEST(ProgrammingImage, FeedingPauseEndWrapsAtMidnight) {
  TProgrammingImage image = FilledImage();
  auto end = [&](float start, float duration) {
    image.SetFeedingPauseStart(start);
    image.SetFeedingPauseDuration(duration);
    image.UpdateFeedingPauseEnd();
    return image.GetFeedingPauseEnd();
  };
  EXPECT_EQ(end(82800, 7200), 3600.0f);  // 23:00 + 02:00 = 01:00
  EXPECT_EQ(end(79200, 7200), 0.0f);     // reaching the day wraps to 00:00
  EXPECT_EQ(end(79199, 7200), 86399.0f);
  EXPECT_EQ(end(3600, 3600), 7200.0f);
  EXPECT_EQ(end(86399, 86399), 86398.0f);
  EXPECT_TRUE(OnlyFieldChanged(image, 3564, 12));
}

TEST(ProgrammingImage, UnsetRecordsAreFoundInTheOrderOfTheChecks) {
  TProgrammingImage image;
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::None);

  // Modes that are in use, or unset only for another record kind, pass.
  image.GetControlRecord(0, 0).SetMode(3);
  image.GetCurrentRecord(0).SetMode(4);
  image.GetDayNightRecord(0).SetMode(4);
  image.GetMoonRecord(0).SetMode(4);
  image.GetTimerRecord(0).SetMode(3);
  image.GetIntervalRecord(0).SetMode(3);
  image.SetFeedingPauseMode(3);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::None);

  image.GetMoonRecord(15).SetMode(MoonModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::Moon);
  EXPECT_EQ(FindUnsetRecord(image).Index, 15);
  image.GetDayNightRecord(4).SetMode(DayNightModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::DayNight);
  image.GetCurrentRecord(9).SetMode(CurrentModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::Current);
  image.SetFeedingPauseMode(FeedingPauseModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::FeedingPause);
  image.GetIntervalRecord(31).SetMode(IntervalModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::Interval);
  EXPECT_EQ(FindUnsetRecord(image).Index, 31);
  image.GetTimerRecord(2).SetMode(TimerModeUnset);
  EXPECT_EQ(FindUnsetRecord(image).Kind, TUnsetKind::Timer);
  EXPECT_EQ(FindUnsetRecord(image).Index, 2);

  // Control records: processes outer, inputs inner.
  image.GetControlRecord(0, 1).SetMode(ControlModeUnset);
  image.GetControlRecord(5, 0).SetMode(ControlModeUnset);
  const TUnsetRecord first = FindUnsetRecord(image);
  EXPECT_EQ(first.Kind, TUnsetKind::Control);
  EXPECT_EQ(first.Index, 5);
  EXPECT_EQ(first.Process, 0);
}
