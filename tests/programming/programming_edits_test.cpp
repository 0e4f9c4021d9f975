// The rules behind the programming window's controls, without a window: the text
// conversions whatever the process locale, the socket stepper's edges, new records of every
// kind, and the order of the checks before a write.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "programming/ProgrammingEdits.h"

namespace {

using namespace ProgLayout;

TEST(ProgrammingEdits, TextsAreReadAndWrittenTheSameInAnyLocale) {
  // A German locale writes and reads "7,5" in printf and scanf; these never do.
  const char* german = std::setlocale(LC_ALL, "de_DE.UTF-8");
  EXPECT_EQ(FormatValue("%05.2f", 7.126f), "07.13");
  EXPECT_EQ(FormatValue("%04.1f", 25.25f), "25.2");
  EXPECT_EQ(FormatValue("%+06.2f", -8.8f), "-08.80");
  EXPECT_EQ(FormatInt("%+03d", 1), "+01");
  EXPECT_FLOAT_EQ(TextToFloat("7.5abc"), 7.5f);  // what "%f" reads
  EXPECT_FLOAT_EQ(TextToFloat("  -3e2"), -300.0f);
  EXPECT_FLOAT_EQ(TextToFloat("abc"), 0.0f);
  float v = 0;
  EXPECT_TRUE(ReadFloatText(" 7,5 ", v));
  EXPECT_FLOAT_EQ(v, 7.5f);
  EXPECT_TRUE(ReadFloatText("-1.5e1", v));
  EXPECT_FLOAT_EQ(v, -15.0f);
  for (const char* bad : {"", " ", "7.5abc", "nan", "inf", "0x10", "1e40", "1,2,3"}) {
    v = 42;
    EXPECT_FALSE(ReadFloatText(bad, v)) << bad;
    EXPECT_FLOAT_EQ(v, 42.0f) << bad;
  }
  if (german) std::setlocale(LC_ALL, "C");

  EXPECT_EQ(TextToInt(" 12 "), 12);
  EXPECT_EQ(TextToInt("+7"), 7);
  EXPECT_EQ(TextToInt("1x"), 0);
  EXPECT_EQ(TextToInt("99999999999"), 0);
  EXPECT_EQ(TextToIntClamped("150", 0, 100), 100);
  EXPECT_EQ(TextToIntClamped("-5", 0, 100), 0);
}

TEST(ProgrammingEdits, TimesOfDayEndAtTheDaysLastSecond) {
  float s = -1;
  EXPECT_TRUE(ReadTimeOfDayText("23:59:59", s));
  EXPECT_FLOAT_EQ(s, 86399.0f);
  EXPECT_TRUE(ReadTimeOfDayText("7:5:3", s));
  EXPECT_FLOAT_EQ(s, 7 * 3600 + 5 * 60 + 3);
  s = -1;
  for (const char* bad : {"24:00:00", "99:99:99", "23:59:60", "12:30", "12:30:00x", "123:00:00", "::"}) {
    EXPECT_FALSE(ReadTimeOfDayText(bad, s)) << bad;
    EXPECT_FLOAT_EQ(s, -1.0f);
  }
  EXPECT_TRUE(ReadDurationText("99:99:99", s));
  EXPECT_FLOAT_EQ(s, 362439.0f);
}

TEST(ProgrammingEdits, SocketStepperNeverJumpsOverAnAbsentSocketNorLeavesTheTable) {
  TSocketTable sockets;
  for (int n : {1, 2, 4}) sockets.GetEntry(n).SetKind(1);
  EXPECT_EQ(DoseUpDown(1, 1, sockets), 2);
  EXPECT_EQ(DoseUpDown(1, 2, sockets), 2);  // 3 is absent
  EXPECT_EQ(DoseUpDown(-1, 4, sockets), 4);
  EXPECT_EQ(DoseUpDown(-1, 2, sockets), 1);
  EXPECT_EQ(DoseUpDown(-1, 1, sockets), 1);
  EXPECT_EQ(DoseUpDown(-1, 0, sockets), 0);  // no entry -1
  sockets.GetEntry(16).SetKind(2);
  sockets.GetEntry(15).SetKind(1);
  EXPECT_EQ(DoseUpDown(1, 15, sockets), 16);
  EXPECT_EQ(DoseUpDown(1, 16, sockets), 16);  // no entry 17
  EXPECT_EQ(DoseUpDown(1, 40, sockets), 0);
  EXPECT_EQ(FirstPresentSocket(sockets), 1);
  EXPECT_EQ(FirstPresentSocket(TSocketTable{}), 0);
  EXPECT_EQ(ShownSocket(16), 16);
  EXPECT_EQ(ShownSocket(17), 0);
  EXPECT_EQ(SocketKind(-1, sockets), 0);
  EXPECT_EQ(SocketKind(99, sockets), 0);
  EXPECT_FALSE(AssignSocket(sockets, 17, 12, 50, 50));
  EXPECT_TRUE(AssignSocket(sockets, 0, 12, 300, -4));  // socket 0 has an entry like any other
  EXPECT_EQ(sockets.GetEntry(0).GetAssignment(), 12);
  EXPECT_EQ(sockets.GetEntry(0).GetValueOn(), 100);
  EXPECT_EQ(sockets.GetEntry(0).GetValueOff(), 0);
  EXPECT_EQ(RecordSocketText(0, sockets), "nicht ausgewählt");
  EXPECT_EQ(SocketAssignmentName(0, sockets), "nicht verfügbar");
  EXPECT_EQ(RecordSocketText(0 + 16, sockets), "frei");
}

TEST(ProgrammingEdits, NewRecordsTakeTheFirstFreeOneAndFullBlocksSaySo) {
  TProgrammingImage image;
  for (int k = 0; k < 4; ++k) image.GetDayNightRecord(k).SetMode(1);
  EXPECT_EQ(NewRecord(image, DayNightBlock), 4);
  EXPECT_EQ(image.GetDayNightRecord(4).GetMode(), DayNightModeUnset);
  for (const TRecordBlock& block : {CurrentBlock, DayNightBlock, MoonBlock, TimerBlock, IntervalBlock}) {
    TProgrammingImage full;
    for (int k = 0; k < block.count; ++k) {
      EXPECT_EQ(NewRecord(full, block), k);
      EXPECT_EQ(full.GetByte(RecordOffset(block, k)), block.unset);
    }
    EXPECT_EQ(NewRecord(full, block), -1);
    EXPECT_THROW(RecordOffset(block, block.count), std::out_of_range);
  }
  // The feeding pause: an entry is free while it has no socket; one mode for all.
  TProgrammingImage feeding;
  feeding.SetFeedingPauseSocket(0, 3);
  EXPECT_EQ(NewRecord(feeding, FeedingPauseBlock), 1);
  EXPECT_EQ(feeding.GetFeedingPauseMode(), FeedingPauseModeUnset);
  EXPECT_EQ(feeding.GetFeedingPauseSocket(1), 0);

  bool refused = false;
  EXPECT_EQ(StepRecord(image, DayNightBlock, 3, 1, refused), 4);
  EXPECT_FALSE(refused);
  EXPECT_EQ(StepRecord(image, DayNightBlock, 4, 1, refused), 4);
  EXPECT_TRUE(refused);
  EXPECT_EQ(StepRecord(image, DayNightBlock, 0, -1, refused), 0);
  EXPECT_FALSE(refused);
  EXPECT_EQ(StepRecord(image, DayNightBlock, 15, 1, refused), 15);
  EXPECT_FALSE(refused);
}

TEST(ProgrammingEdits, NewControlProcessFollowsTheLastUsedOneAndNeverResetsTheFourth) {
  TProgrammingImage image;
  int p = -1;
  EXPECT_EQ(NewControlProcess(image, -1, 0, 1, p), TNewRecordResult::NothingSelected);
  EXPECT_EQ(NewControlProcess(image, 2, 0, 0, p), TNewRecordResult::Created);
  EXPECT_EQ(p, 0);
  EXPECT_EQ(image.GetControlRecord(2, 0).GetSensorType(), 0);  // only the pH tab sets a type
  image.GetControlRecord(2, 0).SetMode(1);
  image.GetControlRecord(2, 2).SetMode(2);  // process 2 is free, but the new one follows process 3
  EXPECT_EQ(NewControlProcess(image, 2, 0, 1, p), TNewRecordResult::Created);
  EXPECT_EQ(p, 3);
  EXPECT_EQ(image.GetControlRecord(2, 3).GetMode(), ControlModeUnset);
  EXPECT_EQ(image.GetControlRecord(2, 3).GetSensorType(), 1);
  image.GetControlRecord(2, 3).SetMode(2);
  EXPECT_EQ(NewControlProcess(image, 2, 0, 1, p), TNewRecordResult::NoMore);
  EXPECT_EQ(image.GetControlRecord(2, 3).GetMode(), 2);
  EXPECT_EQ(NewControlProcess(image, 5, 3, 1, p), TNewRecordResult::NoMore);  // process 4 shown

  EXPECT_EQ(StepInput(image, 1, -1, 1), -1);
  image.GetControlRecord(4, 0).SetSensorType(1);
  image.GetControlRecord(6, 0).SetSensorType(1);
  EXPECT_EQ(StepInput(image, 1, -1, 1), 4);
  EXPECT_EQ(StepInput(image, 1, 4, 1), 6);
  EXPECT_EQ(StepInput(image, 1, 6, 1), 6);
  EXPECT_EQ(StepInput(image, 1, 7, -1), 6);
  EXPECT_EQ(StepProcess(image, 2, 0, 1), 2);
  EXPECT_EQ(StepProcess(image, 2, 3, -1), 2);
  EXPECT_EQ(StepProcess(image, 2, 0, -1), 0);
}

TEST(ProgrammingEdits, ChecksBeforeAWriteStopAtTheFirstFailureInTheirOrder) {
  TProgrammingImage image;
  EXPECT_TRUE(ValidateBeforeWrite(image).ok);  // a cleared image has nothing unset
  image.GetMoonRecord(3).SetMode(MoonModeUnset);
  image.GetTimerRecord(9).SetMode(TimerModeUnset);
  EXPECT_EQ(ValidateBeforeWrite(image).caption, "Zeitschaltuhr");
  // Inputs are scanned within processes: input 8 of process 1 comes before input 1 of process 2.
  image.GetControlRecord(0, 1).SetMode(ControlModeUnset);
  image.GetControlRecord(7, 0).SetMode(ControlModeUnset);
  const TWriteCheck check = ValidateBeforeWrite(image);
  EXPECT_FALSE(check.ok);
  EXPECT_EQ(check.text, "Bitte Regelart für Sensor Nr. 8 und Vorgang Nr.1 einstellen ! ");
  EXPECT_EQ(NumberMessageFor(-1).caption, "Fehler");
}

}  // namespace
