// Sending faxes through the simulated fax modem (tools/faxmodem-sim) in Class 2 and 2.0:
// what the remote receives is what the fax file holds, framed by the lead lines and the
// header line; every failure of the modem or the remote ends the session with its code.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "G3Decode.h"
#include "fax/Swfax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "serial/SioWin32.h"
#include "serial/Sioexcept.h"
#include "tests/support/Child.h"
#include "tests/support/CpuTime.h"
#include "tests/support/Sanitizer.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using support::ReadBytes;
using support::ReadFile;
using support::TempDir;

// What the component's window sees of a session.
struct Recorder {
  TFaxRec* fax = nullptr;
  std::vector<TFaxEntry> entries;  // handed out one by one on "next fax"
  std::size_t next = 0;
  std::vector<int> progress;  // FaxProgress at every status notice
  std::vector<WPARAM> statusFlags;
  std::vector<int> logs;
  std::vector<int> errors;
  bool finished = false;
  int finishCode = 1;
};
Recorder* gRecorder = nullptr;

LRESULT TestFaxWindow(HWND, UINT msg, WPARAM wParam, LPARAM) {
  Recorder* r = gRecorder;
  if (r == nullptr) return 0;
  switch (msg) {
    case apw_FaxNextfile:
      if (r->next >= r->entries.size()) return 0;
      afSetNextFax(r->fax, r->entries[r->next].PhoneNum, r->entries[r->next].FaxFile,
                   r->entries[r->next].CoverFile);
      ++r->next;
      return 1;
    case apw_FaxStatus:
      r->progress.push_back(afGetFaxProgress(r->fax));
      r->statusFlags.push_back(wParam);
      return 0;
    case apw_FaxLog:
      r->logs.push_back(static_cast<int>(wParam));
      return 0;
    case apw_FaxError:
      r->errors.push_back(static_cast<std::int16_t>(wParam));
      return 0;
    case apw_FaxFinish:
      r->finished = true;
      r->finishCode = static_cast<std::int16_t>(wParam);
      return 0;
    default:
      return 0;
  }
}

// One send through a simulator.
struct Session {
  TempDir dir;
  std::unique_ptr<support::Simulator> sim;  // its port path comes on its first line
  TSioWin32Dispatcher port{nullptr};
  HWND window = 0;
  TFaxRec* fax = nullptr;
  Recorder rec;

  explicit Session(std::vector<std::string> simArgs) {
    simArgs.push_back("--output");
    simArgs.push_back(dir / "page");
    simArgs.push_back("--log");
    simArgs.push_back(dir / "commands.log");
    sim = std::make_unique<support::Simulator>("faxmodem-sim", simArgs);
    RegisterClass("swFaxHandlerTest", TestFaxWindow);
    window = CreateWindow("swFaxHandlerTest");
    EXPECT_EQ(0, port.InitPort(sim->Path().c_str(), 19200, 0, 8, 1, 8192, 8192, true, true));
    EXPECT_EQ(0, fInitC12SendFax(fax, "Korvidan 1", &port, window));
    rec.fax = fax;
    gRecorder = &rec;
  }
  ~Session() {
    if (fax != nullptr) fDoneC12SendFax(fax);
    port.DonePort();
    gRecorder = nullptr;
    DestroyWindow(window);
  }

  // Runs the session to its finish notice; false when it did not finish in time.
  bool Run(int timeoutMs = 30000) {
    EXPECT_EQ(0, afStartFax(fax, fPrepareFaxTransmit, fFaxTransmit));
    return PumpUntil([&] { return rec.finished; }, static_cast<DWORD>(timeoutMs));
  }

  std::string Commands() const { return ReadFile(dir / "commands.log"); }
  std::vector<std::uint8_t> Page(int n) const {
    return ReadBytes(dir / ("page-" + std::to_string(n) + ".g3"));
  }
  bool HasPage(int n) const { return fs::exists(dir / ("page-" + std::to_string(n) + ".g3")); }
};

// A fax file of text pages made by the converter with the standard built-in font.
std::string MakeFaxFile(const TempDir& dir, const std::string& text, bool fine = false) {
  const std::string in = dir.Write(fine ? "fine.txt" : "text.txt", text);
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextConverter(cvt));
  acOptionsOff(cvt, coYield);
  EXPECT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, fine));
  acSetResolutionMode(cvt, fine ? 1 : 0);
  const std::string out = dir / (fine ? "fine.fxf" : "text.fxf");
  EXPECT_EQ(0, acConvertToFile(cvt, in, out));
  fcDoneTextConverter(cvt);
  return out;
}

