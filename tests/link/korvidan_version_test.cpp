// The firmware version query: reply parsing and judgement, and whole queries against the
// controller simulator on a pseudo-terminal.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/BusShared.h"
#include "link/KorvidanVersion.h"
#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "platform/Threads.h"
#include "tests/support/Child.h"

extern char** environ;

namespace {

struct Box {
  std::string text, caption;
  TBoxKind kind;
};

// Records what the query shows and does to windows.
struct Recorder {
  std::vector<Box> boxes;
  int closes = 0, verzichten = 0, programmingRead = 0, menuDisabled = 0;
  bool okEnabled = true;

  bool Shown(const std::string& part) const {
    for (const Box& b : boxes)
      if (b.text.find(part) != std::string::npos) return true;
    return false;
  }
  void Attach(TTKorvidanVersion& q) {
    q.Hooks.SetOkEnabled = [this](bool on) { okEnabled = on; };
    q.Hooks.ShowVerzichten = [this] { ++verzichten; };
    q.Hooks.CloseDialog = [this] { ++closes; };
    q.Hooks.EnableProgrammingRead = [this] { ++programmingRead; };
    q.Hooks.DisableProgrammingMenu = [this] { ++menuDisabled; };
  }
};

class VersionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string& caption, TBoxKind kind) {
      rec.boxes.push_back({text, caption, kind});
    };
    LinkHooks().ProcessMessages = [] { ProcessMessages(); };
  }
  void TearDown() override { LinkHooks() = TLinkHooks{}; }

  Recorder rec;
  TAcquisitionState state;
};

// ---------------------------------------------------------------------------
// Parsing, with the port closed: the reply is put into the received-text list.

class ParseTest : public VersionTest {
 protected:
  void SetUp() override {
    VersionTest::SetUp();
    bus = std::make_unique<TDataModule1>(state, 0);  // no port: nothing asks, it stays closed
    query = std::make_unique<TTKorvidanVersion>(*bus, state);
    rec.Attach(*query);
    rec.boxes.clear();
  }
  void TearDown() override {
    query.reset();
    bus.reset();
    VersionTest::TearDown();
  }
  void Receive(const std::string& chunk) {
    state.FInputBuffer.Add(chunk);
    if (query->Flags().FVersionReceived) {
      bus->Version->FVersionReceived = false;
      query->ParseVersionReply();
    }
  }
  void Marker() { bus->Version->FVersionReceived = true; }

  std::unique_ptr<TDataModule1> bus;
  std::unique_ptr<TTKorvidanVersion> query;
};

TEST_F(ParseTest, CurrentVersionEnablesReadingAndIsKept) {
  TEvent versionEvent(false, false, VersionEventName);
  versionEvent.ResetEvent();
  Marker();
  Receive("korvidan v2.19\r\n");
  EXPECT_EQ(query->GetFirmwareVersion(), 219);
  EXPECT_TRUE(query->Flags().FVersionDone);
  EXPECT_TRUE(rec.Shown("korvidan Firmware Version : 2.19"));
  EXPECT_EQ(rec.programmingRead, 1);
  EXPECT_EQ(rec.closes, 1);
  EXPECT_EQ(state.FInputBuffer.Count(), 0);
  EXPECT_EQ(versionEvent.WaitFor(0), wrSignaled);

  for (const char* reply : {"korvidan v2.21\r\n", "korvidan v2,21\r\n"}) {
    Marker();
    Receive(reply);
    EXPECT_EQ(query->GetFirmwareVersion(), 221) << reply;
  }
}

TEST_F(ParseTest, OlderVersionIsWarnedAboutAndKept) {
  Marker();
  Receive("korvidan v2.10\r\n");
  EXPECT_EQ(query->GetFirmwareVersion(), 210);
  EXPECT_EQ(rec.programmingRead, 0);
  ASSERT_FALSE(rec.boxes.empty());
  EXPECT_EQ(rec.boxes.back().caption, VersionCheckCaption);
  EXPECT_EQ(rec.boxes.back().kind, TBoxKind::Error);
}

TEST_F(ParseTest, ReplyIsCollectedUpToItsLineEnd) {
  Marker();
  Receive("korvidan");
  EXPECT_TRUE(rec.boxes.empty());
  EXPECT_TRUE(query->Flags().FVersionReceived);
  Receive(" v2.");
  EXPECT_TRUE(rec.boxes.empty());
  Receive("19\r\n");
  EXPECT_EQ(query->GetFirmwareVersion(), 219);
  EXPECT_FALSE(query->Flags().FVersionReceived);
  EXPECT_EQ(rec.closes, 1);
}

