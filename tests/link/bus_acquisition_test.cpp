// The bus module and the acquisition thread against the controller simulator on a
// pseudo-terminal: value cycles, chunked and disturbed output, a silent controller, a stop
// during the listening, the reply markers, the send pauses, the reply time-out, idle CPU.
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/BusShared.h"
#include "link/RS485BusNew.h"
#include "link/SensorRecords.h"
#include "link/ThGetData.h"
#include "link/Tkorvidan.h"
#include "platform/Messages.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint16_t TestCom = 7;

long long MsSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The simulator as a child process, mapped to COM7; commands go to its standard input.
struct Sim : support::Simulator {
  explicit Sim(std::vector<std::string> args) : Simulator("korvidan-sim", std::move(args), TestCom) {}
};

const std::vector<std::string> EverySensor = {"--sensor", "0:1:ph:7.05",       "--sensor", "0:2:temp:25.3",
                                              "--sensor", "0:3:redox:350",     "--sensor", "0:4:cond-ms:52.3",
                                              "--sensor", "0:5:o2-mg:8.5",     "--sensor", "0:6:level:1",
                                              "--sensor", "0:7:pressure:1013", "--sensor", "0:8:cond-us:850"};
struct Reading {
  std::uint8_t type;
  float value;
  bool operator==(const Reading&) const = default;
};
const std::vector<Reading> EverySensorValues = {{SensorPH, 7.05f},         {SensorTemperature, 25.3f},
                                                {SensorRedox, 350.0f},     {SensorSeaConductivity, 52.3f},
                                                {SensorOxygen, 8.5f},      {SensorLevel, 1.0f},
                                                {SensorPressure, 1013.0f}, {SensorFreshConductivity, 850.0f}};
const std::vector<Reading> NoValues(8, Reading{SensorNone, 0.0f});

class BusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLinkHooks& h = LinkHooks();
    h.MessageBox = [this](const std::string& text, const std::string&, TBoxKind) { Note(boxes_, text); };
    h.StatusText = [this](const std::string& text) { Note(status_, text); };
    h.StoreCurrentValues = [this](TControllerList& list) {  // on the acquisition thread
      std::vector<Reading> r;
      {
        std::lock_guard<TCriticalSection> g(SensorDataLock);
        for (int s = 0; s < 8; ++s)
          r.push_back({list.GetController(0)->GetSensor(s)->GetType(),
                       list.GetController(0)->GetSensor(s)->GetValue()});
      }
      std::lock_guard<std::mutex> g(lock_);
      stored_.push_back(r);
      cycleEnds_.push_back(Clock::now());
      pthread_getcpuclockid(pthread_self(), &threadClock_);
    };
  }
  void TearDown() override {
    if (thread_.Valid()) {
      thread_.Terminate();
      thread_.WaitFor(30000);
    }
    bus_.reset();
    LinkHooks() = TLinkHooks{};
  }

  void OpenBus(int listenMs) {
    bus_ = std::make_unique<TDataModule1>(state_, TestCom);
    ASSERT_EQ(bus_->SioComPort1.GetPortState(), psOpen);
    bus_->SioComPort1.SetLogName(tmpDir_ / "SIO.LOG");
    bus_->ListenMilliseconds = listenMs;
    bus_->ScanBus(list_);
  }
  void Note(std::vector<std::string>& list, const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    list.push_back(text);
  }
  int Cycles() {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(stored_.size());
  }
  // Pumps the window thread's messages until that many cycles have been stored.
  bool WaitCycles(int n, int timeoutMs = 15000) {
    return PumpUntil([&] { return Cycles() >= n; }, static_cast<DWORD>(timeoutMs));
  }
  static void Pump(int ms) {
    PumpUntil([] { return false; }, static_cast<DWORD>(ms));
  }
  std::vector<Reading> Stored(int cycle) {
    std::lock_guard<std::mutex> g(lock_);
    return stored_.at(static_cast<std::size_t>(cycle));
  }
  int Boxes(const std::string& text) {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(std::count(boxes_.begin(), boxes_.end(), text));
  }

  support::TempDir tmpDir_{"korvidan-bus-"};
  std::mutex lock_;
  std::vector<std::string> boxes_, status_;
  std::vector<std::vector<Reading>> stored_;  // the eight sensors after each cycle
  std::vector<Clock::time_point> cycleEnds_;
  clockid_t threadClock_{};
  TAcquisitionState state_;
  TControllerList list_;
  std::unique_ptr<TDataModule1> bus_;
  TThreadHandle thread_;
};

}  // namespace

