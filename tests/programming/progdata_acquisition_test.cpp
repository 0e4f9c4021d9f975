// The transfers and the acquisition: a read, a write and a stored-data listing each stop a
// running acquisition before their first request and start it again when they end, whatever
// the ending; a listing that breaks off or comes without its end is a failure, not an empty
// listing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "programming/Programmingdata.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int TestCom = 11;
const char* const BadDumpText =
    "Fehler bei Datenübertragung! Bitte Verbindung überprüfen und erneut versuchen.";

// A controller that answers the listing request "DS" with pieces of text of the test's
// choosing, 150 ms apart.
class ListingPeer {
 public:
  explicit ListingPeer(std::vector<std::string> reply) : reply_(std::move(reply)) {
    pty_.MapTo(TestCom);
    thread_ = std::thread([this] {
      std::string line;
      while (!stop_) {
        const std::string got = pty_.Read(1, 20);
        for (char c : got) {
          if (c != '\n') {
            line += c;
            continue;
          }
          if (line == "DS") {
            ++requests;
            for (const std::string& piece : reply_) {
              pty_.Write(piece);
              std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
          }
          line.clear();
        }
      }
    });
  }
  ~ListingPeer() {
    stop_ = true;
    thread_.join();
  }
  std::atomic<int> requests{0};

 private:
  support::PtyPair pty_;
  std::vector<std::string> reply_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

class AcquisitionAroundTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string&, TBoxKind) {
      events_.push_back("box " + text);
    };
    data_.HexPairPauseMs = 0;
    data_.ReceiveSilenceTicks = 3;
    data_.Hooks.FirmwareVersion = [] { return 219; };
    data_.Hooks.StopAcquisition = [this] {
      events_.push_back("stop");
      const bool was = running_;
      running_ = false;
      return was;
    };
    data_.Hooks.RestartAcquisition = [this] {
      events_.push_back("restart");
      running_ = true;
    };
    data_.Hooks.LockWindows = [this](bool lock) { events_.push_back(lock ? "lock" : "unlock"); };
    data_.Hooks.ShowStoredData = [this](const std::string& text) { listing_ = text, ++shown_; };
    data_.Hooks.StoreStatus = [this](const std::string& text) { status_ = text; };
    data_.Hooks.EnableStoreOk = [this](bool on) { storeOk_ = on; };
  }
  void TearDown() override {
    data_.Detach();
    bus_.reset();
    LinkHooks() = TLinkHooks{};
  }
  void OpenBus() {
    bus_ = std::make_unique<TDataModule1>(state_, TestCom);
    ASSERT_EQ(bus_->SioComPort1.GetPortState(), psOpen);
    bus_->SioComPort1.SetLogName(dir_ / "SIO.LOG");
    data_.Attach(*bus_, state_);
  }
  TTransferResult Listing() {
    EXPECT_TRUE(data_.StartStoredDataRead());
    PumpUntil([&] { return data_.StoreResult() != TTransferResult::Running; }, 15000);
    return data_.StoreResult();
  }
  int Count(const std::string& event) const {
    int n = 0;
    for (const std::string& e : events_) n += e == event;
    return n;
  }

  support::TempDir dir_{"korvidan-progacq"};
  std::vector<std::string> events_;
  bool running_ = true;
  std::string listing_, status_;
  int shown_ = 0;
  bool storeOk_ = false;
  TAcquisitionState state_;
  std::unique_ptr<TDataModule1> bus_;
  TProgData data_;
};