TEST_F(ParseTest, TextBeforeTheMarkerIsIgnored) {
  Marker();
  Receive(
      "E1(pH )07.05 pH E2(Te )25.3 \xB0"
      "C E3 very long noise vvvv korvidan v2.20\r\n");
  EXPECT_EQ(query->GetFirmwareVersion(), 220);
}

TEST_F(ParseTest, UnreadableRepliesGive219) {
  Marker();
  Receive("korvidan ohne Nummer\r\n");
  EXPECT_TRUE(rec.Shown(VersionConvertErrorText));
  EXPECT_EQ(query->GetFirmwareVersion(), 219);

  // No marker at all (taken as it is, as after the last retry).
  rec.boxes.clear();
  state.FInputBuffer.Add("kaputt\r\n");
  query->ParseVersionReply(true);
  EXPECT_TRUE(rec.Shown("Fehler Nr. 1"));
  EXPECT_FALSE(query->Flags().FVersionDone);
  EXPECT_EQ(query->GetFirmwareVersion(), 219);
}

TEST(VersionText, CutAndConversion) {
  EXPECT_EQ(TTKorvidanVersion::VersionText("korvidan v2.19\r\n"), "2.19");
  // The 16 characters count from the marker; a "v" inside the marker does not count.
  EXPECT_EQ(TTKorvidanVersion::VersionText("korvidan   v2.19"), "2.19");
  EXPECT_EQ(TTKorvidanVersion::VersionText("korvidan        v2.19"), "korv");
  // The reply's line ends the text: what follows it may not have come yet when it is read.
  EXPECT_EQ(TTKorvidanVersion::VersionText("korvidan v2\r\n19"), "2");
  int v = 0;
  EXPECT_TRUE(TTKorvidanVersion::ConvertVersion("2.19", v));
  EXPECT_EQ(v, 219);
  EXPECT_TRUE(TTKorvidanVersion::ConvertVersion("2,1\r", v));
  EXPECT_EQ(v, 210);
  EXPECT_FALSE(TTKorvidanVersion::ConvertVersion("korv", v));
  EXPECT_FALSE(TTKorvidanVersion::ConvertVersion("", v));
}

// ---------------------------------------------------------------------------
// Whole queries against the simulator.

using support::Simulator;

class QueryTest : public VersionTest {};

TEST_F(QueryTest, ReplyInSmallChunksIsParsedOnceAndEndsTheQuery) {
  // Three bytes at a time: the marker and the version never arrive together.
  Simulator sim("korvidan-sim", {"--chunk", "3:30"});
  ASSERT_FALSE(sim.Path().empty());
  setenv("SIO_COM7", sim.Path().c_str(), 1);
  TDataModule1 bus(state, 7);
  ASSERT_EQ(bus.SioComPort1.GetPortState(), psOpen);
  TTKorvidanVersion query(bus, state);
  rec.Attach(query);
  TEvent terminateEvent(false, false, VersionTerminateEventName);

  query.OkButtonClick();
  EXPECT_FALSE(rec.okEnabled);
  ASSERT_TRUE(PumpUntil([&] { return rec.closes > 0; }, 8000));
  EXPECT_EQ(query.GetFirmwareVersion(), 219);
  EXPECT_TRUE(rec.Shown("korvidan Firmware Version : 2.19"));
  EXPECT_FALSE(query.TimerEnabled());
  EXPECT_EQ(terminateEvent.WaitForPumping(3000), wrSignaled);
  ASSERT_TRUE(query.VersionThread().WaitFor(3000));

  // The retries are over: no "no answer" box later, however long one waits.
  const std::size_t shown = rec.boxes.size();
  PumpUntil([] { return false; }, 800);
  EXPECT_EQ(rec.boxes.size(), shown);
  EXPECT_FALSE(rec.Shown("antwortet nicht"));
  unsetenv("SIO_COM7");
}

TEST_F(QueryTest, PortThatCannotBeOpenedReleasesTheMainWindow) {
  setenv("SIO_COM8", "/nonexistent/korvidan-port", 1);
  TDataModule1 bus(state, 8);
  EXPECT_NE(bus.SioComPort1.GetPortState(), psOpen);
  TTKorvidanVersion query(bus, state);
  rec.Attach(query);
  rec.boxes.clear();
  TEvent terminateEvent(false, false, VersionTerminateEventName);

  query.OkButtonClick();
  EXPECT_EQ(terminateEvent.WaitForPumping(5000), wrSignaled);
  EXPECT_TRUE(rec.okEnabled);
  EXPECT_EQ(rec.verzichten, 1);
  EXPECT_FALSE(rec.boxes.empty());
  EXPECT_EQ(query.GetFirmwareVersion(), UnknownFirmwareVersion);
  unsetenv("SIO_COM8");
}

}  // namespace