// The code lines of a text line as the sender renders it (built-in font).
std::vector<std::uint8_t> TextRows(const std::string& text, int fontHandle, bool fine) {
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextConverter(cvt));
  EXPECT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", fontHandle, fine));
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> raster(4096);
  for (int r = 1; r <= fcFontRows(cvt); ++r) {
    std::fill(raster.begin(), raster.end(), 0);
    fcRasterizeText(cvt, text, r, raster.data());
    acInitDataLine(cvt);
    acCompressRasterLine(cvt, raster.data());
    out.insert(out.end(), cvt->DataLine.get(), cvt->DataLine.get() + cvt->ByteOfs);
  }
  fcDoneTextConverter(cvt);
  return out;
}

// The code of page Page of a fax file, line records joined.
std::vector<std::uint8_t> FilePage(const std::string& file, unsigned page) {
  TFaxFileReader r;
  EXPECT_EQ(0, r.Open(file));
  EXPECT_EQ(0, r.SeekPage(page));
  std::vector<std::uint8_t> out;
  std::uint8_t buf[4096];
  int len = 0;
  while (r.ReadLineRecord(buf, len) == 0) out.insert(out.end(), buf, buf + len);
  return out;
}

// What a page carries on the line: eight white lead lines, the header line (when there is one),
// the page code.
std::vector<std::uint8_t> Expected(const std::string& header, bool fine,
                                   const std::vector<std::uint8_t>& body) {
  static const std::uint8_t white[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
  std::vector<std::uint8_t> out;
  for (int i = 0; i < 8; ++i) out.insert(out.end(), white, white + 6);
  if (!header.empty()) {
    auto rows = TextRows(header, ffSmallFontHandle, fine);
    out.insert(out.end(), rows.begin(), rows.end());
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

// T.4 code with fill normalised: every run of 11 or more zero bits before a one (an EOL
// with fill bits) becomes exactly 11; zero bits at the end are dropped. Bits LSB first.
std::string Normalised(const std::vector<std::uint8_t>& code) {
  std::string bits;
  int zeros = 0;
  for (std::uint8_t b : code)
    for (int i = 0; i < 8; ++i) {
      if ((b >> i) & 1) {
        bits.append(static_cast<std::size_t>(zeros >= 11 ? 11 : zeros), '0');
        bits += '1';
        zeros = 0;
      } else {
        ++zeros;
      }
    }
  return bits;
}

void ExpectSameCode(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want, int page) {
  const std::string g = Normalised(got), w = Normalised(want);
  ASSERT_FALSE(w.empty());
  if (g == w) return;
  std::size_t i = 0;
  while (i < g.size() && i < w.size() && g[i] == w[i]) ++i;
  ADD_FAILURE() << "page " << page << ": code differs at bit " << i << " of " << w.size() << " (got "
                << g.size() << ")";
}

int Count(const std::vector<int>& v, int x) { return static_cast<int>(std::count(v.begin(), v.end(), x)); }
int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + what.size())) ++n;
  return n;
}

// A fax file of two pages, the first normal, the second fine (two converted files joined).
std::string NormalThenFine(const TempDir& dir) {
  auto a = ReadBytes(MakeFaxFile(dir, "normal\r\n")), b = ReadBytes(MakeFaxFile(dir, "fein\r\n", true));
  a[32] = 2;
  a.insert(a.end(), b.begin() + 64, b.end());
  const std::string joined = dir / "joined.fxf";
  std::ofstream(joined, std::ios::binary)
      .write(reinterpret_cast<const char*>(a.data()), static_cast<std::streamsize>(a.size()));
  return joined;
}

class FaxSendClass : public ::testing::TestWithParam<ClassType> {
 protected:
  const char* SimClass() const { return GetParam() == ctClass2 ? "2" : "2.0"; }
};

}  // namespace

