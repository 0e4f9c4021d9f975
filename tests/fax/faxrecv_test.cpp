// Receiving faxes through the fax modem simulator (tools/faxmodem-sim): its remote calls
// in Class 2 and 2.0, and two simulators carry a fax from our sender to our receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "FaxPeerUtil.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"
#include "tests/support/ScriptedModem.h"

using namespace peertest;
namespace fs = std::filesystem;

namespace {

constexpr int kSendCom = 43;
constexpr int kReceiveCom = 44;

// The code of page Page of a fax file: line records joined, or the raw stream.
std::vector<std::uint8_t> PageCode(const std::string& file, unsigned page) {
  TFaxFileReader r;
  EXPECT_EQ(0, r.Open(file));
  EXPECT_EQ(0, r.SeekPage(page));
  std::vector<std::uint8_t> out;
  std::uint8_t buf[4096];
  int len = 0;
  if (r.PageHeader().PageFlags & pfLineLengths) {
    while (r.ReadLineRecord(buf, len) == 0) out.insert(out.end(), buf, buf + len);
  } else {
    while (r.ReadPageData(buf, sizeof buf, len) == 0 && len > 0) out.insert(out.end(), buf, buf + len);
  }
  return out;
}

// Writes the code of a fax file's page as a page file for the simulator's remote.
std::string PageFile(const support::TempDir& dir, const std::string& name, const std::string& fax,
                     unsigned page) {
  const std::vector<std::uint8_t> code = PageCode(fax, page);
  return dir.Write(name, std::string(code.begin(), code.end()));
}

class FaxReceiveClass : public ::testing::TestWithParam<TFaxClass> {
 protected:
  std::string SimClass() const { return GetParam() == fcClass2 ? "2" : "2.0"; }
  support::TempDir dir{"faxrecv"};

  // A receiver on a simulator whose remote calls with the given options.
  std::unique_ptr<FaxStation> Receiver(Peer& sim) {
    auto st = std::make_unique<FaxStation>(sim.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
    st->Receiver()->SetFaxClass(GetParam());
    st->Receiver()->SetDestinationDir(dir.str());
    st->Receiver()->SetStationID("KORVIDAN RX");
    return st;
  }
};

}  // namespace

// Our sender on one simulator, our receiver on the other: every page the receiver files is
// byte for byte what the sender put on its line, once DLE doubling and bit order are undone.
TEST_P(FaxReceiveClass, BackToBackThePagesArriveUnchanged) {
  const std::string sock = dir / "link";
  Peer sendSim("faxmodem-sim", {"--classes", SimClass(), "--link-listen", sock, "--output", dir / "line"});
  Peer receiveSim("faxmodem-sim", {"--classes", SimClass(), "--link-connect", sock, "--ring-interval", "200",
                                   "--log", dir / "rx.log"});
  ASSERT_FALSE(sendSim.Path().empty());
  ASSERT_FALSE(receiveSim.Path().empty());
  auto rx = Receiver(receiveSim);
  rx->Receiver()->SetOneFax(true);
  rx->Receiver()->SetAnswerOnRing(2);
  rx->Receiver()->StartReceive();

  FaxStation tx(sendSim.Path(), kSendCom, false, dir / "SIOFAX.HIS");
  const std::string text = TextFaxFile(dir, "text", "Alarm im Becken 1\r\n\x10\x10 DLE\r\n", false);
  const std::string noise = NoiseFaxFile(dir, "noise", 30, 5);
  tx.Sender()->SetFaxFileList({text, noise});
  tx.Sender()->SetPhoneNumber("4711");
  tx.Sender()->SetStationID("Korvidan TX");
  tx.Sender()->SetFaxClass(GetParam());
  tx.Sender()->SetHeaderLine("KORVIDAN $P/$N");
  tx.Sender()->StartTransmit();

  ASSERT_TRUE(PumpUntil([&] { return tx.finished && rx->finished; }, 60000))
      << support::ReadFile(dir / "rx.log");
  EXPECT_EQ(tx.finishCode, 0);
  EXPECT_EQ(rx->finishCode, 0);
  EXPECT_TRUE(rx->errors.empty());
  EXPECT_EQ(Trim(rx->fax->GetRemoteID()), "KORVIDAN TX");
  EXPECT_EQ(Trim(tx.fax->GetRemoteID()), "KORVIDAN RX");

  const std::string file = dir / "FAX0001.FXF";
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(file, h));
  EXPECT_EQ(h.PageCount, 2);
  EXPECT_EQ(Trim(h.GetStationID()), "KORVIDAN TX");
  for (unsigned page = 1; page <= 2; ++page) {
    const std::string line = support::ReadFile(dir / ("line-" + std::to_string(page) + ".g3"));
    ASSERT_FALSE(line.empty()) << "page " << page;
    const std::vector<std::uint8_t> got = PageCode(file, page);
    EXPECT_TRUE(std::vector<std::uint8_t>(line.begin(), line.end()) == got) << "page " << page;
  }
  // And the pages still show what was sent, below the lead and header lines.
  const Picture rows = faxtest::DecodeFax(file, 1728);
  const Picture sentText = faxtest::DecodeFax(text, 1728);
  const int lead = 8 + HeaderRows(false);
  ASSERT_GE(rows.size(), sentText.size() + static_cast<std::size_t>(lead));
  EXPECT_TRUE(std::equal(sentText.begin(), sentText.end(), rows.begin() + lead));
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive " + file + " from  KORVIDAN TX started at "), std::string::npos) << history;
  EXPECT_NE(history.find("Receive finished OK at "), std::string::npos);
}

