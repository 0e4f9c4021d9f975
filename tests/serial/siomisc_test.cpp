// Tick time, event timers, delays, message yielding and the shared helpers.
#include "serial/SioMisc.h"

#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Messages.h"
#include "tests/support/CpuTime.h"
#include "tests/support/TempDir.h"

namespace {

// Places the millisecond clock at a chosen reading; restores the real clock afterwards.
class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override { SioSetClockOffset(0); }
  void SetClockTo(std::uint32_t ms) {
    SioSetClockOffset(0);
    SioSetClockOffset(ms - SioTimeGetTime());
  }
  void Advance(std::uint32_t ms) { SioSetClockOffset(SioClockOffset() + ms); }
};

TEST(Ticks, ConversionsAtTheirBoundaries) {
  EXPECT_EQ(Secs2Ticks(0), 0);
  EXPECT_EQ(Secs2Ticks(1), 18);
  EXPECT_EQ(Secs2Ticks(60), 1092);
  EXPECT_EQ(Secs2Ticks(-1), -18);
  EXPECT_EQ(Ticks2Secs(0), 0);
  EXPECT_EQ(Ticks2Secs(9), 0);
  EXPECT_EQ(Ticks2Secs(18), 1);
  EXPECT_EQ(Ticks2Secs(1092), 60);
  EXPECT_EQ(MSecs2Ticks(54), 0);
  EXPECT_EQ(MSecs2Ticks(1000), 18);
  // long spans do not overflow
  EXPECT_EQ(MSecs2Ticks(3600000), 65543);
  EXPECT_EQ(Secs2Ticks(2000000), 36413043);
  EXPECT_EQ(Ticks2Secs(MaxTimerTicks), 2144570);
}

TEST_F(ClockTest, ClockAndTicks) {
  // bounds leave room for a busy machine between setting and reading the clock
  SetClockTo(5500);
  EXPECT_GE(SioTimeGetTime(), 5500u);
  EXPECT_GE(SioCurrentTick(), 100);
  EXPECT_LE(SioCurrentTick(), 120);
  SetClockTo(0xFFFFFFFFu - 2000);
  EXPECT_GE(SioCurrentTick(), 78090278);
  EXPECT_LE(SioCurrentTick(), 78090314);  // the last tick before the wrap
  Advance(3000);
  EXPECT_LT(SioCurrentTick(), 60);
  EXPECT_GT(QPFreq, 0u);
}

TEST_F(ClockTest, TimerBasics) {
  EventTimer et;
  SetClockTo(55 * 1000);
  NewTimer(et, 0);
  bool expired = TimerExpired(et);
  if (SioCurrentTick() == et.StartTicks) {
    EXPECT_FALSE(expired);  // not until the tick changes
  }
  Advance(110);
  EXPECT_TRUE(TimerExpired(et));

  NewTimer(et, 50000000);
  EXPECT_EQ(et.ExpireTicks - et.StartTicks, MaxTimerTicks);

  NewTimer(et, 18);
  EXPECT_FALSE(TimerExpired(et));
  EXPECT_GE(RemainingTime(et), 17);
  Advance(5 * 55);
  EXPECT_GE(ElapsedTime(et), 5);
  EXPECT_LE(ElapsedTime(et), 15);
  Advance(2000);
  EXPECT_TRUE(TimerExpired(et));
  EXPECT_EQ(RemainingTime(et), 0);
  EXPECT_EQ(RemainingTimeInSecs(et), 0);
  EXPECT_EQ(ElapsedTimeInSecs(et), 2);

  NewTimerSecs(et, 60);
  EXPECT_EQ(et.ExpireTicks - et.StartTicks, 1092);
  EXPECT_NEAR(RemainingTimeInSecs(et), 60, 1);
}