TEST_P(FaxSendClass, TextPagesReachTheRemoteWithLeadLinesAndHeader) {
  Session s({"--classes", SimClass(), "--scan", "4"});
  const std::string file =
      MakeFaxFile(s.dir, "Alarm im Becken 1\r\npH zu hoch: 8,4\fSeite zwei\r\n\x10\x10 DLE\r\n");
  s.rec.entries.push_back({"0815", file, ""});
  fSetClassType(s.fax, GetParam());
  fSetHeaderText(s.fax, "KORVIDAN $I SEITE $P VON $N $Q");
  afSetConnectAttempts(s.fax, 1, 0);
  ASSERT_TRUE(s.Run());

  ASSERT_EQ(s.rec.finishCode, 0);
  EXPECT_TRUE(s.rec.errors.empty());
  EXPECT_EQ(s.rec.logs, (std::vector<int>{lfaxTransmitStart, lfaxTransmitOk}));
  ASSERT_FALSE(s.rec.statusFlags.empty());
  EXPECT_EQ(s.rec.statusFlags.front(), 1u);
  EXPECT_EQ(s.rec.statusFlags.back(), 2u);
  EXPECT_GE(Count(s.rec.progress, fpPageOK), 1);
  EXPECT_EQ(afGetFaxProgress(s.fax), fpFinished);
  EXPECT_EQ(fGetRemoteID(s.fax), " REMOTE FAX");
  std::int32_t bps = 0;
  bool res = true, ecm = true;
  fGetSessionParams(s.fax, bps, res, ecm);
  EXPECT_EQ(bps, 14400);
  EXPECT_EQ(s.fax->CData->MinBytes, 36);  // 20 ms at 14400 bit/s

  ASSERT_TRUE(s.HasPage(1));
  ASSERT_TRUE(s.HasPage(2));
  EXPECT_FALSE(s.HasPage(3));
  ExpectSameCode(s.Page(1), Expected("KORVIDAN KORVIDAN 1 SEITE 1 VON 2 ", false, FilePage(file, 1)), 1);
  ExpectSameCode(s.Page(2), Expected("KORVIDAN KORVIDAN 1 SEITE 2 VON 2 ", false, FilePage(file, 2)), 2);

  const std::string cmds = s.Commands();
  EXPECT_NE(cmds.find("ATDT0815"), std::string::npos);
  if (GetParam() == ctClass2) {
    EXPECT_NE(cmds.find("AT+FCLASS=2\nAT+FLID=\"KORVIDAN 1\"\nAT+FDIS=0,3,0,2,0,0,0,0\n"), std::string::npos);
    EXPECT_NE(cmds.find("AT+FET=0\nAT+FDT\nAT+FET=2\n"), std::string::npos);
  } else {
    EXPECT_NE(
        cmds.find("AT+FCLASS=2.0\nAT+FLI=\"KORVIDAN 1\"\nAT+FLO=2\nAT+FNR=1,1,1,0\nAT+FIS=0,3,0,2,0,0,0,0\n"),
        std::string::npos);
    EXPECT_EQ(cmds.find("AT+FET"), std::string::npos);
  }
}

TEST_P(FaxSendClass, RemoteHangingUpMidPageIsAFailure) {
  Session s({"--classes", SimClass(), "--hangup-page", "1:300"});
  const std::string file = MakeFaxFile(s.dir, "Eine Seite\r\n");
  s.rec.entries.push_back({"0815", file, ""});
  fSetClassType(s.fax, GetParam());
  ASSERT_TRUE(s.Run());
  // Class 2 reports the hang-up where it waits for the page's OK; Class 2.0 answers the page
  // end with ERROR, and the page status query that follows ends the session.
  const int code = GetParam() == ctClass2 ? ecFaxBadModemResult : ecFaxSessionError;
  EXPECT_EQ(s.rec.finishCode, code);
  EXPECT_EQ(s.rec.errors, (std::vector<int>{code}));
  EXPECT_EQ(fGetHangupResult(s.fax), 50);
  EXPECT_EQ(Count(s.rec.logs, lfaxTransmitOk), 0);
  EXPECT_EQ(Count(s.rec.logs, lfaxTransmitFail), 1);
  EXPECT_NE(s.Commands().find("ATH0"), std::string::npos);
}

TEST_P(FaxSendClass, FailedTrainingIsReportedWithTheModemsHangupCode) {
  Session s({"--classes", SimClass(), "--fail-train"});
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  fSetClassType(s.fax, GetParam());
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, ecFaxBadModemResult);
  EXPECT_EQ(fGetHangupResult(s.fax), 27);
  EXPECT_FALSE(s.HasPage(1));
}

INSTANTIATE_TEST_SUITE_P(Classes, FaxSendClass, ::testing::Values(ctClass2, ctClass2_0),
                         [](const auto& info) { return info.param == ctClass2 ? "Class2" : "Class2_0"; });

