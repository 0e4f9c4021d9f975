// The trace buffer and the dispatch-log ring, and the files written from them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serial/SioTrace.h"
#include "serial/Sioexcept.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using support::ReadFile;

// Lines of a file written with CR LF line ends; lastEnded tells whether the text ends in one.
std::vector<std::string> CrLfLines(const std::string& text, bool* lastEnded = nullptr) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  if (lastEnded) *lastEnded = start == text.size();
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Lines of an expected file kept in the source tree (LF line ends).
std::vector<std::string> ExpectedLines(const std::string& name) {
  std::ifstream f(fs::path(KORVIDAN_SOURCE_DIR) / "tests/serial/data" / name, std::ios::binary);
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(f, line)) lines.push_back(line);
  return lines;
}

// A line of the expected file that ends in "*" stands for any text after its start.
void CompareLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string& e = expected[i];
    if (!e.empty() && e.back() == '*')
      EXPECT_EQ(actual[i].substr(0, e.size() - 1), e.substr(0, e.size() - 1)) << "line " << i + 1;
    else
      EXPECT_EQ(actual[i], e) << "line " << i + 1;
  }
}

class TraceLogTest : public ::testing::Test {
 protected:
  std::string File(const char* name) const { return (dir / name).string(); }

  void Push(TSioTraceLog& tl, TDispatchType type, TDispatchSubType sub, std::uint32_t time,
            std::uint32_t data, const std::string& bytes = {}) {
    TDispatchRecord r{};
    r.EventType = type;
    r.SubType = sub;
    r.Time = time;
    r.Data = data;
    r.MoreData = static_cast<std::uint32_t>(bytes.size());
    ASSERT_TRUE(tl.PushDLEntry(r, bytes.data()));
  }

  support::TempDir tmp_{"sio_tracelog_"};
  const std::filesystem::path& dir = tmp_.path();
};

// ---------------------------------------------------------------------------------------
// Trace
// ---------------------------------------------------------------------------------------

TEST_F(TraceLogTest, EmptyTraceWritesNoFileAndStops) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitTracing(10), 0);
  EXPECT_TRUE(tl.TracingOn());
  EXPECT_EQ(tl.DumpTrace(File("SIO.TRC"), true, false), 0);
  EXPECT_FALSE(fs::exists(File("SIO.TRC")));
  EXPECT_FALSE(tl.TracingOn());
  EXPECT_FALSE(tl.HasTraceBuffer());
  // Without a buffer a dump does nothing at all.
  EXPECT_EQ(tl.DumpTrace(File("SIO.TRC"), true, false), 0);
}

TEST_F(TraceLogTest, SizeLimitsAndWrapKeepTheNewestEntries) {
  TSioTraceLog tl;
  EXPECT_EQ(tl.InitTracing(4000001), ecBadArgument);
  EXPECT_EQ(tl.InitTracing(0), ecBadArgument);
  EXPECT_FALSE(tl.HasTraceBuffer());

  ASSERT_EQ(tl.InitTracing(3), 0);
  for (char c : std::string("abcde")) tl.AddTraceEntry('R', static_cast<std::uint8_t>(c));
  ASSERT_EQ(tl.DumpTrace(File("wrap.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("wrap.trc")), "Receive: \r\ncde");
}

TEST_F(TraceLogTest, ControlBytesInDecimalOrHex) {
  for (bool hex : {false, true}) {
    TSioTraceLog tl;
    ASSERT_EQ(tl.InitTracing(100), 0);
    tl.AddTraceEntry('R', 0x0D);
    tl.AddTraceEntry('R', 'A');
    tl.AddTraceEntry('R', ' ');
    tl.AddTraceEntry('R', 0xE4);
    ASSERT_EQ(tl.DumpTrace(File("cr.trc"), hex, false), 0);
    EXPECT_EQ(ReadFile(File("cr.trc")), hex ? "Receive: \r\n[0D]A[20][E4]" : "Receive: \r\n[13]A [228]");
  }
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitTracing(100), 0);
  tl.AddTraceEntry('T', 'A');
  tl.AddTraceEntry('T', 0x05);
  ASSERT_EQ(tl.DumpTrace(File("all.trc"), false, true), 0);
  EXPECT_EQ(ReadFile(File("all.trc")), "Transmit: \r\n[41][05]");
}

TEST_F(TraceLogTest, LinesBreakBeforeColumn79AndBlocksAreSeparated) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitTracing(1000), 0);
  for (int i = 0; i < 80; ++i) tl.AddTraceEntry('T', 'x');
  for (int i = 0; i < 21; ++i) tl.AddTraceEntry('R', 0x01);
  ASSERT_EQ(tl.DumpTrace(File("lines.trc"), true, false), 0);
  bool ended = true;
  auto lines = CrLfLines(ReadFile(File("lines.trc")), &ended);
  EXPECT_FALSE(ended);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[0], "Transmit: ");
  EXPECT_EQ(lines[1], std::string(78, 'x'));
  EXPECT_EQ(lines[2], "xx");
  EXPECT_EQ(lines[3], "");
  EXPECT_EQ(lines[4], "Receive: ");
  std::string nineteen;
  for (int i = 0; i < 19; ++i) nineteen += "[01]";
  EXPECT_EQ(lines[5], nineteen);  // 76 columns; one more would pass 78
  EXPECT_EQ(lines[6], "[01][01]");
}