TEST_F(BusTest, CycleFillsEverySensorTypeAlsoFromChunksAndAmidGarbage) {
  std::vector<std::string> args = EverySensor;
  args.insert(args.end(), {"--fixed", "--period", "0.15"});
  Sim sim(args);
  OpenBus(900);
  state_.SetIntervalSeconds(0);
  thread_ = ThGetData::Create(*bus_, list_, state_);
  ASSERT_TRUE(WaitCycles(1));
  EXPECT_EQ(Stored(0), EverySensorValues);
  EXPECT_TRUE(state_.GetDataReceived());
  EXPECT_TRUE(state_.GetDataCollecting());

  // Output in chunks of 1 to 3 bytes; then garbage on the bus between the value lines.
  ASSERT_TRUE(sim.Command("chunk 3 1"));
  ASSERT_TRUE(WaitCycles(3));
  EXPECT_EQ(Stored(2), EverySensorValues);
  for (int i = 0; i < 3; ++i)
    ASSERT_TRUE(sim.Command("send \\x01#\\xFF%x E9(pH )99.99 pH E0(Rx )9999 mV Ex(Te )88.8 \\xB0C E"));
  ASSERT_TRUE(WaitCycles(5));
  EXPECT_EQ(Stored(4), EverySensorValues);
  EXPECT_EQ(Boxes(NoDataMessage), 0);

  // Oxygen in percent, a level in air.
  ASSERT_TRUE(sim.Command("set 0:5:o2-pct:95.5"));
  ASSERT_TRUE(sim.Command("set 0:6:level:0"));
  const int before = Cycles();
  ASSERT_TRUE(WaitCycles(before + 2));
  std::vector<Reading> expected = EverySensorValues;
  expected[4].value = 95.5f;
  expected[5].value = 0.0f;
  EXPECT_EQ(Stored(before + 1), expected);
  EXPECT_EQ(list_.GetController(0)->GetSensor(4)->GetO2Mode(), O2ModePercent);
}

TEST_F(BusTest, SilentControllerGivesZerosAndTheIntervalHolds) {
  std::vector<std::string> args = EverySensor;
  args.insert(args.end(), {"--fixed", "--period", "0.15"});
  Sim sim(args);
  OpenBus(700);
  state_.SetIntervalSeconds(1);
  thread_ = ThGetData::Create(*bus_, list_, state_);
  ASSERT_TRUE(WaitCycles(1));
  EXPECT_EQ(Stored(0), EverySensorValues);

  ASSERT_TRUE(sim.Command("silent on"));
  ASSERT_TRUE(WaitCycles(3));
  EXPECT_EQ(Stored(2), NoValues);
  EXPECT_GE(Boxes(NoDataMessage), 1);
  ASSERT_TRUE(sim.Command("silent off"));
  ASSERT_TRUE(WaitCycles(5));
  EXPECT_EQ(Stored(4), EverySensorValues);

  // A cycle starts more than the interval (1 s) and at most a second more after the last one
  // ended; cycle ends lie that pause plus the listening (0.7 s) apart.
  std::lock_guard<std::mutex> g(lock_);
  for (std::size_t i = 1; i < cycleEnds_.size(); ++i) {
    const auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(cycleEnds_[i] - cycleEnds_[i - 1]);
    EXPECT_GE(gap.count(), 1000 + 700 - 50) << "cycle " << i;
    EXPECT_LE(gap.count(), 2000 + 700 + 1500) << "cycle " << i;
  }
}

TEST_F(BusTest, StopDuringTheListeningCompletesTheCycle) {
  std::vector<std::string> args = EverySensor;
  args.insert(args.end(), {"--fixed", "--period", "0.1"});
  Sim sim(args);
  OpenBus(1500);
  state_.SetIntervalSeconds(3600);
  TEvent terminateEvent(false, false, "Terminate");
  thread_ = ThGetData::Create(*bus_, list_, state_);
  Pump(500);  // inside the 1.5 s of listening
  ASSERT_EQ(Cycles(), 0);
  const auto stop = Clock::now();
  thread_.Terminate();
  ASSERT_TRUE(thread_.WaitFor(10000));

  // The cycle ran to its end, with all its values, and nothing more.
  EXPECT_LE(MsSince(stop), 1500 + 1500);
  ASSERT_EQ(Cycles(), 1);
  EXPECT_EQ(Stored(0), EverySensorValues);
  EXPECT_FALSE(state_.GetDataCollecting());
  EXPECT_EQ(terminateEvent.WaitFor(0), wrSignaled);
  EXPECT_EQ(status_, (std::vector<std::string>{"Datenabfrage läuft", "Datenabfrage gestoppt"}));
}