TEST(FaxSend, Class1PagesGoOutAfterFramesAndTraining) {
  Session s({"--classes", "1", "--scan", "4"});
  const std::string file = MakeFaxFile(s.dir, "Klasse eins\fzweite Seite\r\n");
  s.rec.entries.push_back({"0815", file, ""});
  fSetHeaderText(s.fax, "$I $P");
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, 0);
  EXPECT_EQ(s.fax->PData->ClassInUse, ctClass1);
  EXPECT_EQ(s.rec.logs, (std::vector<int>{lfaxTransmitStart, lfaxTransmitOk}));
  EXPECT_EQ(fGetRemoteID(s.fax), "REMOTE FAX          ");
  EXPECT_EQ(s.fax->CData->SessionBPS, 9600);
  EXPECT_EQ(s.fax->CData->MinBytes, 24);  // 20 ms at 9600 bit/s
  ExpectSameCode(s.Page(1), Expected("KORVIDAN 1 1", false, FilePage(file, 1)), 1);
  ExpectSameCode(s.Page(2), Expected("KORVIDAN 1 2", false, FilePage(file, 2)), 2);
  EXPECT_FALSE(s.HasPage(3));
  const std::string cmds = s.Commands();
  EXPECT_NE(cmds.find("AT+FTM=?"), std::string::npos);
  EXPECT_NE(cmds.find("ATDT0815\nAT+FRH=3\nAT+FTH=3\nAT+FTM=96\nAT+FRH=3\nAT+FTM=96\n"), std::string::npos)
      << cmds;
  EXPECT_NE(cmds.find("AT+FTH=3\nAT+FRH=3\nAT+FTM=96\n"), std::string::npos);
  EXPECT_NE(cmds.find("AT+FTH=3\nATH\n"), std::string::npos);
}

TEST(FaxSend, Class1TrainingThatNeverSucceedsEndsWithTrainError) {
  Session s({"--classes", "1", "--fail-train"});
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, ecFaxTrainError);
  EXPECT_EQ(s.fax->CData->RateIndex, 1);  // fell back down to 2400 bit/s first
  const std::string cmds = s.Commands();
  EXPECT_NE(cmds.find("AT+FTM=24"), std::string::npos);
  EXPECT_FALSE(s.HasPage(1));
}

