// The fax components as a form uses them: the send component's choice of files, joining a
// file list, the checks before a send, the history file and the codes of its events.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FaxPeerUtil.h"
#include "platform/Text.h"
#include "serial/SioPort.h"
#include "serial/Sioexcept.h"

using namespace peertest;
namespace fs = std::filesystem;

namespace {

constexpr int kCom = 46;

// A fax file of n text pages.
std::string Pages(const support::TempDir& dir, const std::string& name, int n) {
  std::string text;
  for (int i = 1; i <= n; ++i) text += name + " Seite " + std::to_string(i) + (i < n ? "\f" : "\r\n");
  return TextFaxFile(dir, name, text, false);
}

int SimPages(const support::TempDir& dir) {
  int n = 0;
  while (fs::exists(dir / ("line-" + std::to_string(n + 1) + ".g3"))) ++n;
  return n;
}

struct SendFixture : ::testing::Test {
  support::TempDir dir{"faxcomp"};
  std::unique_ptr<Peer> sim;
  std::unique_ptr<FaxStation> st;

  void Start(std::vector<std::string> args) {
    args.insert(args.end(), {"--output", dir / "line", "--log", dir / "modem.log"});
    sim = std::make_unique<Peer>("faxmodem-sim", args);
    st = std::make_unique<FaxStation>(sim->Path(), kCom, false, dir / "SIOFAX.HIS");
    st->Sender()->SetFaxClass(fcClass2);
    st->Sender()->SetPhoneNumber("0815");
  }
};

}  // namespace

TEST_F(SendFixture, OneListedFileSendsTheFaxFileItself) {
  Start({"--classes", "2"});
  st->Sender()->SetFaxFileList({Pages(dir, "list", 1)});
  st->Sender()->SetFaxFile(Pages(dir, "single", 2));
  st->Sender()->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(20000));
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(SimPages(dir), 2);
}

TEST_F(SendFixture, AListOfFilesIsJoinedIntoOneFaxAndTheJoinIsRemoved) {
  Start({"--classes", "2"});
  const std::vector<std::string> files = {Pages(dir, "a", 2), Pages(dir, "b", 1), Pages(dir, "c", 3)};
  st->Sender()->SetFaxFileList(files);
  st->Sender()->StartTransmit();
  const std::string joined = afGetFaxName(st->fax->FaxRec());
  ASSERT_TRUE(st->WaitFinish(30000));
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(SimPages(dir), 6);
  EXPECT_NE(joined.find("~AP"), std::string::npos) << joined;
  EXPECT_FALSE(fs::exists(joined));
  // Every list file is named in the history, and the fax's end.
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  for (const std::string& f : files)
    EXPECT_NE(history.find("Transmit " + f + " to 0815 started at "), std::string::npos) << history;
  EXPECT_NE(history.find("Transmit to  REMOTE FAX finished OK at "), std::string::npos) << history;
  EXPECT_EQ(history.substr(history.size() - 4), " 0\r\n");
}

TEST_F(SendFixture, ConcatFaxesKeepsTheFirstHeaderWithAllPagesAndRefusesOtherFiles) {
  Start({"--classes", "2"});
  st->Sender()->SetFaxFileList({Pages(dir, "a", 2), Pages(dir, "b", 1), Pages(dir, "c", 3)});
  st->Sender()->ConcatFaxes(dir / "all.fxf");
  TFaxHeaderRec first, all;
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "a.fxf", first));
  ASSERT_EQ(0, fxfReadFaxHeader(dir / "all.fxf", all));
  EXPECT_EQ(all.PageCount, 6);
  EXPECT_EQ(all.GetStationID(), first.GetStationID());
  EXPECT_EQ(fs::file_size(dir / "all.fxf"),
            fs::file_size(dir / "a.fxf") + fs::file_size(dir / "b.fxf") + fs::file_size(dir / "c.fxf") - 128);
  Picture pages;
  for (const char* f : {"a.fxf", "b.fxf", "c.fxf"}) {
    const Picture p = faxtest::DecodeFax(dir / f, 1728);
    pages.insert(pages.end(), p.begin(), p.end());
  }
  EXPECT_TRUE(faxtest::DecodeFax(dir / "all.fxf", 1728) == pages);

  st->Sender()->SetFaxFileList({dir / "a.fxf", dir.Write("text.txt", "kein Fax")});
  try {
    st->Sender()->ConcatFaxes(dir / "bad.fxf");
    ADD_FAILURE() << "no exception";
  } catch (const ESIOException& e) {
    EXPECT_EQ(e.ErrorCode, ecFaxBadFormat);
  }
  EXPECT_FALSE(fs::exists(dir / "bad.fxf"));
}