TEST_F(BusTest, IdleAcquisitionSleeps) {
  Sim sim({"--silent"});
  OpenBus(100);
  state_.SetIntervalSeconds(3600);
  thread_ = ThGetData::Create(*bus_, list_, state_);
  ASSERT_TRUE(WaitCycles(1, 5000));
  Pump(200);  // now it waits for its interval

  auto cpuMs = [](clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
  };
  const double threadBefore = cpuMs(threadClock_), processBefore = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
  const auto start = Clock::now();
  Pump(3000);
  const double wallMs = static_cast<double>(MsSince(start));
  const double threadCpu = cpuMs(threadClock_) - threadBefore;
  const double processCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
  std::printf(
      "idle acquisition over %.0f ms: thread %.3f ms CPU (%.4f %% of a core), whole process %.1f ms (%.2f "
      "%%)\n",
      wallMs, threadCpu, 100.0 * threadCpu / wallMs, processCpu, 100.0 * processCpu / wallMs);
  EXPECT_LT(threadCpu, 0.01 * wallMs);
  EXPECT_LT(processCpu, 0.10 * wallMs);
  EXPECT_EQ(Cycles(), 1);
}

TEST_F(BusTest, RequestMarkersAdvanceTheTransfers) {
  Sim sim({"--period", "1000", "--reaction", "20", "--gap", "100"});
  OpenBus(100);
  TBusTransferState transfer;
  TVersionQueryState version;
  bus_->Transfer = &transfer;
  bus_->Version = &version;
  int collected = 0, parsed = 0, shown = 0, readProgress = -1;
  std::vector<std::string> patterns;
  std::string storeStatus;
  TBusTransferHooks& hooks = bus_->TransferHooks;
  hooks.CollectReceived = [&] { ++collected; };
  hooks.ParseVersionReply = [&] {
    ++parsed;
    EXPECT_NE(state_.FInputBuffer.Joined().find("korvidan v2.19"), std::string::npos);
  };
  hooks.SetReadProgress = [&](int p) { readProgress = p; };
  hooks.ShowProgressPattern = [&](const std::string& p) { patterns.push_back(p); };
  hooks.ShowStoreStatus = [&](const std::string& s) { storeStatus = s; };
  hooks.ShowStoredData = [&] { ++shown; };

  // Version: the marker, then the next chunk is parsed.
  transfer.FTriggerHandle = bus_->ArmMarker(MarkerVersion);
  version.FWaitingVersion = true;
  const auto sendStart = Clock::now();
  bus_->SendRequest(RequestVersion);
  EXPECT_GE(MsSince(sendStart), 3 * 65);
  ASSERT_TRUE(PumpUntil([&] { return parsed == 1; }, 3000));
  EXPECT_FALSE(version.FWaitingVersion);
  EXPECT_EQ(transfer.FTriggerHandle, 0);
  bus_->Version = nullptr;

  // Programming dump: "Data RAM:", "End RAM", "Socket Data", "Socket End".
  state_.FInputBuffer.Clear();
  transfer.FTriggerHandle = bus_->ArmMarker(MarkerDataRam);
  transfer.FWaitingDataRam = true;
  bus_->SendRequest(RequestProgrammingData);
  ASSERT_TRUE(PumpUntil([&] { return transfer.FDumpComplete; }, 8000));
  EXPECT_EQ(readProgress, 0);
  EXPECT_TRUE(transfer.FRamComplete && transfer.FReceivingSockets);
  EXPECT_FALSE(transfer.FWaitingDataRam || transfer.FWaitingSocketData || transfer.FReceivingRam);
  EXPECT_EQ(transfer.FTriggerHandle + transfer.FEndTriggerHandle, 0);
  EXPECT_GE(collected, 2);
  // The chunk with the end marker follows the marker's notice.
  EXPECT_TRUE(
      PumpUntil([&] { return state_.FInputBuffer.Joined().find("Socket End") != std::string::npos; }, 3000));
  EXPECT_NE(state_.FInputBuffer.Joined().find("Data RAM:"), std::string::npos);

  // Stored data in small chunks: "-------------" .. "END"; the pattern moves with each chunk.
  transfer = TBusTransferState{};
  Pump(300);
  transfer.FTriggerHandle = bus_->ArmMarker(MarkerStoreStart);
  transfer.FWaitingStoreStart = true;
  ASSERT_TRUE(sim.Command("chunk 40 2"));
  bus_->SendRequest(RequestStoredData);
  ASSERT_TRUE(PumpUntil([&] { return shown >= 1; }, 8000));
  EXPECT_EQ(storeStatus, "Empfange Daten...");
  EXPECT_TRUE(transfer.FStoreComplete && !transfer.FStoreReceiving);
  ASSERT_FALSE(patterns.empty());
  EXPECT_EQ(patterns[0], ProgressPatterns[0]);
  EXPECT_EQ(transfer.FPatternCounter, static_cast<int>(patterns.size()) % 80);
}