TEST_F(ClockTest, TimersAreRightAcrossTheClockWrap) {
  EventTimer et;
  SetClockTo(0xFFFFFFFFu - 300);  // 0.3 s before the 32-bit clock wraps
  NewTimer(et, 100);              // 5.5 s
  EXPECT_FALSE(TimerExpired(et));
  Advance(400);  // wrapped, 0.4 s after the start
  ASSERT_LT(SioCurrentTick(), et.StartTicks);
  EXPECT_FALSE(TimerExpired(et));
  EXPECT_GE(ElapsedTime(et), 6);
  EXPECT_LE(ElapsedTime(et), 30);
  EXPECT_GE(RemainingTime(et), 70);
  EXPECT_LE(RemainingTime(et), 94);
  Advance(6000);  // 6.4 s after the start
  EXPECT_TRUE(TimerExpired(et));
  EXPECT_EQ(RemainingTime(et), 0);
  EXPECT_GE(ElapsedTime(et), 115);
  EXPECT_LE(ElapsedTime(et), 140);

  // a long timer started before the wrap runs its full span after it
  SetClockTo(0xFFFFFFFFu - 1000);
  NewTimerSecs(et, 3600);
  Advance(1800u * 1000u);
  EXPECT_FALSE(TimerExpired(et));
  EXPECT_NEAR(RemainingTimeInSecs(et), 1800, 2);
  Advance(1810u * 1000u);  // a tick is 55 ms, a little longer than 1/18.2 s
  EXPECT_TRUE(TimerExpired(et));
}

TEST(Delays, DelayMSSleepsForItsTime) {
  auto t0 = std::chrono::steady_clock::now();
  double cpu0 = 1e3 * support::ThreadCpuSeconds();
  EXPECT_EQ(DelayMS(150), 150u);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 149);
  EXPECT_LT(1e3 * support::ThreadCpuSeconds() - cpu0, 50.0);  // slept, did not spin
  EXPECT_EQ(DelayMS(0), 0u);
}

TEST(Delays, DelayTicksWithoutYield) {
  EXPECT_EQ(DelayTicks(0, false), 0u);
  EXPECT_EQ(DelayTicks(-5, false), 0u);
  auto t0 = std::chrono::steady_clock::now();
  double cpu0 = 1e3 * support::ThreadCpuSeconds();
  EXPECT_EQ(DelayTicks(3, false), 0u);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 3 * 55 - 1);
  EXPECT_LT(ms, 2000);
  EXPECT_LT(1e3 * support::ThreadCpuSeconds() - cpu0, 50.0);
}

struct MessageLog {
  int count = 0;
  UINT last = 0;
};

class YieldTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterClass("SioMiscTestWindow", [](HWND hwnd, UINT msg, WPARAM, LPARAM) -> LRESULT {
      auto* log = static_cast<MessageLog*>(GetWindowUserData(hwnd));
      if (log) {
        ++log->count;
        log->last = msg;
      }
      return 0;
    });
    FWindow = CreateWindow("SioMiscTestWindow", &FLog);
    ASSERT_NE(FWindow, 0u);
  }
  void TearDown() override {
    DestroyWindow(FWindow);
    MSG msg;
    while (PeekMessage(&msg, true)) {
    }
  }
  HWND FWindow = 0;
  MessageLog FLog;
};

TEST_F(YieldTest, SafeYieldDispatchesOneMessage) {
  EXPECT_EQ(SafeYield(), 0u);
  PostMessage(FWindow, WM_USER + 7, 0, 0);
  PostMessage(FWindow, WM_USER + 8, 0, 0);
  EXPECT_EQ(SafeYield(), ((FWindow & 0xFFFFu) << 16) | (WM_USER + 7));
  EXPECT_EQ(FLog.count, 1);
  EXPECT_EQ(FLog.last, WM_USER + 7);
  EXPECT_EQ(SafeYield() & 0xFFFFu, WM_USER + 8);
  EXPECT_EQ(FLog.count, 2);
  EXPECT_EQ(SafeYield(), 0u);
}

TEST_F(YieldTest, QuitStaysPendingForTheMessageLoop) {
  PostQuitMessage(7);
  EXPECT_EQ(SafeYield(), WM_QUIT);
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, true));
  EXPECT_EQ(msg.message, WM_QUIT);
  EXPECT_EQ(msg.wParam, 7u);
}