TEST_F(SendFixture, PortChecksComeBeforeAnythingIsSent) {
  Start({"--classes", "2"});
  st->Sender()->SetFaxFile(Pages(dir, "a", 1));
  st->port->SetOpen(false);
  st->port->SetOutSize(4096);
  try {
    st->Sender()->StartTransmit();
    ADD_FAILURE() << "no exception";
  } catch (const ESIOException& e) {
    EXPECT_EQ(e.ErrorCode, ecOutputBufferTooSmall);
  }
  st->Sender()->Notification(st->port, opRemove);
  EXPECT_EQ(st->fax->GetComPort(), nullptr);
  try {
    st->Sender()->StartTransmit();
    ADD_FAILURE() << "no exception";
  } catch (const ESIOException& e) {
    EXPECT_EQ(e.ErrorCode, ecPortNotAssigned);
  }
  // A port added to the owner is taken, with the fax line settings.
  st->Sender()->Notification(st->port, opInsert);
  EXPECT_EQ(st->fax->GetComPort(), st->port);
  EXPECT_EQ(st->port->GetOutSize(), 8192);
  EXPECT_EQ(st->port->GetBaud(), 19200u);
  EXPECT_FALSE(st->finished);
  EXPECT_TRUE(support::ReadFile(dir / "modem.log").empty());
}

TEST_F(SendFixture, ManualSendWithoutNumberEndsAtOnceWithoutDialling) {
  Start({"--classes", "2"});
  st->Sender()->SetFaxFile(Pages(dir, "a", 1));
  st->Sender()->SetPhoneNumber("");
  st->Sender()->StartManualTransmit();
  ASSERT_TRUE(st->WaitFinish(10000));
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(support::ReadFile(dir / "modem.log").find("ATD"), std::string::npos);
  EXPECT_EQ(SimPages(dir), 0);
}

// The codes reach the events as the negative numbers they are.
TEST_F(SendFixture, ErrorAndFinishCodesArriveNegative) {
  Start({"--classes", "2", "--busy"});
  st->Sender()->SetFaxFile(Pages(dir, "a", 1));
  st->Sender()->SetDialAttempts(1);
  st->Sender()->SetAbortNoConnect(true);
  st->Sender()->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(20000));
  EXPECT_EQ(st->finishCode, ecFaxBusy);
  EXPECT_EQ(st->errors, (std::vector<int>{ecFaxBusy}));
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  const std::string tail = "\r\n  (Called fax number was busy) 0\r\n";
  ASSERT_GE(history.size(), tail.size());
  EXPECT_EQ(history.substr(history.size() - tail.size()), tail) << history;
  EXPECT_NE(history.find("Transmit failed at "), std::string::npos);
}