TEST_F(BusTest, SendOperationsAndReplyTimeout) {
  Sim sim({"--silent"});
  OpenBus(100);

  // A hex pair waits 12 ms first, not a tick (55 ms).
  long long fastest = 1000;
  for (int i = 0; i < 5; ++i) {
    const auto t = Clock::now();
    EXPECT_EQ(bus_->SendHexPair("3A"), 0);
    EXPECT_GE(MsSince(t), 12);
    fastest = std::min(fastest, MsSince(t));
  }
  EXPECT_LT(fastest, 12 + 30);
  // A request's pauses are 65 ms, not rounded up to whole 55 ms ticks (which would take
  // 330 ms); the fastest of three, since a loaded machine may stretch any one of them.
  fastest = 1000;
  for (int i = 0; i < 3; ++i) {
    const auto t = Clock::now();
    bus_->SendRequest(RequestVersion);
    EXPECT_GE(MsSince(t), 3 * 65);
    fastest = std::min(fastest, MsSince(t));
  }
  EXPECT_LT(fastest, 3 * 65 + 100);
  EXPECT_EQ(bus_->SendCommand(std::string(4094, 'x')), -1);  // no room for it plus 3

  // The rename command goes out with the waiting send (2 s).
  auto start = Clock::now();
  list_.GetController(0)->GetIdent()->WriteID("Becken");
  EXPECT_GE(MsSince(start), 2000);
  EXPECT_EQ(Boxes("WriteID: Command = $006Becken\r"), 1);

  // Reply time-out: none when stopped; otherwise reported after about 2 s.
  int timedOut = 0;
  bus_->TransferHooks.ReplyTimedOut = [&] { ++timedOut; };
  bus_->StartReplyTimeout();
  bus_->StopReplyTimeout();
  state_.SetSecondsCounter(0);
  Pump(2500);
  EXPECT_EQ(timedOut, 0);
  // The one-second timer counted meanwhile: twice (late timers are waited for a little
  // longer), and not more than once a second.
  EXPECT_TRUE(PumpUntil([&] { return state_.GetSecondsCounter() >= 2; }, 3000));
  EXPECT_LE(state_.GetSecondsCounter(), 3);
  start = Clock::now();
  bus_->StartReplyTimeout();
  ASSERT_TRUE(PumpUntil([&] { return timedOut == 1; }, 4000));
  EXPECT_GE(MsSince(start), 1800);
  EXPECT_EQ(Boxes("Fehler bei Datenübertragung! Timeout! Verbindung überprüfen und korvidan neu starten"), 1);
}

TEST(InputBuffer, LinesAppendedWhileTakenAreNeverLostOrTorn) {
  TInputBuffer buffer;
  constexpr int Lines = 20000;
  std::string expected, taken;
  for (int i = 0; i < Lines; ++i) expected += "<" + std::to_string(i) + ">";
  std::thread writer([&] {
    for (int i = 0; i < Lines; ++i) buffer.Add("<" + std::to_string(i) + ">");
  });
  const auto start = Clock::now();
  while (taken.size() < expected.size() && MsSince(start) < 10000) taken += buffer.TakeJoined();
  writer.join();
  EXPECT_EQ(taken, expected);
}