// The cover's lines have their macros expanded; a line of a megabyte of macros costs no
// more than its first 255 characters can show.
TEST(FaxSend, DetectsTheClassAndSendsATextCoverBeforeThePages) {
  Session s({"--classes", "1,2"});
  const std::string file = MakeFaxFile(s.dir, "Seite eins\r\n");
  std::string longLine = "$R ";
  for (int i = 0; i < 500000; ++i) longLine += "$ ";
  const std::string cover = s.dir.Write("Fax.txt", "An $R\r\nvon $F\r\n" + longLine + "\r\n");
  s.rec.entries.push_back({"4711", file, cover});
  afSetRecipientName(s.fax, "Zoohandlung");
  afSetSenderName(s.fax, "Aquarium");
  fSetHeaderText(s.fax, "S.$P $N");
  const double cpu0 = support::ProcessCpuSeconds();
  ASSERT_TRUE(s.Run());
  const double cpu = support::ProcessCpuSeconds() - cpu0;
  EXPECT_EQ(s.rec.finishCode, 0);
  EXPECT_EQ(s.fax->PData->ClassInUse, ctClass2);
  RecordProperty("cpu_seconds", std::to_string(cpu));
  if (!support::SanitizerBuild()) {
    EXPECT_LT(cpu, 2.0);
  }

  std::vector<std::uint8_t> coverBody = TextRows("An Zoohandlung", ffStandardFontHandle, false);
  for (const std::string line : {"von Aquarium", "Zoohandlung"}) {
    const auto rows = TextRows(line, ffStandardFontHandle, false);
    coverBody.insert(coverBody.end(), rows.begin(), rows.end());
  }
  const std::uint8_t eop[12] = {0x00, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
  coverBody.insert(coverBody.end(), eop, eop + 12);
  ExpectSameCode(s.Page(1), Expected("S.1 2", false, coverBody), 1);
  ExpectSameCode(s.Page(2), Expected("S.2 2", false, FilePage(file, 1)), 2);
  EXPECT_FALSE(s.HasPage(3));
  EXPECT_NE(s.Commands().find("AT+FCLASS=?"), std::string::npos);
}

TEST(FaxSend, NamedFontsDrawHeaderAndCover) {
  Session s({"--classes", "2.0"});
  const std::string file = MakeFaxFile(s.dir, "Seite\r\n");
  const std::string cover = s.dir.Write("Fax.txt", "Alarm: pH zu hoch\r\n");
  s.rec.entries.push_back({"1", file, cover});
  fSetEnhTextEnabled(s.fax, true);
  fSetEnhSmallFont(s.fax, TFaxTextFont{"MS Sans Serif", -11});
  fSetEnhStandardFont(s.fax, TFaxTextFont{"Times New Roman", -19});
  fSetHeaderText(s.fax, "Korvidan $P");
  ASSERT_TRUE(s.Run());
  ASSERT_EQ(s.rec.finishCode, 0);

  // The cover page decodes; its lead lines are white, the header and the cover text are not.
  const auto rows = G3Decode(s.Page(1), 1728);
  ASSERT_GT(rows.size(), 8u + 11u + 19u);
  auto black = [](const PixelRow& r) { return std::count(r.begin(), r.end(), true); };
  for (std::size_t y = 0; y < 8; ++y) EXPECT_EQ(black(rows[y]), 0) << y;
  long ink = 0;
  for (std::size_t y = 8; y < rows.size(); ++y) ink += black(rows[y]);
  EXPECT_GT(ink, 200);
  EXPECT_EQ(G3Decode(s.Page(2), 1728).size() > 8u, true);
}

TEST(FaxSend, ResolutionChangeBetweenPagesIsAnnounced) {
  for (ClassType ct : {ctClass1, ctClass2, ctClass2_0}) {
    Session s({"--classes", ct == ctClass1 ? "1" : ct == ctClass2 ? "2" : "2.0"});
    const std::string joined = NormalThenFine(s.dir);
    s.rec.entries.push_back({"1", joined, ""});
    fSetClassType(s.fax, ct);
    ASSERT_TRUE(s.Run());
    EXPECT_EQ(s.rec.finishCode, 0);
    const std::string cmds = s.Commands();
    if (ct == ctClass1)  // EOM, MCF, the remote's DIS, TSI and DCS, training, CFR, the page
      EXPECT_NE(cmds.find("AT+FTH=3\nAT+FRH=3\nAT+FRH=3\nAT+FTH=3\nAT+FTM=96\nAT+FRH=3\nAT+FTM=96\n"),
                std::string::npos)
          << cmds;
    else if (ct == ctClass2)
      EXPECT_NE(cmds.find("AT+FET=1\nAT+FDIS=1\nAT+FDT\nAT+FET=2\n"), std::string::npos) << cmds;
    else
      EXPECT_NE(cmds.find("AT+FIS=1\nAT+FDT\n"), std::string::npos) << cmds;
    ExpectSameCode(s.Page(2), Expected("", false, FilePage(joined, 2)), 2);
  }
}

// Class 1: the remote's DIS (after the dial or after EOM) or its answer to the training comes
// late; meanwhile the modem stops listening (NO CARRIER), hears what it cannot take (ERROR), or
// takes a frame whose check fails (ERROR after it; its bytes would read as DCN). The sender
// listens again, and every page goes out.
struct LateFrame {
  const char* when;  // as the simulator's --late takes it
  const char* reply;
  int late;  // frames that come late: the DIS once, the answer to each of the two trainings
  const char* name;
};
void PrintTo(const LateFrame& f, std::ostream* os) { *os << f.name; }
class FaxSendLateFrame : public ::testing::TestWithParam<LateFrame> {};

TEST_P(FaxSendLateFrame, SenderListensAgainAndSendsEveryPage) {
  Session s({"--classes", "1", "--late", std::string(GetParam().when) + ":" + GetParam().reply});
  const std::string file = NormalThenFine(s.dir);
  s.rec.entries.push_back({"0815", file, ""});
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, 0);
  EXPECT_TRUE(s.rec.errors.empty());
  EXPECT_EQ(s.rec.logs, (std::vector<int>{lfaxTransmitStart, lfaxTransmitOk}));
  ExpectSameCode(s.Page(1), Expected("", false, FilePage(file, 1)), 1);
  ExpectSameCode(s.Page(2), Expected("", false, FilePage(file, 2)), 2);
  EXPECT_FALSE(s.HasPage(3));
  // Six frames come (DIS, CFR, MCF, DIS, CFR, MCF), the late ones at the second listen.
  EXPECT_EQ(Count(s.Commands(), "AT+FRH=3\n"), 6 + GetParam().late) << s.Commands();
}