// Handlers that throw, a standard exception or anything else, are reported through the
// application's exception handler; the fax goes on to its end all the same.
TEST_F(SendFixture, HandlersThatThrowAreReportedAndTheFaxGoesOn) {
  Start({"--classes", "2"});
  std::vector<std::string> shown;
  SetSioApplicationExceptionHandler([&](const std::exception& e) { shown.emplace_back(e.what()); });
  int statuses = 0;
  st->Sender()->SetOnFaxStatus([&](TSioCustomAbstractFax*, bool, bool) {
    if (++statuses == 1) throw 42;
  });
  st->Sender()->SetOnFaxLog(
      [](TSioCustomAbstractFax*, TLogFaxCode) { throw std::runtime_error("Protokoll"); });
  st->Sender()->SetFaxFile(Pages(dir, "wirft", 1));
  st->Sender()->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(20000));
  SetSioApplicationExceptionHandler(nullptr);
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(SimPages(dir), 1);
  ASSERT_GE(shown.size(), 3u);
  EXPECT_EQ(std::count(shown.begin(), shown.end(), "Unknown exception in an event handler"), 1);
  EXPECT_GE(std::count(shown.begin(), shown.end(), "Protokoll"), 2);
}

// Class 1: a remote that hangs up (DCN) in place of its DIS after EOM ends the fax as its
// hang-up, not as the user's abort, and the page it confirmed stays reported as delivered.
TEST_F(SendFixture, RemoteHangingUpAfterTheFirstPageIsNoUserAbort) {
  Start({"--classes", "1", "--dcn-after-eom"});
  TSioSendFax* fax = st->Sender();
  fax->SetFaxClass(fcClass1);
  // The second page is fine: the first ends with EOM.
  fax->SetFaxFileList({Pages(dir, "normal", 1), TextFaxFile(dir, "fine", "fein\r\n", true)});
  fax->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(30000));
  EXPECT_EQ(st->finishCode, ecFaxSessionError);
  EXPECT_EQ(st->errors, (std::vector<int>{ecFaxSessionError}));
  EXPECT_EQ(std::count(st->progress.begin(), st->progress.end(), fpCancel), 0);
  EXPECT_TRUE(fax->GetLastPageStatus());
  EXPECT_EQ(fax->GetTotalPages(), 2);
  EXPECT_EQ(fax->GetCurrentPage(), 2);  // the page that did not go
  EXPECT_EQ(SimPages(dir), 1);
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  const std::string tail = "\r\n  (Fax failed in mid-session) 0\r\n";
  ASSERT_GE(history.size(), tail.size());
  EXPECT_EQ(history.substr(history.size() - tail.size()), tail) << history;
}