TEST_F(YieldTest, DelayTicksPumpsAndStopsAtQuit) {
  // no ticks: returns at once without taking a message
  PostMessage(FWindow, WM_USER + 1, 0, 0);
  EXPECT_EQ(DelayTicks(0, true), 0u);
  EXPECT_EQ(FLog.count, 0);
  EXPECT_TRUE(HasPendingMessages());

  auto t0 = std::chrono::steady_clock::now();
  double cpu0 = 1e3 * support::ThreadCpuSeconds();
  EXPECT_EQ(DelayTicks(3, true), 0u);
  EXPECT_EQ(FLog.count, 1);
  EXPECT_LT(1e3 * support::ThreadCpuSeconds() - cpu0, 50.0);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(3 * 55 - 1));

  PostQuitMessage(3);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(DelayTicks(1000, true), WM_QUIT);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  MSG msg;
  ASSERT_TRUE(PeekMessage(&msg, true));
  EXPECT_EQ(msg.message, WM_QUIT);
}

TEST(Helpers, FlagsAndBuffers) {
  std::uint32_t flags = 0;
  SetFlag(flags, 0x11);
  EXPECT_TRUE(FlagIsSet(flags, 0x10));
  ClearFlag(flags, 0x10);
  EXPECT_FALSE(FlagIsSet(flags, 0x10));
  EXPECT_TRUE(FlagIsSet(flags, 0x01));
  std::uint8_t b = 0;
  SetByteFlag(b, 0x80);
  EXPECT_TRUE(ByteFlagIsSet(b, 0x81));
  ClearByteFlag(b, 0x80);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(MinWord(65535, 3), 3);

  unsigned char buf[9] = {0x00, 0xFF, 0x0F, 0xF0, 0x55, 0xAA, 0xAA, 0xAA, 0xAA};
  NotBuffer(buf + 0, 5);
  const unsigned char expect[9] = {0xFF, 0x00, 0xF0, 0x0F, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(std::memcmp(buf, expect, 9), 0);
  NotBuffer(buf + 1, 3);  // unaligned, shorter than four
  EXPECT_EQ(buf[1], 0xFF);
  EXPECT_EQ(buf[3], 0xF0);
  EXPECT_EQ(buf[4], 0xAA);
  EXPECT_EQ(GetPtr(buf, 4), buf + 4);
  EXPECT_EQ(AddWordToPtr(buf, 2), buf + 2);
}

TEST(Helpers, NumbersAndSubstrings) {
  char d[12];
  EXPECT_STREQ(Long2StrZ(d, -2147483647 - 1), "-2147483648");
  char small[4];
  EXPECT_STREQ(Long2StrZ(small, 123456), "123");
  std::int32_t v = 99;
  EXPECT_TRUE(Str2LongZ("123", v));
  EXPECT_EQ(v, 123);
  EXPECT_TRUE(Str2LongZ("-2147483648", v));
  EXPECT_EQ(v, -2147483647 - 1);
  EXPECT_TRUE(Str2LongZ("$FF", v));
  EXPECT_EQ(v, 255);
  v = 5;
  EXPECT_FALSE(Str2LongZ("2147483648", v));
  EXPECT_FALSE(Str2LongZ("12a", v));
  EXPECT_FALSE(Str2LongZ("", v));
  EXPECT_FALSE(Str2LongZ("-", v));
  EXPECT_FALSE(Str2LongZ(nullptr, v));
  EXPECT_EQ(v, 5);
  EXPECT_EQ(StrStCopy("ABCDE", 3, 10), "DE");
  EXPECT_EQ(StrStCopy("ABCDE", 1, 2), "BC");
  EXPECT_EQ(StrStCopy("ABCDE", 5, 1), "");
}

TEST(Helpers, FileNames) {
  EXPECT_EQ(JustPathname("C:\\DIR\\F.TXT"), "C:\\DIR");
  EXPECT_EQ(JustPathname("C:\\F.TXT"), "C:\\");
  EXPECT_EQ(JustPathname("C:F.TXT"), "C:");
  EXPECT_EQ(JustPathname("\\F.TXT"), "\\");
  EXPECT_EQ(JustPathname("F.TXT"), "");
  EXPECT_EQ(JustPathname("/var/spool/fax/IN.FXF"), "/var/spool/fax");
  EXPECT_EQ(JustFilename("C:\\DIR\\F.TXT"), "F.TXT");
  EXPECT_EQ(JustFilename("F.TXT"), "F.TXT");
  EXPECT_EQ(JustFilename("/tmp/x.fxf"), "x.fxf");
  EXPECT_EQ(JustFilename("C:\\" + std::string(300, 'a')).size(), 255u);
  EXPECT_EQ(JustExtension("FAX.TIFF"), "TIF");
  EXPECT_EQ(JustExtension("FAX"), "");
  EXPECT_EQ(JustExtension("C:\\DIR.X\\FAX"), "");
  EXPECT_EQ(AddBackSlash(""), "");
  EXPECT_EQ(AddBackSlash("C:"), "C:");
  EXPECT_EQ(AddBackSlash("C:\\DIR"), "C:\\DIR\\");
  EXPECT_EQ(AddBackSlash("C:\\DIR\\"), "C:\\DIR\\");
  EXPECT_EQ(ForceExtension("C:\\A.B\\NAME", "FXF"), "C:\\A.B\\NAME.FXF");
  EXPECT_EQ(ForceExtension("X.TXT", "FXF"), "X.FXF");
  EXPECT_EQ(DefaultExtension("X", "TXT"), "X.TXT");
  EXPECT_EQ(DefaultExtension("X.DOC", "TXT"), "X.DOC");
  EXPECT_EQ(JustName("C:\\DIR\\A.B.C"), "A");
  EXPECT_EQ(JustName("NAME"), "NAME");

  char d[4];
  EXPECT_STREQ(JustFilenameZ(d, "C:\\LONGNAME.TXT"), "LON");
  char e[8];
  EXPECT_STREQ(JustExtensionZ(e, "FAX.TIFF"), "TIF");
  EXPECT_STREQ(ForceExtensionZ(e, "A.B", "CDEFGH"), "A.CDEFG");

  // A directory of this process's own: copies of the test run at once.
  const support::TempDir tmp("siomisc_exist");
  const std::filesystem::path& dir = tmp.path();
  std::ofstream(dir / "f.txt") << "x";
  EXPECT_TRUE(ExistFileZ((dir / "f.txt").c_str()));
  EXPECT_FALSE(ExistFileZ((dir / "missing.txt").c_str()));
  EXPECT_FALSE(ExistFileZ(dir.c_str()));
  EXPECT_FALSE(ExistFileZ(nullptr));
}

std::vector<std::string> ReadLines(const std::string& data) {
  TLineReader reader(std::make_unique<std::istringstream>(data));
  EXPECT_EQ(reader.Size(), data.size());
  std::vector<std::string> lines;
  for (int guard = 0; guard < 100; ++guard) {
    std::string line = reader.NextLine();
    if (reader.Eof()) {
      if (!line.empty()) lines.push_back(line);
      break;
    }
    lines.push_back(line);
  }
  return lines;
}

TEST(LineReader, LinesEndAtCrLfCrOrLf) {
  EXPECT_EQ(ReadLines("A\r\nB"), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(ReadLines("A\rB\r\n\r\nC\r"), (std::vector<std::string>{"A", "B", "", "C"}));
  // A text written on Linux, and one whose line ends are mixed: one line per line end.
  EXPECT_EQ(ReadLines("A\nB\n\nC\n"), (std::vector<std::string>{"A", "B", "", "C"}));
  EXPECT_EQ(ReadLines("A\nB\rC\r\nD\n\rE\r\r\nF"),
            (std::vector<std::string>{"A", "B", "C", "D", "", "E", "", "F"}));
  // The line a text ends with a line end: an empty last line, whichever the line end.
  for (const char* end : {"\r\n", "\r", "\n"}) {
    TLineReader reader(std::make_unique<std::istringstream>(std::string("A") + end));
    EXPECT_EQ(reader.NextLine(), "A");
    EXPECT_FALSE(reader.Eof());
    EXPECT_EQ(reader.NextLine(), "");
    EXPECT_TRUE(reader.Eof());
  }
  EXPECT_EQ(ReadLines(""), (std::vector<std::string>{}));
  EXPECT_EQ(ReadLines("AB\x1A"), (std::vector<std::string>{"AB"}));
  EXPECT_EQ(ReadLines(std::string("A\0B\rC", 5)), (std::vector<std::string>{"A"}));
}

TEST(LineReader, LinesAcrossPages) {
  std::string x(4095, 'x');
  // CR LF split across the page boundary
  EXPECT_EQ(ReadLines(x + "\r\nY"), (std::vector<std::string>{x, "Y"}));
  // a lone LF opening the second page ends the line; after a page that ended in LF, or in a
  // CR that ended no line of its own, it is an empty line
  std::string full(4096, 'x');
  EXPECT_EQ(ReadLines(full + "\nZ"), (std::vector<std::string>{full, "Z"}));
  EXPECT_EQ(ReadLines(x + "\n\nY"), (std::vector<std::string>{x, "", "Y"}));
  EXPECT_EQ(ReadLines(x + "\r\rY"), (std::vector<std::string>{x, "", "Y"}));
  EXPECT_EQ(ReadLines(std::string(4094, 'x') + "\r\r\nY"),
            (std::vector<std::string>{std::string(4094, 'x'), "", "Y"}));
  // a line longer than a page
  std::string longLine(10000, 'q');
  EXPECT_EQ(ReadLines(longLine + "\rEND\r"), (std::vector<std::string>{longLine, "END"}));
  // end-of-text mark as the last byte of a full page is dropped
  EXPECT_EQ(ReadLines(x + "\x1A" + "B"), (std::vector<std::string>{x + "B"}));
}

TEST(SioStr, EditingAndCursor) {
  TSioStr s(5);
  s.Append("ABCDE");
  EXPECT_EQ(s.GetLen(), 5u);
  EXPECT_EQ(s.GetBuffLen(), 6u);
  EXPECT_EQ(s.Copy(3, 10), "CDE");
  EXPECT_EQ(s.Copy(0, 1), "");
  EXPECT_EQ(s.Copy(6, 1), "");
  EXPECT_EQ(s.Copy(2, 0), "");
  EXPECT_EQ(s.Pos("CD"), 3u);
  EXPECT_EQ(s.GetCurChar(), 'C');
  EXPECT_EQ(s.PosIdx("C", 4), 0u);
  EXPECT_EQ(s.Pos("X"), 0u);
  s.Last();
  EXPECT_EQ(s.GetCurChar(), 'E');
  s.Next();
  EXPECT_EQ(s.GetCurChar(), '\0');
  s.Next();
  EXPECT_EQ(s.CursorPos(), 6u);
  s.First();
  s.Prev();
  EXPECT_EQ(s.GetCurChar(), 'A');
  s.GotoPos(2);
  EXPECT_EQ(s.GetCurChar(), 'B');

  TSioStr copy(0);
  copy.Assign(s);
  EXPECT_EQ(copy.Str(), "ABCDE");
  EXPECT_EQ(copy.GetMaxLen(), 5u);
  EXPECT_EQ(copy.GetCurChar(), 'B');

  s.Delete(2, 10);
  EXPECT_EQ(s.Str(), "A");
  s.Delete(0, 1);
  s.Delete(5, 1);
  EXPECT_EQ(s.Str(), "A");

  s.Append("BC");
  s.Prepend(">>");
  EXPECT_EQ(s.Str(), ">>ABC");
  s.Insert("xy", 3);
  EXPECT_EQ(s.Str(), ">>xyABC");
  EXPECT_GE(s.GetMaxLen(), 7u);
  s.Insert("no", 8);  // beyond the length
  EXPECT_EQ(s.Str(), ">>xyABC");
  s.SetChar(1, '<');
  EXPECT_EQ(s.GetChar(1), '<');
  EXPECT_EQ(s.GetChar(99), '\0');
  s.SetLen(3);
  EXPECT_EQ(s.Str(), "<>x");
  s.SetLen(10);
  EXPECT_EQ(s.Str(), "<>x");
  s.Resize(3);
  EXPECT_EQ(s.Str(), "<>");
  EXPECT_EQ(s.GetMaxLen(), 3u);
  s.AppendTSioStr(copy);
  s.AppendBuff("!");
  EXPECT_EQ(s.Str(), "<>ABCDE!");
  EXPECT_STREQ(s.Buffer(), "<>ABCDE!");
  s.SetMaxLen(4);
  EXPECT_EQ(s.GetLen(), 0u);
  s.Clear();
  EXPECT_EQ(s.Str(), "");
  s.SetMaxLen(0);
  EXPECT_STREQ(s.Buffer(), "");
}

TEST(Components, VersionIsFixed) {
  TSioBaseComponent c;
  c.SetVersion("v9");
  EXPECT_EQ(c.GetVersion(), "v3.01");
  TSioBaseWinControl w;
  EXPECT_EQ(w.GetVersion(), "v3.01");
  EXPECT_FALSE(IsWin2000());
}

}  // namespace