TEST_F(AcquisitionAroundTransfers, ReadWriteAndListingStopItFirstAndRestartIt) {
  support::Simulator sim("korvidan-sim", {"--no-stdin", "--stored", "3", "--period", "0.5"}, TestCom);
  OpenBus();

  ASSERT_TRUE(data_.ReadProgrammingData());
  PumpUntil([&] { return data_.ReadResult() != TTransferResult::Running; }, 15000);
  ASSERT_EQ(data_.ReadResult(), TTransferResult::Ok);
  // Stopped before the windows lock (and before anything is sent), started after they unlock.
  ASSERT_GE(events_.size(), 3u);
  EXPECT_EQ(events_.front(), "stop");
  EXPECT_EQ(events_[1], "lock");
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_EQ(Count("restart"), 1);
  EXPECT_TRUE(running_);

  events_.clear();
  ASSERT_TRUE(data_.WriteProgrammingData());
  PumpUntil([&] { return data_.WriteResult() != TTransferResult::Running; }, 30000);
  ASSERT_EQ(data_.WriteResult(), TTransferResult::Ok);
  EXPECT_EQ(events_.front(), "stop");
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_EQ(Count("box Datenübertragung OK"), 1);

  events_.clear();
  ASSERT_EQ(Listing(), TTransferResult::Ok);
  EXPECT_EQ(events_.front(), "stop");
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_EQ(shown_, 1);
  EXPECT_NE(listing_.find("Datum"), std::string::npos);

  // Without a running acquisition nothing is started afterwards.
  running_ = false;
  events_.clear();
  ASSERT_EQ(Listing(), TTransferResult::Ok);
  EXPECT_EQ(Count("stop"), 1);
  EXPECT_EQ(Count("restart"), 0);
  EXPECT_FALSE(running_);
}

TEST_F(AcquisitionAroundTransfers, AFailedOrCancelledTransferRestartsItToo) {
  // Nobody answers: the read gives up, the write gives up.
  support::PtyPair nobody;
  nobody.MapTo(TestCom);
  OpenBus();
  ASSERT_TRUE(data_.ReadProgrammingData());
  data_.CancelRead();  // the port is closed by the cancel and opened again for the acquisition
  EXPECT_EQ(data_.ReadResult(), TTransferResult::Failed);
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_EQ(bus_->SioComPort1.GetPortState(), psOpen);

  events_.clear();
  ASSERT_TRUE(data_.WriteProgrammingData());
  PumpUntil([&] { return data_.WriteResult() != TTransferResult::Running; }, 15000);
  EXPECT_EQ(data_.WriteResult(), TTransferResult::Failed);
  EXPECT_EQ(Count("box Korvidan antwortet nicht! Bitte serielle Verbindung überprüfen"), 1);
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_TRUE(running_);
}

TEST_F(AcquisitionAroundTransfers, ListingThatBreaksOffIsGivenUpAfterItsSilence) {
  ListingPeer peer({"-------------\r\n", "Datum      Uhrzeit   pH\r\n01.02.2024 10:00:00 7.05\r\n"});
  OpenBus();
  ASSERT_EQ(Listing(), TTransferResult::Failed);
  EXPECT_EQ(Count(std::string("box ") + BadDumpText), 1);
  EXPECT_EQ(shown_, 0);
  EXPECT_EQ(status_, "abgebrochen");
  EXPECT_TRUE(storeOk_);  // the dialog can be closed
  EXPECT_FALSE(data_.GetStoreTimerEnabled());
  EXPECT_EQ(data_.FTriggerHandle, 0);
  EXPECT_EQ(data_.FEndTriggerHandle, 0);
  EXPECT_EQ(events_.back(), "restart");
  EXPECT_EQ(peer.requests, 1);
}

TEST_F(AcquisitionAroundTransfers, ListingWhoseEndComesTooEarlyIsRefused) {
  // A stray "-END" before the listing: its "END" lies less than three characters behind the
  // first hyphen, so there is no listing between them.
  ListingPeer peer({"-END\r\n", "-------------\r\nDatum\r\n", "-------------\r\nEND\r\n"});
  OpenBus();
  ASSERT_EQ(Listing(), TTransferResult::Failed);
  EXPECT_EQ(Count(std::string("box ") + BadDumpText), 1);
  EXPECT_EQ(shown_, 0);
  EXPECT_NE(status_, "Daten gelesen");
  EXPECT_TRUE(storeOk_);
}

}  // namespace