// The window thread is busy for 3.5 s as the first of two faxes ends: the notice that asks for
// the next one waits for it (its silence is not "no more faxes"), and the second fax goes out.
TEST_F(SendFixture, NextFaxWaitsForABusyWindowThread) {
  Start({"--classes", "2"});
  const std::vector<std::string> files = {Pages(dir, "a", 1), Pages(dir, "b", 1)};
  std::size_t next = 0;
  st->Sender()->SetOnFaxNext(
      [&](TSioCustomAbstractFax*, std::string& number, std::string& file, std::string&) {
        if (next >= files.size()) return;
        number = "0815";
        file = files[next++];
      });
  st->Sender()->StartTransmit();
  ASSERT_TRUE(PumpUntil(
      [&] { return st->finished || (!st->logs.empty() && st->logs.back() == lfaxTransmitOk); }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(3500));
  ASSERT_TRUE(st->WaitFinish(30000));
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(SimPages(dir), 2);
  EXPECT_EQ(st->logs,
            (std::vector<int>{lfaxTransmitStart, lfaxTransmitOk, lfaxTransmitStart, lfaxTransmitOk}));
}

TEST(FaxComponents, StatusDisplayAndLogAreFoundOnTheOwner) {
  TSioComponentOwner owner;
  auto* log = new TSioFaxLog(&owner);
  auto* fax = new TSioSendFax(&owner);
  EXPECT_EQ(fax->GetFaxLog(), log);
  EXPECT_EQ(log->GetFax(), fax);
  auto* second = new TSioReceiveFax(&owner);
  EXPECT_EQ(second->GetFaxLog(), nullptr);  // the log is bound already
  auto* other = new TSioFaxLog(&owner);
  second->Notification(other, opInsert);
  EXPECT_EQ(second->GetFaxLog(), other);
  delete log;
  EXPECT_EQ(fax->GetFaxLog(), nullptr);
  // Defaults of the send component.
  EXPECT_EQ(fax->GetFaxClass(), fcDetect);
  EXPECT_EQ(fax->GetDialAttempts(), 3);
  EXPECT_EQ(fax->GetDialWait(), 60);
  EXPECT_TRUE(fax->GetFastPage());
  EXPECT_EQ(second->GetAnswerOnRing(), 1);
  EXPECT_EQ(second->GetFaxNameMode(), fnCount);
  second->SetDestinationDir("/var/fax");
  EXPECT_EQ(second->GetDestinationDir(), "/var/fax/");
  delete other;
  delete second;
  delete fax;
}

// A getter of the component while the engine holds its record on another thread (the
// dispatcher's): it waits for the engine, and meanwhile this thread handles the engine's own
// notices and nothing else (not a function queued for it).
TEST(FaxComponents, GetterWaitsForTheEngineHandlingOnlyItsNotices) {
  TSioComponentOwner owner;
  auto* fax = new TSioSendFax(&owner);
  TFaxRec* rec = fax->FaxRec();
  int heard = 0;
  fax->SetOnFaxStatus([&](TSioCustomAbstractFax*, bool, bool) { ++heard; });
  static std::atomic<bool> ranQueued;
  ranQueued = false;
  std::atomic<bool> held{false};
  std::thread engine([&] {
    std::lock_guard<std::recursive_mutex> g(rec->Lock);
    rec->PData->FaxProgress = 1;
    QueueOnMainThread([] { ranQueued = true; });
    held = true;
    afFaxStatus(rec, false, false);
    rec->PData->FaxProgress = 2;
  });
  while (!held) std::this_thread::yield();
  const std::int16_t seen = fax->GetFaxProgress();
  const bool queuedMeanwhile = ranQueued;
  engine.join();
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(heard, 1);
  EXPECT_FALSE(queuedMeanwhile);
  EXPECT_TRUE(PumpUntil([] { return ranQueued.load(); }, 5000));
  delete fax;
}

// The port closed under a running fax ends the fax with an error, and the component sends
// again once the port is back.
TEST_F(SendFixture, PortClosedMidFaxEndsItAndTheNextFaxGoesOut) {
  Start({"--classes", "2", "--stall-page", "1:0"});
  const std::string file = dir / "noise.fxf";
  ASSERT_EQ(0, faxtest::WriteFaxFile(file, {faxtest::RandomPicture(1728, 1500, 4)}, false, false));
  st->Sender()->SetFaxFile(file);
  st->Sender()->StartTransmit();
  ASSERT_TRUE(PumpUntil([&] { return st->fax->GetFaxProgress() == fpSendPage; }, 20000));
  st->port->SetOpen(false);
  ASSERT_TRUE(st->WaitFinish(5000));
  EXPECT_EQ(st->finishCode, ecCommNotOpen);
  EXPECT_FALSE(st->fax->InProgress());

  // The same component, its port opened again on a fresh modem: the next fax goes out whole.
  sim = std::make_unique<Peer>("faxmodem-sim",
                               std::vector<std::string>{"--classes", "2", "--output", dir / "line"});
  ::setenv(("SIO_COM" + std::to_string(kCom)).c_str(), sim->Path().c_str(), 1);
  st->port->SetOpen(true);
  // A close from under the dispatcher's running event completes, and the port opens again,
  // once the window has its message: until then a send is refused, not left hanging.
  if (st->port->GetPortState() != psOpen) {
    EXPECT_THROW(st->Sender()->StartTransmit(), ESIOException);
    ASSERT_TRUE(PumpUntil([&] { return st->port->GetPortState() == psOpen; }, 5000));
  }
  st->finished = false;
  st->Sender()->SetFaxFile(Pages(dir, "a", 1));
  st->Sender()->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(20000));
  EXPECT_EQ(st->finishCode, 0);
  EXPECT_EQ(SimPages(dir), 1);
}