TEST_F(TraceLogTest, AppendAddsToAnExistingFile) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitTracing(10), 0);
  tl.AddTraceEntry('T', 'a');
  ASSERT_EQ(tl.AppendTrace(File("app.trc"), true, false), 0);  // no file yet: made anew
  ASSERT_EQ(tl.InitTracing(10), 0);
  tl.AddTraceEntry('R', 'b');
  ASSERT_EQ(tl.AppendTrace(File("app.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("app.trc")), "Transmit: \r\naReceive: \r\nb");
}

TEST_F(TraceLogTest, PausedTraceRecordsNothingAndUnwritableFileFreesTheBuffer) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitTracing(10), 0);
  tl.AddTraceEntry('T', 'a');
  tl.StopTracing();
  tl.AddTraceEntry('T', 'b');
  tl.StartTracing();
  tl.AddTraceEntry('T', 'c');
  int r = tl.DumpTrace((dir / "missing" / "x.trc").string(), true, false);
  EXPECT_LT(r, 0);
  EXPECT_FALSE(tl.HasTraceBuffer());
  ASSERT_EQ(tl.InitTracing(10), 0);
  tl.AddTraceEntry('T', 'a');
  tl.StopTracing();
  tl.AddTraceEntry('T', 'b');
  ASSERT_EQ(tl.DumpTrace(File("p.trc"), true, false), 0);
  EXPECT_EQ(ReadFile(File("p.trc")), "Transmit: \r\na");
}

// ---------------------------------------------------------------------------------------
// Dispatch log
// ---------------------------------------------------------------------------------------

TEST_F(TraceLogTest, TimeColumn) {
  EXPECT_EQ(TSioTraceLog::FormatLogTime(65), "0000.065");
  EXPECT_EQ(TSioTraceLog::FormatLogTime(1234), "0001.234");
  EXPECT_EQ(TSioTraceLog::FormatLogTime(9999999), "9999.999");
  // After 10000 s the value stays right; the column only grows.
  EXPECT_EQ(TSioTraceLog::FormatLogTime(10000000), "10000.000");
  EXPECT_EQ(TSioTraceLog::FormatLogTime(4294967295u), "4294967.295");
}

TEST_F(TraceLogTest, LogFileOfAKnownExchange) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitDispatchLogging(4096), 0);
  Push(tl, dtTriggerAlloc, dstDataTrigger, 0, 8, "OK");
  Push(tl, dtDispatch, dstWriteCom, 65, 3, "AT\r");
  Push(tl, dtDispatch, dstReadCom, 1234, 6, "\r\nOK\r\n");
  Push(tl, dtTrigger, dstData, 1240, 8);
  Push(tl, dtTriggerAlloc, dstStatusTrigger, 1300, 0x11, std::string(1, '\x01'));
  Push(tl, dtTriggerDataChange, dstTimerTrigger, 1400, 16, "Deactivated");
  Push(tl, dtTelnet, dstNone, 1500, 1);
  Push(tl, dtDispatch, dstModemStatus, 1600, 0x30, "0");
  std::string binary;
  for (int i = 0; i < 40; ++i) binary += static_cast<char>(i);
  Push(tl, dtDispatch, dstReadCom, 2000, 40, binary);
  Push(tl, dtUser, dstNone, 10000000, 0, "hello world");
  ASSERT_EQ(tl.DumpDispatchLog(File("SIO.LOG"), true, false), 0);
  EXPECT_FALSE(tl.HasLogRing());
  EXPECT_FALSE(tl.LoggingOn());

  bool ended = false;
  auto lines = CrLfLines(ReadFile(File("SIO.LOG")), &ended);
  EXPECT_TRUE(ended);
  CompareLines(lines, ExpectedLines("exchange.log"));
}