// +FET:3, 4 and 5 are MPS, EOM and EOP with an interrupt asked for: the page after +FET:3
// goes into the same file with a page header of its own.
TEST_P(FaxReceiveClass, PageStatusWithInterruptRequestKeepsTheFileWhole) {
  const std::string fax = TextFaxFile(dir, "two", "Seite eins\fSeite zwei\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1), p2 = PageFile(dir, "p2.g3", fax, 2);
  Peer sim("faxmodem-sim",
           {"--classes", SimClass(), "--call", p1 + "," + p2, "--fet", "3,5", "--ring-interval", "200"});
  auto rx = Receiver(sim);
  rx->Receiver()->SetOneFax(true);
  rx->Receiver()->StartReceive();
  ASSERT_TRUE(rx->WaitFinish(30000));
  EXPECT_EQ(rx->finishCode, 0);
  const std::string file = dir / "FAX0001.FXF";
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(file, h));
  ASSERT_EQ(h.PageCount, 2);
  EXPECT_EQ(fs::file_size(file), 64 + 2 * 16 + fs::file_size(p1) + fs::file_size(p2));
  const std::string c1 = support::ReadFile(p1), c2 = support::ReadFile(p2);
  EXPECT_TRUE(PageCode(file, 1) == std::vector<std::uint8_t>(c1.begin(), c1.end()));
  EXPECT_TRUE(PageCode(file, 2) == std::vector<std::uint8_t>(c2.begin(), c2.end()));
}

// A remote without an identification is asked about all the same, before anything is
// filed: a refused call leaves no file and the engine waits for the next call.
TEST_P(FaxReceiveClass, CallWithoutIdIsAskedAboutBeforeTheFirstPage) {
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  Peer sim("faxmodem-sim",
           {"--classes", SimClass(), "--call", p1, "--no-tsi", "--calls", "2", "--ring-interval", "200"});
  auto rx = Receiver(sim);
  int asked = 0;
  rx->Receiver()->SetOnFaxAccept([&](TSioCustomAbstractFax*, bool& accept) {
    ++asked;
    accept = asked > 1;  // the first call is refused
    EXPECT_FALSE(fs::exists(dir / "FAX0001.FXF"));
  });
  rx->Receiver()->StartReceive();
  ASSERT_TRUE(
      PumpUntil([&] { return std::count(rx->logs.begin(), rx->logs.end(), lfaxReceiveOk) == 1; }, 40000));
  rx->fax->CancelFax();
  ASSERT_TRUE(rx->WaitFinish(20000));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(std::count(rx->logs.begin(), rx->logs.end(), lfaxReceiveSkip), 1);
  EXPECT_NE(std::find(rx->errors.begin(), rx->errors.end(), ecFileRejected), rx->errors.end());
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "FAX0001.FXF", h));
  EXPECT_EQ(h.PageCount, 1);
  EXPECT_FALSE(fs::exists(dir / "FAX0002.FXF"));
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive skipped at "), std::string::npos) << history;
}