INSTANTIATE_TEST_SUITE_P(Class1, FaxSendLateFrame,
                         ::testing::Values(LateFrame{"dial", "NO CARRIER", 1, "NoCarrierBeforeTheFirstDIS"},
                                           LateFrame{"dial", "ERROR", 1, "ErrorBeforeTheFirstDIS"},
                                           LateFrame{"eom", "NO CARRIER", 1, "NoCarrierBeforeTheDISAfterEOM"},
                                           LateFrame{"eom", "ERROR", 1, "ErrorBeforeTheDISAfterEOM"},
                                           LateFrame{"eom", "CORRUPT", 1, "BadFrameBeforeTheDISAfterEOM"},
                                           LateFrame{"cfr", "NO CARRIER", 2, "NoCarrierBeforeTheCFR"},
                                           LateFrame{"cfr", "ERROR", 2, "ErrorBeforeTheCFR"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Class 1: a DIS that never comes ends the call when T1 has run out: as no answer while no page
// has gone, as a time-out after the pages the remote has confirmed.
TEST(FaxSend, Class1DISThatNeverComesEndsTheCallAtT1) {
  for (bool afterEOM : {false, true}) {
    SCOPED_TRACE(afterEOM ? "after EOM" : "after the dial");
    Session s({"--classes", "1", "--late", std::string(afterEOM ? "eom" : "dial") + ":ERROR:1000"});
    s.rec.entries.push_back({"0815", NormalThenFine(s.dir), ""});
    s.fax->CData->DISWait = 36;  // two seconds
    ASSERT_TRUE(s.Run());
    const int code = afterEOM ? ecTimeout : ecFaxNoAnswer;
    EXPECT_EQ(s.rec.finishCode, code);
    EXPECT_EQ(s.rec.errors, (std::vector<int>{code}));
    EXPECT_EQ(s.rec.logs, (std::vector<int>{lfaxTransmitStart, lfaxTransmitFail}));
    EXPECT_EQ(Count(s.rec.progress, fpPageOK) > 0, afterEOM);
    EXPECT_EQ(s.HasPage(1), afterEOM);
    EXPECT_FALSE(s.HasPage(2));
    // The DIS was listened for more than once.
    EXPECT_GE(Count(s.Commands(), "AT+FRH=3\n"), afterEOM ? 5 : 2) << s.Commands();
  }
}

TEST(FaxSend, RejectedPageIsSentAgainUntilTheRetriesRunOut) {
  {
    Session s({"--classes", "2", "--bad-pages", "1"});
    const std::string file = MakeFaxFile(s.dir, "eins\fzwei\r\n");
    s.rec.entries.push_back({"1", file, ""});
    fSetClassType(s.fax, ctClass2);
    ASSERT_TRUE(s.Run());
    EXPECT_EQ(s.rec.finishCode, 0);
    EXPECT_GE(Count(s.rec.progress, fpPageError), 1);
    // The remote got page 1, page 1 again, then page 2.
    for (auto [got, page] : {std::pair{1, 1u}, std::pair{2, 1u}, std::pair{3, 2u}})
      ExpectSameCode(s.Page(got), Expected("", false, FilePage(file, page)), got);
    EXPECT_FALSE(s.HasPage(4));
  }
  {
    Session s({"--classes", "2", "--bad-pages", "9"});
    s.rec.entries.push_back({"1", MakeFaxFile(s.dir, "eins\r\n"), ""});
    fSetClassType(s.fax, ctClass2);
    ASSERT_TRUE(s.Run());
    EXPECT_EQ(s.rec.finishCode, ecFaxSessionError);
    EXPECT_EQ(s.fax->RetryCount, 3);
    EXPECT_TRUE(s.HasPage(3));
    EXPECT_FALSE(s.HasPage(4));
    EXPECT_NE(s.Commands().find("AT+FKS"), std::string::npos);
  }
}

TEST(FaxSend, DialFailuresEndWithTheirCodes) {
  struct Case {
    const char* option;
    int code;
  };
  for (Case c : {Case{"--busy", ecFaxBusy}, Case{"--no-dialtone", ecFaxNoDialTone},
                 Case{"--voice", ecFaxVoiceCall}, Case{"--no-answer", ecFaxNoAnswer}}) {
    SCOPED_TRACE(c.option);
    Session s({"--classes", "2", c.option});
    s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
    fSetClassType(s.fax, ctClass2);
    fSetDialTime(s.fax, 36);  // two seconds for the remote that never answers
    ASSERT_TRUE(s.Run());
    EXPECT_EQ(s.rec.finishCode, c.code);
    EXPECT_EQ(s.rec.errors, (std::vector<int>{c.code}));
    EXPECT_EQ(Count(s.rec.logs, lfaxTransmitOk), 0);
    EXPECT_EQ(Count(s.rec.logs, lfaxTransmitFail), 1);
    EXPECT_FALSE(s.HasPage(1));
  }
}

TEST(FaxSend, BusyRedialsUntilTheAttemptsAreUsedUp) {
  Session s({"--classes", "2", "--busy"});
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  fSetClassType(s.fax, ctClass2);
  afSetConnectAttempts(s.fax, 3, 2);
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, ecFaxBusy);
  EXPECT_EQ(s.fax->PData->ConnectCount, 3);
  EXPECT_GE(Count(s.rec.progress, fpBusyWait), 2);
  const std::string cmds = s.Commands();
  EXPECT_EQ(Count(cmds, "ATDT"), 3);
}

TEST(FaxSend, DispatchLogHoldsEveryPassAndTheFinish) {
  struct Log : TSioDispatchRecorder {
    std::mutex m;
    std::vector<std::pair<int, std::string>> fax;  // sub-type, text
    void TraceEntry(char, std::uint8_t) override {}
    void DispatchEntry(TDispatchType type, TDispatchSubType sub, std::uint32_t, const void* bytes,
                       std::uint32_t count) override {
      if (type != dtFax) return;
      std::lock_guard<std::mutex> g(m);
      fax.emplace_back(
          sub, sub == dstStatus ? std::string(static_cast<const char*>(bytes), count) : std::string());
    }
  } log;
  Session s({"--classes", "2", "--busy"});
  s.port.SetRecorder(&log);
  s.port.SetDispatchLogging(true);
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  fSetClassType(s.fax, ctClass2);
  ASSERT_TRUE(s.Run());
  s.port.SetDispatchLogging(false);
  s.port.SetRecorder(nullptr);
  std::lock_guard<std::mutex> g(log.m);
  auto seen = [&](int sub) {
    return std::any_of(log.fax.begin(), log.fax.end(), [&](const auto& e) { return e.first == sub; });
  };
  EXPECT_TRUE(seen(FaxSendSubTypeBase + tfGetEntry));
  EXPECT_TRUE(seen(FaxSendSubTypeBase + tfDial));
  EXPECT_TRUE(seen(FaxSendSubTypeBase + tf2Connect));
  ASSERT_FALSE(log.fax.empty());
  EXPECT_EQ(log.fax.back(), (std::pair<int, std::string>{dstStatus, "ErrorCode:-8064"}));
}

TEST(FaxSend, SilentModemFailsThePreparation) {
  Session s({"--mute"});
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  s.fax->CData->ReplyWait = 9;  // half a second a command
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.finishCode, ecFaxBadModemResult);
  EXPECT_EQ(s.rec.errors, (std::vector<int>{ecFaxBadModemResult}));
  EXPECT_TRUE(s.rec.logs.empty());
  EXPECT_EQ(s.Commands().find("ATD"), std::string::npos);
}

// Not a fax file, a header that counts more pages than follow, a file cut inside its second
// page, no file at all: each entry fails before its number is dialled.
TEST(FaxSend, BadEntriesAreRefusedBeforeDialling) {
  Session s({"--classes", "2"});
  const std::string notFax =
      s.dir.Write("kein.fxf", "FXF10 this is no fax file at all, not even close to one.....");
  std::vector<std::uint8_t> two = ReadBytes(MakeFaxFile(s.dir, "Seite eins\fSeite zwei\r\n"));
  ASSERT_EQ(two[32], 2);
  std::vector<std::uint8_t> more = two;
  more[32] = 3;
  const std::string promisesMore = s.dir.Write("mehr.fxf", more);
  const std::string cut = s.dir.Write("kurz.fxf", std::vector<std::uint8_t>(two.begin(), two.end() - 40));
  s.rec.entries.push_back({"1", notFax, ""});
  s.rec.entries.push_back({"2", promisesMore, ""});
  s.rec.entries.push_back({"3", cut, ""});
  s.rec.entries.push_back({"4", "", ""});
  fSetClassType(s.fax, ctClass2);
  ASSERT_TRUE(s.Run());
  EXPECT_EQ(s.rec.errors, (std::vector<int>{ecFaxBadFormat, ecFaxBadFormat, ecFaxBadFormat, ecNoFilename}));
  EXPECT_EQ(s.rec.finishCode, ecNoFilename);
  EXPECT_EQ(Count(s.rec.logs, lfaxTransmitFail), 4);
  EXPECT_EQ(s.Commands().find("ATD"), std::string::npos);
  EXPECT_FALSE(s.HasPage(1));
}

TEST(FaxSend, PortVanishingMidPageEndsInAFailure) {
  Session s({"--classes", "2", "--stall-page", "1:2000"});
  std::string text;
  for (int i = 0; i < 60; ++i)
    text += "Zeile " + std::to_string(i) + " mit etwas Text, damit die Seite lang wird\r\n";
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, text), ""});
  fSetClassType(s.fax, ctClass2);
  s.fax->CData->DataWait = 36;  // two seconds without progress end the page
  ASSERT_EQ(0, afStartFax(s.fax, fPrepareFaxTransmit, fFaxTransmit));
  ASSERT_TRUE(PumpUntil(
      [&] {
        std::lock_guard<std::recursive_mutex> g(s.fax->Lock);
        return s.fax->State == tfSendPage || s.rec.finished;
      },
      10000));
  s.sim->Kill();
  ASSERT_TRUE(PumpUntil([&] { return s.rec.finished; }, 15000));
  EXPECT_LT(s.rec.finishCode, 0);
  EXPECT_EQ(s.rec.errors.size(), 1u);
  EXPECT_EQ(Count(s.rec.logs, lfaxTransmitOk), 0);
  EXPECT_EQ(Count(s.rec.logs, lfaxTransmitFail), 1);
}

