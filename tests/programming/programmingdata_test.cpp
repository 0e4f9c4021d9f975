// Programming image and socket table: field positions, byte order on the bus,
// bounds, validation before a write.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "programming/Programmingdata.h"

namespace {

constexpr std::uint8_t Fill = 0xA5;
// A float whose four bytes all differ: 0x41 0x42 0x43 0x44 in memory.
const float Marker = std::bit_cast<float>(std::uint32_t{0x44434241});

TProgrammingImage FilledImage()
{
    TProgrammingImage image;
    image.Bytes.fill(Fill);
    return image;
}

// Every byte outside [offset, offset + width) still holds the fill.
::testing::AssertionResult OnlyFieldChanged(const TProgrammingImage& image, std::size_t offset,
                                            std::size_t width)
{
    for (std::size_t i = 0; i < image.Bytes.size(); ++i) {
        if (i >= offset && i < offset + width)
            continue;
        if (image.Bytes[i] != Fill)
            return ::testing::AssertionFailure() << "byte " << i << " changed";
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
std::size_t Ctl(int input, int process) { return 43 + 144 * input + 36 * process; }
std::size_t Ivl(int r) { return 1195 + 32 * r; }
std::size_t Cur(int r) { return 2219 + 26 * r; }
std::size_t Dn(int r) { return 2635 + 18 * r; }
std::size_t Moon(int r) { return 2923 + 12 * r; }
std::size_t Tmr(int r) { return 3115 + 13 * r; }

std::vector<FieldCase> FieldCases()
{
    using I = TProgrammingImage;
    std::vector<FieldCase> c;
    auto byteField = [&](const char* n, std::size_t off, auto set, auto get) {
        c.push_back({n, off, 1, [set](I& im) { set(im, std::uint8_t{0x5C}); },
                     [get](const I& im) { return get(im) == 0x5C; }});
    };
    auto floatField = [&](const char* n, std::size_t off, auto set, auto get) {
        c.push_back({n, off, 4, [set](I& im) { set(im, Marker); },
                     [get](const I& im) {
                         return std::bit_cast<std::uint32_t>(get(im)) == 0x44434241u;
                     }});
    };

    // Header
    byteField("ext display", 10, [](I& i, auto v) { i.SetExternalDisplayInterval(v); },
              [](const I& i) { return i.GetExternalDisplayInterval(); });
    byteField("int display", 11, [](I& i, auto v) { i.SetInternalDisplayInterval(v); },
              [](const I& i) { return i.GetInternalDisplayInterval(); });
    floatField("storage interval", 12, [](I& i, float v) { i.SetStorageInterval(v); },
               [](const I& i) { return i.GetStorageInterval(); });
    floatField("longitude", 22, [](I& i, float v) { i.SetLongitude(v); },
               [](const I& i) { return i.GetLongitude(); });
    floatField("latitude", 26, [](I& i, float v) { i.SetLatitude(v); },
               [](const I& i) { return i.GetLatitude(); });
    byteField("acoustic alarm", 31, [](I& i, auto v) { i.SetAcousticAlarm(v); },
              [](const I& i) { return i.GetAcousticAlarm(); });
    byteField("external alarm", 32, [](I& i, auto v) { i.SetExternalAlarmSocket(v); },
              [](const I& i) { return i.GetExternalAlarmSocket(); });
    byteField("clear store", 33, [](I& i, auto v) { i.SetClearStoredData(v); },
              [](const I& i) { return i.GetClearStoredData(); });
    floatField("trend", 34, [](I& i, float v) { i.SetTrendPeriod(v); },
               [](const I& i) { return i.GetTrendPeriod(); });
    byteField("prog level", 38, [](I& i, auto v) { i.SetProgrammingLevel(v); },
              [](const I& i) { return i.GetProgrammingLevel(); });
    byteField("conductivity unit", 39, [](I& i, auto v) { i.SetConductivityUnit(v); },
              [](const I& i) { return i.GetConductivityUnit(); });
    byteField("redox unit", 40, [](I& i, auto v) { i.SetRedoxUnit(v); },
              [](const I& i) { return i.GetRedoxUnit(); });
    byteField("oxygen unit", 41, [](I& i, auto v) { i.SetOxygenUnit(v); },
              [](const I& i) { return i.GetOxygenUnit(); });
    byteField("temperature unit", 42, [](I& i, auto v) { i.SetTemperatureUnit(v); },
              [](const I& i) { return i.GetTemperatureUnit(); });

    // Control records: first, a middle one, the last
    for (auto [in, pr] : {std::pair{0, 0}, std::pair{3, 2}, std::pair{7, 3}}) {
        const std::size_t b = Ctl(in, pr);
        auto rec = [in = in, pr = pr](auto& im) { return im.GetControlRecord(in, pr); };
        byteField("ctl type", b + 0, [rec](I& i, auto v) { rec(i).SetSensorType(v); },
                  [rec](const I& i) { return rec(i).GetSensorType(); });
        byteField("ctl mode", b + 1, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        byteField("ctl in", b + 2, [rec](I& i, auto v) { rec(i).SetControlIn(v); },
                  [rec](const I& i) { return rec(i).GetControlIn(); });
        floatField("ctl day", b + 3, [rec](I& i, float v) { rec(i).SetSetValueDay(v); },
                   [rec](const I& i) { return rec(i).GetSetValueDay(); });
        floatField("ctl night", b + 7, [rec](I& i, float v) { rec(i).SetSetValueNight(v); },
                   [rec](const I& i) { return rec(i).GetSetValueNight(); });
        floatField("ctl winter day", b + 11, [rec](I& i, float v) { rec(i).SetSetValueWinterDay(v); },
                   [rec](const I& i) { return rec(i).GetSetValueWinterDay(); });
        floatField("ctl winter night", b + 15,
                   [rec](I& i, float v) { rec(i).SetSetValueWinterNight(v); },
                   [rec](const I& i) { return rec(i).GetSetValueWinterNight(); });
        floatField("ctl lower", b + 19, [rec](I& i, float v) { rec(i).SetLowerAlarm(v); },
                   [rec](const I& i) { return rec(i).GetLowerAlarm(); });
        floatField("ctl upper", b + 23, [rec](I& i, float v) { rec(i).SetUpperAlarm(v); },
                   [rec](const I& i) { return rec(i).GetUpperAlarm(); });
        floatField("ctl alarm time", b + 27, [rec](I& i, float v) { rec(i).SetAlarmTime(v); },
                   [rec](const I& i) { return rec(i).GetAlarmTime(); });
        byteField("ctl socket", b + 35, [rec](I& i, auto v) { rec(i).SetSocket(v); },
                  [rec](const I& i) { return rec(i).GetSocket(); });
    }

    for (int r : {0, 31}) {
        const std::size_t b = Ivl(r);
        auto rec = [r](auto& im) { return im.GetIntervalRecord(r); };
        byteField("ivl mode", b, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        floatField("ivl start", b + 1, [rec](I& i, float v) { rec(i).SetStart(v); },
                   [rec](const I& i) { return rec(i).GetStart(); });
        floatField("ivl until", b + 5, [rec](I& i, float v) { rec(i).SetActiveUntil(v); },
                   [rec](const I& i) { return rec(i).GetActiveUntil(); });
        floatField("ivl on", b + 9, [rec](I& i, float v) { rec(i).SetOnTime(v); },
                   [rec](const I& i) { return rec(i).GetOnTime(); });
        floatField("ivl off", b + 13, [rec](I& i, float v) { rec(i).SetOffTime(v); },
                   [rec](const I& i) { return rec(i).GetOffTime(); });
        floatField("ivl rnd on", b + 17, [rec](I& i, float v) { rec(i).SetRandomOn(v); },
                   [rec](const I& i) { return rec(i).GetRandomOn(); });
        floatField("ivl rnd off", b + 21, [rec](I& i, float v) { rec(i).SetRandomOff(v); },
                   [rec](const I& i) { return rec(i).GetRandomOff(); });
        byteField("ivl socket", b + 29, [rec](I& i, auto v) { rec(i).SetSocket(v); },
                  [rec](const I& i) { return rec(i).GetSocket(); });
        byteField("ivl val on", b + 30, [rec](I& i, auto v) { rec(i).SetValueOn(v); },
                  [rec](const I& i) { return rec(i).GetValueOn(); });
        byteField("ivl val off", b + 31, [rec](I& i, auto v) { rec(i).SetValueOff(v); },
                  [rec](const I& i) { return rec(i).GetValueOff(); });
    }

    for (int r : {0, 15}) {
        const std::size_t b = Cur(r);
        auto rec = [r](auto& im) { return im.GetCurrentRecord(r); };
        byteField("cur mode", b, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        floatField("cur duration", b + 1, [rec](I& i, float v) { rec(i).SetDuration(v); },
                   [rec](const I& i) { return rec(i).GetDuration(); });
        floatField("cur random", b + 9, [rec](I& i, float v) { rec(i).SetRandomTime(v); },
                   [rec](const I& i) { return rec(i).GetRandomTime(); });
        floatField("cur waves", b + 13, [rec](I& i, float v) { rec(i).SetWaveDuration(v); },
                   [rec](const I& i) { return rec(i).GetWaveDuration(); });
        byteField("cur night", b + 21, [rec](I& i, auto v) { rec(i).SetNightReduction(v); },
                  [rec](const I& i) { return rec(i).GetNightReduction(); });
        byteField("cur ebb", b + 22, [rec](I& i, auto v) { rec(i).SetEbbSocket(v); },
                  [rec](const I& i) { return rec(i).GetEbbSocket(); });
        byteField("cur flood", b + 23, [rec](I& i, auto v) { rec(i).SetFloodSocket(v); },
                  [rec](const I& i) { return rec(i).GetFloodSocket(); });
    }

    for (int r : {0, 15}) {
        const std::size_t b = Dn(r);
        auto rec = [r](auto& im) { return im.GetDayNightRecord(r); };
        byteField("dn mode", b, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        floatField("dn sunrise", b + 1, [rec](I& i, float v) { rec(i).SetSunrise(v); },
                   [rec](const I& i) { return rec(i).GetSunrise(); });
        floatField("dn sunset", b + 13, [rec](I& i, float v) { rec(i).SetSunset(v); },
                   [rec](const I& i) { return rec(i).GetSunset(); });
        byteField("dn socket", b + 17, [rec](I& i, auto v) { rec(i).SetSocket(v); },
                  [rec](const I& i) { return rec(i).GetSocket(); });
    }

    for (int r : {0, 15}) {
        const std::size_t b = Moon(r);
        auto rec = [r](auto& im) { return im.GetMoonRecord(r); };
        byteField("moon mode", b, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        floatField("moonrise", b + 2, [rec](I& i, float v) { rec(i).SetMoonrise(v); },
                   [rec](const I& i) { return rec(i).GetMoonrise(); });
        floatField("moonset", b + 6, [rec](I& i, float v) { rec(i).SetMoonset(v); },
                   [rec](const I& i) { return rec(i).GetMoonset(); });
        byteField("brightness", b + 10, [rec](I& i, auto v) { rec(i).SetBrightness(v); },
                  [rec](const I& i) { return rec(i).GetBrightness(); });
        byteField("moon socket", b + 11, [rec](I& i, auto v) { rec(i).SetSocket(v); },
                  [rec](const I& i) { return rec(i).GetSocket(); });
    }

    for (int r : {0, 31}) {
        const std::size_t b = Tmr(r);
        auto rec = [r](auto& im) { return im.GetTimerRecord(r); };
        byteField("tmr mode", b, [rec](I& i, auto v) { rec(i).SetMode(v); },
                  [rec](const I& i) { return rec(i).GetMode(); });
        byteField("tmr day", b + 1, [rec](I& i, auto v) { rec(i).SetDayOfWeek(v); },
                  [rec](const I& i) { return rec(i).GetDayOfWeek(); });
        floatField("tmr start", b + 2, [rec](I& i, float v) { rec(i).SetStart(v); },
                   [rec](const I& i) { return rec(i).GetStart(); });
        floatField("tmr end", b + 6, [rec](I& i, float v) { rec(i).SetEnd(v); },
                   [rec](const I& i) { return rec(i).GetEnd(); });
        byteField("tmr socket", b + 10, [rec](I& i, auto v) { rec(i).SetSocket(v); },
                  [rec](const I& i) { return rec(i).GetSocket(); });
        byteField("tmr val on", b + 11, [rec](I& i, auto v) { rec(i).SetValueOn(v); },
                  [rec](const I& i) { return rec(i).GetValueOn(); });
        byteField("tmr val off", b + 12, [rec](I& i, auto v) { rec(i).SetValueOff(v); },
                  [rec](const I& i) { return rec(i).GetValueOff(); });
    }

    // Feeding pause
    for (int e : {0, 15}) {
        byteField("fp socket", 3531 + 2 * e, [e](I& i, auto v) { i.SetFeedingPauseSocket(e, v); },
                  [e](const I& i) { return i.GetFeedingPauseSocket(e); });
        byteField("fp percent", 3532 + 2 * e, [e](I& i, auto v) { i.SetFeedingPausePercent(e, v); },
                  [e](const I& i) { return i.GetFeedingPausePercent(e); });
    }
    byteField("fp mode", 3563, [](I& i, auto v) { i.SetFeedingPauseMode(v); },
              [](const I& i) { return i.GetFeedingPauseMode(); });
    floatField("fp start", 3564, [](I& i, float v) { i.SetFeedingPauseStart(v); },
               [](const I& i) { return i.GetFeedingPauseStart(); });
    floatField("fp duration", 3568, [](I& i, float v) { i.SetFeedingPauseDuration(v); },
               [](const I& i) { return i.GetFeedingPauseDuration(); });
    return c;
}

}  // namespace

TEST(ProgrammingImage, EveryFieldSitsAtItsOffsetAndWidth)
{
    for (const FieldCase& f : FieldCases()) {
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

TEST(ProgrammingImage, ReadOnlyFieldsAndSignedTimeZone)
{
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
    image.SetTimeZone(12);
    EXPECT_EQ(image.GetTimeZone(), 12);
}

TEST(ProgrammingImage, FloatsKeepTheirExactBits)
{
    // A signalling NaN and a denormal survive the round trip bit for bit.
    TProgrammingImage image;
    for (std::uint32_t bits : {0x7F800001u, 0xFFBFFFFFu, 0x00000001u, 0x80000000u}) {
        image.SetFloat(1195 + 1, std::bit_cast<float>(bits));
        EXPECT_EQ(std::bit_cast<std::uint32_t>(image.GetIntervalRecord(0).GetStart()), bits);
        EXPECT_EQ(image.Bytes[1196], bits & 0xFF);
        EXPECT_EQ(image.Bytes[1199], bits >> 24);
    }
}

TEST(ProgrammingImage, NothingIsWrittenOutsideTheBlocks)
{
    TProgrammingImage image = FilledImage();
    const TProgrammingImage before = image;
    EXPECT_THROW(image.SetByte(3578, 1), std::out_of_range);
    EXPECT_THROW(image.SetFloat(3575, 1.0f), std::out_of_range);  // would cross the end
    EXPECT_THROW(image.SetWord(3577, 1), std::out_of_range);
    EXPECT_THROW(image.GetFloat(std::size_t(-1)), std::out_of_range);
    EXPECT_NO_THROW(image.SetFloat(3574, image.GetFloat(3574)));

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
    EXPECT_THROW(image.SetFeedingPausePercent(-1, 1), std::out_of_range);

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
    for (auto b : sockets.Bytes)
        EXPECT_EQ(b, Fill);
}

TEST(ProgrammingImage, WholeByteValuesStayInTheirByte)
{
    TProgrammingImage image = FilledImage();
    image.GetMoonRecord(3).SetBrightness(0xFF);
    image.GetMoonRecord(3).SetSocket(0xFF);
    EXPECT_TRUE(OnlyFieldChanged(image, Moon(3) + 10, 2));
    image = FilledImage();
    image.SetTimeZone(-128);
    EXPECT_TRUE(OnlyFieldChanged(image, 30, 1));
    EXPECT_EQ(image.GetTimeZone(), -128);
}

TEST(SocketTable, EntriesAndTheirFields)
{
    TSocketTable sockets;
    sockets.Bytes.fill(Fill);
    EXPECT_EQ(sockets.GetSocketTableLast() - sockets.GetSocketTableStart(), 118);
    auto e = sockets.GetEntry(16);
    e.SetKind(2);
    e.SetAssignment(18);
    e.SetValueOn(100);
    e.SetValueOff(7);
    EXPECT_EQ(sockets.Bytes[112], 2);
    EXPECT_EQ(sockets.Bytes[113], 18);
    EXPECT_EQ(sockets.Bytes[114], Fill);
    EXPECT_EQ(sockets.Bytes[115], Fill);
    EXPECT_EQ(sockets.Bytes[116], 100);
    EXPECT_EQ(sockets.Bytes[117], 7);
    EXPECT_EQ(sockets.Bytes[118], Fill);
    EXPECT_EQ(sockets.Bytes[111], Fill);
    EXPECT_TRUE(e.IsDimmable());
    e.SetKind(1);
    EXPECT_TRUE(e.IsPresent());
    EXPECT_FALSE(e.IsDimmable());
    sockets.GetEntry(0).SetAssignment(5);  // socket 0 is written like any other
    EXPECT_EQ(sockets.Bytes[1], 5);
}

TEST(SocketTable, AssignmentTexts)
{
    const char* expected[] = {"frei", "pH", "Temperatur", "Redox", "Leitwert", "Leitwert",
                              "Sauerstoff", "Pegel", "", "Sauerstoff", "Redox", "Leitwert",
                              "Intervall", "Zeitschaltuhr", "Strömung/Ebbe", "Strömung/Flut",
                              "Mond", "Licht", "externer Alarm"};
    for (int code = 0; code <= 18; ++code)
        EXPECT_EQ(SocketAssignmentText(code), expected[code]) << code;
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
std::set<std::size_t> SwappedFloatOffsets()
{
    std::set<std::size_t> s = {1, 5, 12, 16, 22, 26, 34, 3564, 3568, 3572};
    for (int r = 0; r < 32; ++r)
        for (std::size_t o : {3, 7, 11, 15, 19, 23, 27, 31})
            s.insert(43 + 36 * r + o);
    for (int r = 0; r < 32; ++r)
        for (std::size_t o : {1, 5, 9, 13, 17, 21, 25})
            s.insert(1195 + 32 * r + o);
    for (int r = 0; r < 16; ++r)
        for (std::size_t o : {1, 5, 9, 13, 17})
            s.insert(2219 + 26 * r + o);
    for (int r = 0; r < 16; ++r)
        for (std::size_t o : {1, 5, 9, 13})
            s.insert(2635 + 18 * r + o);
    for (int r = 0; r < 16; ++r)
        for (std::size_t o : {2, 6}) {
            s.insert(2923 + 12 * r + o);
        }
    for (int r = 0; r < 32; ++r)
        for (std::size_t o : {2, 6})
            s.insert(3115 + 13 * r + o);
    return s;
}

TProgrammingImage PatternImage()
{
    TProgrammingImage image;
    for (std::size_t i = 0; i < image.Bytes.size(); ++i)
        image.Bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    image.Bytes[3576] = 0x30;
    image.Bytes[3577] = 0x39;
    return image;
}

}  // namespace

TEST(ByteOrder, Firmware216LeavesTheImageAlone)
{
    TProgrammingImage image = PatternImage();
    const TProgrammingImage before = image;
    SwapImageByteOrder(216, image);
    EXPECT_EQ(image.Bytes, before.Bytes);
    SwapImageByteOrder(0, image);
    EXPECT_EQ(image.Bytes, before.Bytes);
}

TEST(ByteOrder, Firmware217ReversesExactlyTheFloatsAndTheWord)
{
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

TEST(ByteOrder, TrendPeriodTravelsReversed)
{
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

TEST(ByteOrder, SocketTableIsNeverSwapped)
{
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

TEST(ProgrammingImage, ClearAndEndMarker)
{
    TProgrammingImage image = PatternImage();
    TSocketTable sockets;
    sockets.Bytes.fill(9);
    ClearImage(image, sockets);
    for (auto b : image.Bytes)
        ASSERT_EQ(b, 0);
    for (auto b : sockets.Bytes)
        ASSERT_EQ(b, 0);
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

TEST(ProgrammingImage, FeedingPauseEndWrapsAtMidnight)
{
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

TEST(ProgrammingImage, UnsetRecordsAreFoundInTheOrderOfTheChecks)
{
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