// A form may cancel the fax from inside its own events, while the engine waits for the event
// with its call held: the cancel is carried out once the event is done, and the fax ends
// "cancelled" with nothing hung.
TEST_F(SendFixture, CancelledFromItsOwnEvents) {
  Start({"--classes", "2"});
  TSioSendFax* fax = st->Sender();
  fax->SetDialAttempts(1);
  fax->SetFaxFile(Pages(dir, "a", 2));
  int cancels = 0;
  fax->SetOnFaxStatus([&](TSioCustomAbstractFax* cp, bool first, bool) {
    if (!first && cancels++ == 0) cp->CancelFax();
  });
  fax->StartTransmit();
  ASSERT_TRUE(st->WaitFinish(20000));
  EXPECT_EQ(st->finishCode, ecCancelRequested);
  EXPECT_GT(cancels, 0);
  EXPECT_LT(SimPages(dir), 2);
}

// A form may free the send component from inside its own events: from the finish, from an
// error that the engine waits to have handled while it holds its call (a busy line, on the
// dispatcher's thread), and from the error of a file refused in the first call (on this
// thread). Nothing hangs and nothing runs on freed memory (the sanitizer builds check it);
// a new component on the port sends the next fax.
TEST_F(SendFixture, FreedFromItsOwnEvents) {
  enum Where { kFinish, kErrorWhileDialling, kErrorAtTheStart };
  for (Where where : {kFinish, kErrorWhileDialling, kErrorAtTheStart}) {
    SCOPED_TRACE(where);
    for (int n = 1; n <= 2; ++n) fs::remove(dir / ("line-" + std::to_string(n) + ".g3"));
    if (where == kErrorWhileDialling)
      Start({"--classes", "2", "--busy"});
    else
      Start({"--classes", "2"});
    TSioSendFax* fax = st->Sender();
    fax->SetDialAttempts(1);
    fax->SetFaxFile(where == kErrorAtTheStart ? dir.Write("kein.fxf", "kein Fax") : Pages(dir, "a", 1));
    bool gone = false;
    auto kill = [&](TSioCustomAbstractFax* cp) {
      if (gone) return;
      gone = true;
      delete cp;
      st->fax = nullptr;
    };
    if (where == kFinish)
      fax->SetOnFaxFinish([&](TSioCustomAbstractFax* cp, int) { kill(cp); });
    else
      fax->SetOnFaxError([&](TSioCustomAbstractFax* cp, int) { kill(cp); });
    fax->StartTransmit();
    ASSERT_TRUE(PumpUntil([&] { return gone; }, 20000));
    EXPECT_EQ(SimPages(dir), where == kFinish ? 1 : 0);

    auto* next = new TSioSendFax(st.get());
    st->fax = next;
    EXPECT_EQ(next->GetComPort(), st->port);
    next->SetFaxClass(fcClass2);
    next->SetPhoneNumber("0815");
    next->SetDialAttempts(1);
    next->SetFaxFile(Pages(dir, "b", 1));
    next->SetOnFaxFinish([&](TSioCustomAbstractFax*, int code) {
      st->finished = true;
      st->finishCode = code;
    });
    next->StartTransmit();
    ASSERT_TRUE(st->WaitFinish(20000));
    if (where == kErrorWhileDialling) {
      EXPECT_EQ(st->finishCode, ecFaxBusy);
    } else {
      EXPECT_EQ(st->finishCode, 0);
      EXPECT_EQ(SimPages(dir), where == kFinish ? 2 : 1);
    }
  }
}