TEST(FaxSend, CancelEndsTheSessionAsUserAbort) {
  Session s({"--classes", "2", "--no-answer"});
  s.rec.entries.push_back({"0815", MakeFaxFile(s.dir, "x\r\n"), ""});
  fSetClassType(s.fax, ctClass2);
  ASSERT_EQ(0, afStartFax(s.fax, fPrepareFaxTransmit, fFaxTransmit));
  ASSERT_TRUE(PumpUntil(
      [&] {
        std::lock_guard<std::recursive_mutex> g(s.fax->Lock);
        return s.fax->State == tf2Connect || s.rec.finished;
      },
      10000));
  fFaxTransmit(apw_FaxCancel, 0, static_cast<LPARAM>(s.port.Handle()) * 65536);
  ASSERT_TRUE(PumpUntil([&] { return s.rec.finished; }, 10000));
  EXPECT_EQ(s.rec.finishCode, ecCancelRequested);
  EXPECT_EQ(afGetFaxProgress(s.fax), fpCancel);
}

TEST(FaxFramework, HeaderMacrosAndStatusTexts) {
  TFaxRec* fax = nullptr;
  ASSERT_EQ(0, fInitC12SendFax(fax, "123456789012345678901234", nullptr, 0));
  EXPECT_EQ(fax->PData->StationID, "12345678901234567890");
  afSetSenderName(fax, "Ich");
  afSetRecipientName(fax, "Du");
  afSetTitle(fax, "Alarm");
  fax->PData->PageCount = 3;
  fax->PData->CurrentPage = 1;
  // A macro runs to the next blank: "$P/$N" is one macro.
  EXPECT_EQ(afConvertHeaderString(fax, "$F an $r: $S $P $N $P/$N $X$Y ende $ x"),
            "Ich an Du Alarm 1 3 1  ende  x");
  fax->PData->CoverCount = 1;
  fax->PData->SendingCover = true;
  EXPECT_EQ(afConvertHeaderString(fax, "$P $N"), "1 4");
  fax->PData->SendingCover = false;
  EXPECT_EQ(afConvertHeaderString(fax, "$p $n"), "2 4");
  afSetSenderName(fax, "$P");
  EXPECT_EQ(afConvertHeaderString(fax, "$F"), "$P");
  EXPECT_EQ(afConvertHeaderString(fax, std::string(300, 'a')).size(), 255u);

  fSetModemInit(fax, "s7=60");
  EXPECT_EQ(fax->CData->ModemInit, "ATS7=60");
  fSetBlindDial(fax, true);
  fSetDetectBusy(fax, false);
  EXPECT_EQ(fax->CData->DefInit, "ATE0Q0V1X1S0=0S2=43");
  fSetDetectBusy(fax, true);
  EXPECT_EQ(fax->CData->DefInit, "ATE0Q0V1X3S0=0S2=43");

  afOptionsOn(fax, afAbortNoConnect | afSoftwareFlow);
  EXPECT_TRUE(afOptionsAreOn(fax, afAbortNoConnect));
  EXPECT_FALSE(afOptionsAreOn(fax, afAbortNoConnect | afExitOnError));
  fDoneC12SendFax(fax);

  EXPECT_EQ(afStatusMsg(4801), "Initializing modem for fax processing");
  EXPECT_EQ(afStatusMsg(4843), "Finished");
  EXPECT_EQ(afStatusMsg(4800), "");
  EXPECT_EQ(afStatusMsg(4844), "");

  TempDir dir;
  ASSERT_EQ(0, fInitC12SendFax(fax, "", nullptr, 0));
  afSetDestinationDir(fax, dir.path().string());
  const std::string first = afFaxNameCount(fax);
  EXPECT_EQ(first, dir / "FAX0001.FXF");
  dir.Write("FAX0001.FXF", "x");
  EXPECT_EQ(afFaxNameCount(fax), dir / "FAX0002.FXF");
  const std::string md = JustFilename(afFaxNameMD(fax));
  EXPECT_EQ(md.size(), 12u);
  EXPECT_EQ(md.substr(4), "0001.FXF");
  fDoneC12SendFax(fax);

  EXPECT_EQ(fMinBytes(5, false, 9600), 24);
  EXPECT_EQ(fMinBytes(2, true, 14400), 9);
  EXPECT_EQ(fRateCode(9600), '3');
  EXPECT_EQ(fRateCode(12000), '4');
}