// The remote hangs up where it announced another page: the file keeps the pages it got,
// and its page count says so.
TEST_P(FaxReceiveClass, RemoteHangingUpBetweenPagesLeavesAReadableFile) {
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  Peer sim("faxmodem-sim", {"--classes", SimClass(), "--call", p1, "--fet", "0", "--ring-interval", "200"});
  auto rx = Receiver(sim);
  rx->Receiver()->SetExitOnError(true);
  rx->Receiver()->StartReceive();
  ASSERT_TRUE(rx->WaitFinish(30000));
  EXPECT_EQ(rx->finishCode, ecFaxSessionError);
  EXPECT_EQ(rx->fax->GetHangupCode(), 50);
  const std::string file = dir / "FAX0001.FXF";
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(file, h));
  EXPECT_EQ(h.PageCount, 1);
  EXPECT_EQ(fs::file_size(file), 64 + 16 + fs::file_size(p1));
  const Picture rows = faxtest::DecodeFax(file, 1728);
  EXPECT_EQ(rows.size(), faxtest::DecodeFax(fax, 1728).size());
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive failed at "), std::string::npos) << history;
}

// A form may free the receive component from inside its own events: from the finish of the
// one fax it takes, and from the log of a fax starting to come in, which the engine waits to
// have handled while it holds its call. Nothing hangs and nothing runs on freed memory (the
// sanitizer builds check it); a fax that finished before the component went is filed whole.
TEST_P(FaxReceiveClass, FreedFromItsOwnEvents) {
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  for (bool inFinish : {true, false}) {
    SCOPED_TRACE(inFinish ? "finish" : "log");
    fs::remove(dir / "FAX0001.FXF");
    Peer sim("faxmodem-sim", {"--classes", SimClass(), "--call", p1, "--ring-interval", "200"});
    auto rx = Receiver(sim);
    rx->Receiver()->SetOneFax(true);
    bool gone = false;
    auto kill = [&](TSioCustomAbstractFax* cp) {
      if (gone) return;
      gone = true;
      delete cp;
      rx->fax = nullptr;
    };
    if (inFinish)
      rx->fax->SetOnFaxFinish([&](TSioCustomAbstractFax* cp, int) { kill(cp); });
    else
      rx->fax->SetOnFaxLog([&](TSioCustomAbstractFax* cp, TLogFaxCode code) {
        if (code == lfaxReceiveStart) kill(cp);
      });
    rx->Receiver()->StartReceive();
    ASSERT_TRUE(PumpUntil([&] { return gone; }, 30000));
    if (inFinish) {
      TFaxHeaderRec h;
      ASSERT_EQ(0, fxfReadFaxHeader(dir / "FAX0001.FXF", h));
      EXPECT_EQ(h.PageCount, 1);
      const std::string c1 = support::ReadFile(p1);
      EXPECT_TRUE(PageCode(dir / "FAX0001.FXF", 1) == std::vector<std::uint8_t>(c1.begin(), c1.end()));
    }
  }
}