TEST_F(TraceLogTest, AllHexShowsEveryByteInHexButUserTextAsItIs) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitDispatchLogging(1024), 0);
  Push(tl, dtDispatch, dstWriteCom, 1, 2, "AT");
  Push(tl, dtUser, dstNone, 2, 0, "note 1");
  ASSERT_EQ(tl.DumpDispatchLog(File("hex.log"), true, true), 0);
  auto lines = CrLfLines(ReadFile(File("hex.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "0000.001  Dispatch  WriteCom      00000002  [41][54]");
  EXPECT_EQ(lines[6], "0000.002  User                    00000000  note 1");
}

TEST_F(TraceLogTest, EmptyLogWritesNoFile) {
  TSioTraceLog tl;
  EXPECT_EQ(tl.DumpDispatchLog(File("none.log"), true, false), 0);
  ASSERT_EQ(tl.InitDispatchLogging(100), 0);
  EXPECT_EQ(tl.DumpDispatchLog(File("none.log"), true, false), 0);
  EXPECT_FALSE(fs::exists(File("none.log")));
  EXPECT_FALSE(tl.HasLogRing());
}

TEST_F(TraceLogTest, UnopenableLogFileKeepsTheEntries) {
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitDispatchLogging(1024), 0);
  tl.AddStringToLog("kept");
  int r = tl.DumpDispatchLog((dir / "missing" / "x.log").string(), true, false);
  EXPECT_LT(r, 0);
  EXPECT_TRUE(tl.HasLogRing());
  EXPECT_FALSE(tl.LoggingOn());
  ASSERT_EQ(tl.DumpDispatchLog(File("second.log"), true, false), 0);
  auto lines = CrLfLines(ReadFile(File("second.log")));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[5].substr(10), "User                    00000000  kept");
}

TEST_F(TraceLogTest, RingDropsOldestWholeEntriesAndRefusesOversizedOnes) {
  TSioTraceLog tl;
  const std::uint32_t size = 100;
  ASSERT_EQ(tl.InitDispatchLogging(size), 0);
  // An entry with its record as large as the ring is never logged.
  TDispatchRecord big{};
  big.MoreData = size - sizeof(TDispatchRecord);
  std::string bytes(size, 'z');
  EXPECT_FALSE(tl.PushDLEntry(big, bytes.data()));
  EXPECT_EQ(tl.LogFree(), size);

  // Entries of a record and 20 bytes: the third one pushes out the first, never half of one.
  const std::uint32_t entry = sizeof(TDispatchRecord) + 20;
  for (std::uint32_t i = 0; i < 7; ++i) {
    TDispatchRecord r{};
    r.EventType = dtUser;
    r.Data = i;
    r.MoreData = 20;
    std::string b(20, static_cast<char>('a' + i));
    ASSERT_TRUE(tl.PushDLEntry(r, b.data()));
    EXPECT_EQ((size - tl.LogFree()) % entry, 0u);
  }
  // The newest two remain (two entries fit in 100 bytes, three do not), each whole.
  TDispatchRecord r{};
  std::vector<std::uint8_t> got;
  ASSERT_FALSE(tl.PopLastDLEntry(r, got));
  std::uint32_t data = r.Data;  // the record is packed: no references to its fields
  EXPECT_EQ(data, 5u);
  EXPECT_EQ(std::string(got.begin(), got.end()), std::string(20, 'f'));
  ASSERT_FALSE(tl.PopLastDLEntry(r, got));
  data = r.Data;
  EXPECT_EQ(data, 6u);
  EXPECT_EQ(std::string(got.begin(), got.end()), std::string(20, 'g'));
  EXPECT_TRUE(tl.PopLastDLEntry(r, got));
  EXPECT_EQ(tl.LogFree(), size);
}

TEST_F(TraceLogTest, LargeEntriesAreReadBackWhole) {
  // Entries larger than any queue size of a port (a long user text, a big read) come back
  // complete when the log is written.
  TSioTraceLog tl;
  ASSERT_EQ(tl.InitDispatchLogging(200000), 0);
  std::string text(70000, 'q');
  tl.AddStringToLog(text);
  ASSERT_EQ(tl.DumpDispatchLog(File("big.log"), false, false), 0);
  auto lines = CrLfLines(ReadFile(File("big.log")));
  std::size_t qs = 0;
  for (std::size_t i = 5; i < lines.size(); ++i)
    for (char c : lines[i]) qs += c == 'q';
  EXPECT_EQ(qs, text.size());
}

TEST_F(TraceLogTest, StoppedLogTakesNoEntries) {
  TSioTraceLog tl;
  tl.AddStringToLog("before");  // no ring: nothing
  ASSERT_EQ(tl.InitDispatchLogging(1000), 0);
  tl.AddStringToLog("one");
  tl.StopDispatchLogging();
  tl.AddStringToLog("two");
  tl.StartDispatchLogging();
  tl.AddStringToLog("three");
  ASSERT_EQ(tl.DumpDispatchLog(File("s.log"), true, false), 0);
  auto lines = CrLfLines(ReadFile(File("s.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_NE(lines[5].find("one"), std::string::npos);
  EXPECT_NE(lines[6].find("three"), std::string::npos);
}

}  // namespace