// The window thread is busy from the moment the modem is told to answer until 3.5 s after the
// caller's identification has come: the accept of the call, the name of its file and the
// history's start line wait for it (its silence is not a refusal), and the fax is filed.
TEST_P(FaxReceiveClass, BusyWindowThreadStillAnswersTheCall) {
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  const std::string modemLog = dir / "modem.log";
  Peer sim("faxmodem-sim",
           {"--classes", SimClass(), "--call", p1, "--ring-interval", "200", "--log", modemLog});
  auto rx = Receiver(sim);
  rx->Receiver()->SetOneFax(true);
  rx->Receiver()->StartReceive();
  ASSERT_TRUE(PumpUntil([&] { return support::ReadFile(modemLog).find("ATA") != std::string::npos; }, 30000));
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (Trim(rx->fax->GetRemoteID()).empty() && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(Trim(rx->fax->GetRemoteID()), "REMOTE FAX");
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(PumpUntil([&] { return rx->finished || !rx->errors.empty(); }, 30000));
  ASSERT_TRUE(rx->errors.empty()) << rx->errors[0];
  ASSERT_TRUE(rx->WaitFinish(30000));
  EXPECT_EQ(rx->finishCode, 0);
  EXPECT_EQ(rx->logs, (std::vector<int>{lfaxReceiveStart, lfaxReceiveOk}));
  const std::string file = dir / "FAX0001.FXF";
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(file, h));
  EXPECT_EQ(h.PageCount, 1);
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive " + file + " from "), std::string::npos) << history;
  EXPECT_NE(history.find("Receive finished OK at "), std::string::npos) << history;
}

INSTANTIATE_TEST_SUITE_P(Classes, FaxReceiveClass, ::testing::Values(fcClass2, fcClass2_0),
                         [](const auto& info) { return info.param == fcClass2 ? "Class2" : "Class2_0"; });

// When every counted name is taken the call is refused with an error, and no file that
// exists is written over.
TEST(FaxReceive, UsedUpNamesAreAnErrorAndOverwriteNothing) {
  support::TempDir dir("faxnames");
  for (int n = 1; n <= 9999; ++n) {
    char name[16];
    std::snprintf(name, sizeof name, "FAX%04d.FXF", n);
    support::WriteFile(dir.path() / name, "");
  }
  dir.Write("NONAME.FXF", "keep");
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  Peer sim("faxmodem-sim", {"--classes", "2", "--call", p1, "--ring-interval", "200"});
  FaxStation rx(sim.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
  rx.Receiver()->SetFaxClass(fcClass2);
  rx.Receiver()->SetDestinationDir(dir.str());
  rx.Receiver()->SetExitOnError(true);
  rx.Receiver()->StartReceive();
  ASSERT_TRUE(rx.WaitFinish(30000));
  EXPECT_EQ(rx.finishCode, ecNoMoreFiles);
  EXPECT_EQ(dir.Read("NONAME.FXF"), "keep");
  EXPECT_EQ(fs::file_size(dir / "FAX0001.FXF"), 0u);
}

// Names are handed out once each: two receivers asking at once get two names.
TEST(FaxReceive, CountedNamesAreTakenOnceEach) {
  support::TempDir dir("faxnames");
  TFaxRec* a = nullptr;
  TFaxRec* b = nullptr;
  ASSERT_EQ(0, fInitC12ReceiveFax(a, "", nullptr, 0));
  ASSERT_EQ(0, fInitC12ReceiveFax(b, "", nullptr, 0));
  afSetDestinationDir(a, dir.str());
  afSetDestinationDir(b, dir.str());
  const std::string first = afFaxNameCount(a);
  const std::string second = afFaxNameCount(b);
  EXPECT_EQ(first, dir / "FAX0001.FXF");
  EXPECT_EQ(second, dir / "FAX0002.FXF");
  EXPECT_TRUE(fs::exists(first));
  fDoneC12ReceiveFax(a);
  fDoneC12ReceiveFax(b);
}

// Class 1: a sender that never answers the capabilities gets three more tries in every
// call, not three in the whole session.
TEST(FaxReceive, Class1FrameRetriesStartAgainInEveryCall) {
  // Six T.30 time-outs of real time: one build is enough to wait for them.
  if (support::SanitizerBuild()) GTEST_SKIP() << "real-time time-outs: normal build only";
  support::TempDir dir("faxrecv1");
  Peer sim("faxmodem-sim", {"--classes", "1", "--call", dir.Write("x.g3", "x"), "--calls", "2",
                            "--ring-interval", "200", "--log", dir / "sim.log"});
  FaxStation rx(sim.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
  rx.Receiver()->SetFaxClass(fcClass1);
  rx.Receiver()->SetDestinationDir(dir.str());
  rx.Receiver()->StartReceive();
  ASSERT_TRUE(
      PumpUntil([&] { return std::count(rx.errors.begin(), rx.errors.end(), ecTimeout) == 2; }, 60000))
      << support::ReadFile(dir / "sim.log");
  rx.fax->CancelFax();
  ASSERT_TRUE(rx.WaitFinish(20000));
  const std::string log = support::ReadFile(dir / "sim.log");
  const std::size_t second = log.find("ATA", log.find("ATA") + 1);
  ASSERT_NE(second, std::string::npos) << log;
  auto count = [&](std::size_t from, std::size_t to) {
    int n = 0;
    for (std::size_t p = log.find("AT+FTH=3", from); p != std::string::npos && p < to;
         p = log.find("AT+FTH=3", p + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count(0, second), 3);
  EXPECT_EQ(count(second, log.size()), 3);
  EXPECT_FALSE(fs::exists(dir / "FAX0001.FXF"));
}

// Class 1: the modem takes the first listen for the training as the end of the frames before it
// (OK), then misses a page's carrier (+FCERROR in place of the page) and, listening for the
// sender's post-page command, catches only its end (CONNECT and NO CARRIER without a frame). The
// receiver listens again each time, takes the command and asks for the page again with RTN; the
// sender hangs up instead (DCN), and the fax has failed in mid-session.
TEST(FaxReceive, Class1PageWhoseCarrierWasMissedIsAskedForAgain) {
  support::TempDir dir("faxrecvc");
  const auto frame = [](std::initializer_list<int> bytes) {
    std::string f = "\r\nCONNECT\r\n";
    for (int b : bytes) f += static_cast<char>(b);
    return f + "\x10\x03\r\nOK\r\n";
  };
  std::atomic<int> classes{0}, trainings{0}, listens{0};
  support::ScriptedModem modem([&](const std::string& line) -> std::string {
    if (line == "AT+FCLASS=1") return ++classes == 2 ? "\r\nOK\r\n\r\nRING\r\n" : "\r\nOK\r\n";
    if (line == "AT+FRM=?") return "\r\n24,48,72,96\r\n\r\nOK\r\n";
    if (line == "ATA") return "\r\nCONNECT\r\n\r\nCONNECT\r\n\r\nOK\r\n";  // CSI, then DIS
    if (line.ends_with("AT+FTH=3")) return "\r\nCONNECT\r\n\r\nOK\r\n";
    if (line.ends_with("AT+FRM=96") && ++trainings == 1) return "\x10\x03\r\nOK\r\n";  // still in the frames
    if (line.ends_with("AT+FRM=96") && trainings == 2)
      return "\r\nCONNECT\r\n" + std::string(200, '\0') + "\x10\x03\r\nNO CARRIER\r\n";
    if (line.ends_with("AT+FRM=96")) return "\r\n+FCERROR\r\n";
    if (!line.ends_with("AT+FRH=3")) return "\r\nOK\r\n";
    switch (++listens) {
      case 1:
        return frame({0xFF, 0x13, 0x83, 0x00, 0x46, 0x78});  // DCS: 9600 bit/s
      case 2:
        return "\r\nCONNECT\r\n\r\nNO CARRIER\r\n";
      case 3:
        return frame({0xFF, 0x13, 0x4F});  // MPS
      default:
        return frame({0xFF, 0x13, 0xFB});  // DCN
    }
  });
  FaxStation rx(modem.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
  rx.Receiver()->SetFaxClass(fcClass1);
  rx.Receiver()->SetDestinationDir(dir.str());
  rx.Receiver()->SetExitOnError(true);
  rx.Receiver()->StartReceive();
  ASSERT_TRUE(rx.WaitFinish(30000)) << modem.Raw();
  EXPECT_EQ(rx.finishCode, ecFaxSessionError);
  EXPECT_EQ(rx.errors, std::vector<int>{ecFaxSessionError});
  EXPECT_EQ(listens, 4);
  const std::string raw = modem.Raw();
  EXPECT_NE(raw.find("\xFF\x13\x4C\x10\x03"), std::string::npos);  // RTN
  EXPECT_EQ(raw.find("\xFF\x13\x8C"), std::string::npos);          // no MCF
}

// A manual receive answers at once, however many rings the component would wait for.
TEST(FaxReceive, ManualReceiveAnswersAtOnce) {
  support::TempDir dir("faxrecvm");
  const std::string fax = TextFaxFile(dir, "one", "Seite eins\r\n", false);
  const std::string p1 = PageFile(dir, "p1.g3", fax, 1);
  Peer sim("faxmodem-sim",
           {"--classes", "2.0", "--call", p1, "--ring-interval", "5000", "--log", dir / "sim.log"});
  FaxStation rx(sim.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
  rx.Receiver()->SetFaxClass(fcClass2_0);
  rx.Receiver()->SetDestinationDir(dir.str());
  rx.Receiver()->SetAnswerOnRing(5);
  rx.Receiver()->SetOneFax(true);
  rx.Receiver()->StartManualReceive(true);
  ASSERT_TRUE(rx.WaitFinish(8000)) << support::ReadFile(dir / "sim.log");
  EXPECT_EQ(rx.finishCode, 0);
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "FAX0001.FXF", h));
  EXPECT_EQ(h.PageCount, 1);
}

// A call that rings while the receiver sets the modem up is no answer to a set-up command: a
// RING before the Class 1 rate list once left only 4800 bit/s on offer to the caller.
TEST(FaxReceive, RingDuringTheSetUpLeavesEveryRateOnOffer) {
  support::TempDir dir("faxrecvr");
  support::ScriptedModem modem([](const std::string& command) -> std::string {
    return command == "AT+FRM=?" ? "\r\nRING\r\n\r\n24,48,72,96,121,122,145,146\r\n\r\nOK\r\n" : "\r\nOK\r\n";
  });
  {
    FaxStation rx(modem.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
    rx.Receiver()->SetFaxClass(fcClass1);
    rx.Receiver()->SetDesiredBPS(14400);
    rx.Receiver()->StartReceive();
    EXPECT_EQ(rx.fax->GetSessionBPS(), 14400);
    // The hang-up flushes the port's output: the last set-up command has to have reached the
    // modem first.
    EXPECT_TRUE(modem.WaitForCommands(
        [](const std::vector<std::string>& cs) { return std::ranges::count(cs, "AT+FCLASS=1") == 2; },
        20000));
    rx.fax->CancelFax();
    EXPECT_TRUE(rx.WaitFinish(20000));
  }
  std::string commands;
  for (const std::string& c : modem.Commands()) commands += c + "\n";
  EXPECT_NE(commands.find("AT+FCLASS=1\nAT+FRM=?\nAT+FCLASS=1\n"), std::string::npos) << commands;
}

// The modem is set up for answering at once: the commands go out in their order, and a
// modem that does not answer is an error.
TEST(FaxReceive, ModemSetUpForAnswering) {
  support::TempDir dir("faxrecvi");
  {
    Peer sim("faxmodem-sim", {"--classes", "2", "--log", dir / "sim.log"});
    FaxStation rx(sim.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
    rx.Receiver()->SetFaxClass(fcClass2);
    rx.Receiver()->SetStationID("KORVIDAN");
    rx.Receiver()->InitModemForFaxReceive();
    EXPECT_NE(support::ReadFile(dir / "sim.log")
                  .find("AT+FCLASS=2\nAT+FCLASS=0\nAT+FCR=1\nAT+FLID=\"KORVIDAN\"\nAT+FAA=0\nAT+FDCC=1,3,0,2,"
                        "0,0,0,0\n"),
              std::string::npos)
        << support::ReadFile(dir / "sim.log");
  }
  Peer mute("faxmodem-sim", {"--classes", "2", "--mute"});
  FaxStation rx(mute.Path(), kReceiveCom, true, dir / "SIOFAX.HIS");
  rx.Receiver()->SetFaxClass(fcClass2);
  rx.fax->FaxRec()->CData->ReplyWait = 18;  // one second for each reply
  try {
    rx.Receiver()->InitModemForFaxReceive();
    ADD_FAILURE() << "no exception";
  } catch (const ESIOException& e) {
    EXPECT_EQ(e.ErrorCode, ecFaxBadModemResult);
  }
}
