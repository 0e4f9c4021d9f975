// The bus module and the acquisition thread against the controller simulator on a
// pseudo-terminal: value cycles, chunked and disturbed output, a silent controller, stopping
// during the listening, the reply markers of the requests, the send pauses, the reply
// time-out and the CPU use of an idle acquisition.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <time.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
#include "platform/Threads.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string SimulatorPath = KORVIDAN_BINARY_DIR "/tools/korvidan-sim/korvidan-sim";
constexpr std::uint16_t TestComNumber = 7;

long long MsSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// The simulator as a child process; commands go to its standard input.
class Sim {
public:
    explicit Sim(std::vector<std::string> args)
    {
        if (access(SimulatorPath.c_str(), X_OK) != 0)
            throw std::runtime_error("controller simulator not built: " + SimulatorPath);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]), close(in[1]), close(out[0]), close(out[1]);
            std::vector<char*> argv{const_cast<char*>(SimulatorPath.c_str())};
            for (std::string& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(SimulatorPath.c_str(), argv.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        control_ = in[1];
        answers_ = out[0];
        path_ = ReadLine(5000);
        if (path_.empty())
            throw std::runtime_error("simulator gave no port");
        setenv(("SIO_COM" + std::to_string(TestComNumber)).c_str(), path_.c_str(), 1);
    }
    ~Sim()
    {
        close(control_);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_)
                break;
            if (i == 100)
                kill(pid_, SIGKILL);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        close(answers_);
    }
    // A command; true when it was answered with "ok".
    bool Command(const std::string& line)
    {
        const std::string text = line + "\n";
        if (write(control_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return false;
        for (;;) {
            const std::string answer = ReadLine(3000);
            if (answer == "ok")
                return true;
            if (answer.empty() || answer.rfind("error", 0) == 0)
                return false;
        }
    }

private:
    std::string ReadLine(int timeoutMs)
    {
        std::string line;
        const auto start = Clock::now();
        while (MsSince(start) < timeoutMs) {
            pollfd p{answers_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char c;
            if (read(answers_, &c, 1) != 1)
                break;
            if (c == '\n')
                return line;
            line += c;
        }
        return line;
    }

    pid_t pid_ = -1;
    int control_ = -1, answers_ = -1;
    std::string path_;
};

const std::vector<std::string> EverySensor = {
    "--sensor", "0:1:ph:7.05",    "--sensor", "0:2:temp:25.3",  "--sensor", "0:3:redox:350",
    "--sensor", "0:4:cond-ms:52.3", "--sensor", "0:5:o2-mg:8.5", "--sensor", "0:6:level:1",
    "--sensor", "0:7:pressure:1013", "--sensor", "0:8:cond-us:850"};

struct Reading {
    std::uint8_t type;
    float value;
};
const Reading EverySensorValues[8] = {
    {SensorPH, 7.05f},    {SensorTemperature, 25.3f}, {SensorRedox, 350.0f},      {SensorSeaConductivity, 52.3f},
    {SensorOxygen, 8.5f}, {SensorLevel, 1.0f},        {SensorPressure, 1013.0f}, {SensorFreshConductivity, 850.0f}};

// What the hooks saw.
struct Seen {
    std::mutex lock;
    std::vector<std::string> boxes;
    std::vector<std::string> status;
    std::vector<std::vector<Reading>> stored;   // one entry per cycle: the eight sensors
    std::vector<Clock::time_point> cycleEnds;
    std::atomic<int> cycles{0};
    std::atomic<long> acquisitionTid{0};
    clockid_t acquisitionClock{};
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/korvidan-bus-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        tmpDir_ = dir;
        TLinkHooks& h = LinkHooks();
        h.MessageBox = [this](const std::string& text, const std::string&, TBoxKind) {
            std::lock_guard<std::mutex> g(seen_.lock);
            seen_.boxes.push_back(text);
        };
        h.StatusText = [this](const std::string& text) {
            std::lock_guard<std::mutex> g(seen_.lock);
            seen_.status.push_back(text);
        };
        h.StoreCurrentValues = [this](TControllerList& list) {
            std::vector<Reading> r;
            {
                std::lock_guard<TCriticalSection> g(SensorDataLock);
                for (int s = 0; s < 8; ++s) {
                    const TSensor* sensor = list.GetController(0)->GetSensor(s);
                    r.push_back({sensor->GetType(), sensor->GetValue()});
                }
            }
            std::lock_guard<std::mutex> g(seen_.lock);
            seen_.stored.push_back(r);
            seen_.cycleEnds.push_back(Clock::now());
            seen_.acquisitionTid = static_cast<long>(syscall(SYS_gettid));
            pthread_getcpuclockid(pthread_self(), &seen_.acquisitionClock);
            ++seen_.cycles;
        };
    }
    void TearDown() override
    {
        if (thread_.Valid() && !thread_.Finished()) {
            thread_.Terminate();
            thread_.WaitFor(30000);
        }
        bus_.reset();
        LinkHooks() = TLinkHooks{};
        std::system(("rm -rf " + tmpDir_).c_str());
    }

    void OpenBus(int listenMs)
    {
        bus_ = std::make_unique<TDataModule1>(state_, TestComNumber);
        ASSERT_EQ(bus_->SioComPort1.GetPortState(), psOpen);
        bus_->SioComPort1.SetLogName(tmpDir_ + "/SIO.LOG");
        bus_->ListenMilliseconds = listenMs;
        bus_->ScanBus(list_);
    }
    bool PumpFor(const std::function<bool()>& condition, int timeoutMs)
    {
        return PumpUntil(condition, static_cast<DWORD>(timeoutMs));
    }
    std::vector<Reading> Stored(std::size_t cycle)
    {
        std::lock_guard<std::mutex> g(seen_.lock);
        return seen_.stored.at(cycle);
    }
    int Boxes(const std::string& text)
    {
        std::lock_guard<std::mutex> g(seen_.lock);
        int n = 0;
        for (const std::string& b : seen_.boxes)
            n += b == text;
        return n;
    }
    static void ExpectEverySensor(const std::vector<Reading>& r, const std::string& context)
    {
        ASSERT_EQ(r.size(), 8u);
        for (int s = 0; s < 8; ++s) {
            EXPECT_EQ(r[s].type, EverySensorValues[s].type) << context << " sensor " << s;
            EXPECT_EQ(r[s].value, EverySensorValues[s].value) << context << " sensor " << s;
        }
    }

    std::string tmpDir_;
    Seen seen_;
    TAcquisitionState state_;
    TControllerList list_;
    std::unique_ptr<TDataModule1> bus_;
    TThreadHandle thread_;
};

}  // namespace

TEST_F(BusTest, CycleFillsEverySensorTypeAlsoFromChunksAndAmidGarbage)
{
    std::vector<std::string> args = EverySensor;
    args.insert(args.end(), {"--period", "0.15", "--seed", "7"});
    Sim sim(args);
    OpenBus(900);
    state_.SetIntervalSeconds(0);

    thread_ = ThGetData::Create(*bus_, list_, state_);
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 1; }, 10000));
    ExpectEverySensor(Stored(0), "plain output");
    EXPECT_TRUE(state_.GetDataReceived());
    EXPECT_TRUE(state_.GetDataCollecting());

    // Output in chunks of 1 to 3 bytes, and garbage put on the bus between the value lines.
    ASSERT_TRUE(sim.Command("chunk 3 1"));
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 3; }, 15000));  // a cycle fully in chunks
    ExpectEverySensor(Stored(2), "chunked output");
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sim.Command("send \\x01#\\xFF%x E9(pH )99.99 pH E0(Rx )9999 mV Ex(Te )88.8 \\xB0C E"));
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 5; }, 15000));
    ExpectEverySensor(Stored(4), "garbage between the lines");
    EXPECT_EQ(Boxes(NoDataMessage), 0);

    // A controller in percent oxygen and a level in air.
    ASSERT_TRUE(sim.Command("set 0:5:o2-pct:95.5"));
    ASSERT_TRUE(sim.Command("set 0:6:level:0"));
    const int before = seen_.cycles;
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= before + 2; }, 15000));
    const std::vector<Reading> r = Stored(static_cast<std::size_t>(before + 1));
    EXPECT_EQ(r[4].type, SensorOxygen);
    EXPECT_EQ(r[4].value, 95.5f);
    EXPECT_EQ(list_.GetController(0)->GetSensor(4)->GetO2Mode(), O2ModePercent);
    EXPECT_EQ(r[5].type, SensorLevel);
    EXPECT_EQ(r[5].value, 0.0f);
}

TEST_F(BusTest, SilentControllerGivesZerosAndTheIntervalHolds)
{
    std::vector<std::string> args = EverySensor;
    args.insert(args.end(), {"--period", "0.15"});
    Sim sim(args);
    OpenBus(700);
    state_.SetIntervalSeconds(1);

    thread_ = ThGetData::Create(*bus_, list_, state_);
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 1; }, 10000));
    ExpectEverySensor(Stored(0), "before the silence");

    ASSERT_TRUE(sim.Command("silent on"));
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 3; }, 15000));
    for (const Reading& r : Stored(2)) {
        EXPECT_EQ(r.type, SensorNone);
        EXPECT_EQ(r.value, 0.0f);
    }
    EXPECT_GE(Boxes(NoDataMessage), 1);

    ASSERT_TRUE(sim.Command("silent off"));
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 5; }, 15000));
    ExpectEverySensor(Stored(4), "after the silence");

    // Each cycle starts more than the interval (1 s) and at most one second more after the
    // previous one ended: cycle length = pause + listening (0.7 s).
    std::lock_guard<std::mutex> g(seen_.lock);
    for (std::size_t i = 1; i < seen_.cycleEnds.size(); ++i) {
        const long long gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(seen_.cycleEnds[i] - seen_.cycleEnds[i - 1]).count();
        EXPECT_GE(gap, 1000 + 700 - 50) << "cycle " << i;
        EXPECT_LE(gap, 2000 + 700 + 1500) << "cycle " << i;
    }
}

TEST_F(BusTest, StopDuringTheListeningCompletesTheCycle)
{
    std::vector<std::string> args = EverySensor;
    args.insert(args.end(), {"--period", "0.1"});
    Sim sim(args);
    OpenBus(1500);
    state_.SetIntervalSeconds(3600);
    TEvent terminateEvent(false, false, "Terminate");

    thread_ = ThGetData::Create(*bus_, list_, state_);
    ASSERT_TRUE(PumpFor([&] { return state_.GetDataCollecting(); }, 2000));
    PumpFor([] { return false; }, 500);  // well inside the 1.5 s of listening
    ASSERT_EQ(seen_.cycles, 0);
    const auto stop = Clock::now();
    thread_.Terminate();
    ASSERT_TRUE(thread_.WaitFor(10000));
    const long long took = MsSince(stop);

    // The cycle ran to its end: the rest of the listening plus the store, nothing more.
    EXPECT_LE(took, 1500 + 1500);
    ASSERT_EQ(seen_.cycles, 1);
    ExpectEverySensor(Stored(0), "stopped cycle");
    EXPECT_FALSE(state_.GetDataCollecting());
    EXPECT_EQ(terminateEvent.WaitFor(0), wrSignaled);
    std::lock_guard<std::mutex> g(seen_.lock);
    ASSERT_EQ(seen_.status.size(), 2u);
    EXPECT_EQ(seen_.status[0], "Datenabfrage läuft");
    EXPECT_EQ(seen_.status[1], "Datenabfrage gestoppt");
}

TEST_F(BusTest, IdleAcquisitionSleeps)
{
    Sim sim({"--silent"});
    OpenBus(100);
    state_.SetIntervalSeconds(3600);
    thread_ = ThGetData::Create(*bus_, list_, state_);
    ASSERT_TRUE(PumpFor([&] { return seen_.cycles >= 1; }, 5000));
    PumpFor([] { return false; }, 200);

    // The acquisition thread waits for its interval now (3600 s).
    clockid_t threadClock;
    {
        std::lock_guard<std::mutex> g(seen_.lock);
        threadClock = seen_.acquisitionClock;
    }
    auto cpuMs = [](clockid_t clock) {
        timespec t{};
        clock_gettime(clock, &t);
        return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    const double threadBefore = cpuMs(threadClock);
    const double processBefore = cpuMs(CLOCK_PROCESS_CPUTIME_ID);
    const auto start = Clock::now();
    PumpFor([] { return false; }, 3000);
    const double wallMs = static_cast<double>(MsSince(start));
    const double threadCpu = cpuMs(threadClock) - threadBefore;
    const double processCpu = cpuMs(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
    std::printf("idle acquisition over %.0f ms: thread %.3f ms CPU (%.4f %% of a core), whole process %.1f ms (%.2f %%)\n",
                wallMs, threadCpu, 100.0 * threadCpu / wallMs, processCpu, 100.0 * processCpu / wallMs);
    EXPECT_LT(threadCpu, 0.01 * wallMs);
    EXPECT_LT(processCpu, 0.10 * wallMs);
    EXPECT_EQ(seen_.cycles, 1);
}

TEST_F(BusTest, RequestMarkersAdvanceTheTransfers)
{
    Sim sim({"--period", "1000", "--reaction", "20", "--gap", "100"});
    OpenBus(100);

    TBusTransferState transfer;
    TVersionQueryState version;
    bus_->Transfer = &transfer;
    bus_->Version = &version;
    int collected = 0, parsed = 0, shown = 0, readProgress = -1;
    std::vector<std::string> patterns;
    std::string storeStatus;
    bus_->TransferHooks.CollectReceived = [&] { ++collected; };
    bus_->TransferHooks.ParseVersionReply = [&] {
        ++parsed;
        EXPECT_NE(state_.FInputBuffer.Joined().find("korvidan v2.19"), std::string::npos);
    };
    bus_->TransferHooks.SetReadProgress = [&](int p) { readProgress = p; };
    bus_->TransferHooks.ShowProgressPattern = [&](const std::string& p) { patterns.push_back(p); };
    bus_->TransferHooks.ShowStoreStatus = [&](const std::string& s) { storeStatus = s; };
    bus_->TransferHooks.ShowStoredData = [&] {
        ++shown;
        transfer.FStoreComplete = false;
    };

    // Version: marker "korvidan", then the next chunk is parsed.
    transfer.FTriggerHandle = bus_->ArmMarker(MarkerVersion);
    version.FWaitingVersion = true;
    const auto sendStart = Clock::now();
    bus_->SendRequest(RequestVersion);
    const long long sendMs = MsSince(sendStart);
    EXPECT_GE(sendMs, 3 * 65);
    EXPECT_LT(sendMs, 3 * 65 + 100);  // 65 ms pauses, not rounded up to whole 55 ms ticks (330 ms)
    ASSERT_TRUE(PumpFor([&] { return parsed == 1; }, 3000));
    EXPECT_FALSE(version.FWaitingVersion);
    EXPECT_EQ(transfer.FTriggerHandle, 0);
    bus_->Version = nullptr;

    // Programming dump: "Data RAM:" .. "End RAM" .. "Socket Data" .. "Socket End".
    state_.FInputBuffer.Clear();
    transfer.FTriggerHandle = bus_->ArmMarker(MarkerDataRam);
    transfer.FWaitingDataRam = true;
    bus_->SendRequest(RequestProgrammingData);
    ASSERT_TRUE(PumpFor([&] { return transfer.FDumpComplete; }, 8000));
    EXPECT_EQ(readProgress, 0);
    EXPECT_TRUE(transfer.FRamComplete);
    EXPECT_FALSE(transfer.FWaitingDataRam);
    EXPECT_FALSE(transfer.FWaitingSocketData);
    EXPECT_FALSE(transfer.FReceivingRam);
    EXPECT_TRUE(transfer.FReceivingSockets);
    EXPECT_EQ(transfer.FTriggerHandle, 0);
    EXPECT_EQ(transfer.FEndTriggerHandle, 0);
    EXPECT_GE(collected, 2);
    // The chunk with the end marker follows the marker's notice.
    EXPECT_TRUE(PumpFor([&] { return state_.FInputBuffer.Joined().find("Socket End") != std::string::npos; }, 3000));
    EXPECT_NE(state_.FInputBuffer.Joined().find("Data RAM:"), std::string::npos);
    transfer = TBusTransferState{};

    // Stored data: "-------------" .. "END", the pattern moves with each chunk.
    PumpFor([] { return false; }, 300);
    transfer.FTriggerHandle = bus_->ArmMarker(MarkerStoreStart);
    transfer.FWaitingStoreStart = true;
    ASSERT_TRUE(sim.Command("chunk 40 2"));
    bus_->SendRequest(RequestStoredData);
    ASSERT_TRUE(PumpFor([&] { return shown == 1; }, 8000));
    EXPECT_EQ(storeStatus, "Empfange Daten...");
    EXPECT_FALSE(transfer.FStoreReceiving);
    ASSERT_FALSE(patterns.empty());
    EXPECT_EQ(patterns[0], ProgressPatterns[0]);
    EXPECT_EQ(transfer.FPatternCounter, static_cast<int>(patterns.size()) % 80);

    // With nothing waiting, a marker changes nothing.
    const TBusTransferState idle = transfer;
    const std::uint16_t handle = bus_->ArmMarker("korvidan");
    bus_->SendRequest(RequestVersion);
    PumpFor([] { return false; }, 800);
    bus_->RemoveMarker(handle);
    EXPECT_EQ(transfer.FTriggerHandle, idle.FTriggerHandle);
    EXPECT_EQ(transfer.FStoreComplete, idle.FStoreComplete);
    EXPECT_EQ(parsed, 1);
}

TEST_F(BusTest, SendOperationsAndReplyTimeout)
{
    Sim sim({"--silent"});
    OpenBus(100);

    // The hex pair waits 12 ms, not a tick (55 ms).
    long long fastest = 1000;
    for (int i = 0; i < 5; ++i) {
        const auto t = Clock::now();
        EXPECT_EQ(bus_->SendHexPair("3A"), 0);
        const long long took = MsSince(t);
        EXPECT_GE(took, 12);
        fastest = std::min(fastest, took);
    }
    EXPECT_LT(fastest, 12 + 30);
    EXPECT_EQ(bus_->SendCommand("D"), 0);
    EXPECT_EQ(bus_->SendLineFeed(), 0);
    EXPECT_EQ(bus_->SendCommand(std::string(4094, 'x')), -1);  // no room for it plus 3

    // The rename command goes out through the waiting send (2 s pause).
    auto start = Clock::now();
    list_.GetController(0)->GetIdent()->WriteID("Becken");
    long long took = MsSince(start);
    EXPECT_GE(took, 2000);
    EXPECT_EQ(Boxes("WriteID: Command = $006Becken\r"), 1);

    // Reply time-out: reported after about 2 s unless stopped.
    int timedOut = 0;
    bus_->TransferHooks.ReplyTimedOut = [&] { ++timedOut; };
    bus_->StartReplyTimeout();
    bus_->StopReplyTimeout();
    state_.SetSecondsCounter(0);
    PumpFor([] { return false; }, 2500);
    EXPECT_EQ(timedOut, 0);
    // Meanwhile the one-second timer counted the seconds.
    EXPECT_GE(state_.GetSecondsCounter(), 2);
    EXPECT_LE(state_.GetSecondsCounter(), 3);
    start = Clock::now();
    bus_->StartReplyTimeout();
    ASSERT_TRUE(PumpFor([&] { return timedOut == 1; }, 4000));
    EXPECT_GE(MsSince(start), 1800);
    EXPECT_EQ(Boxes("Fehler bei Datenübertragung! Timeout! Verbindung überprüfen und korvidan neu starten"), 1);
}

TEST(InputBuffer, LinesAppendedWhileTakenAreNeverLostOrTorn)
{
    TInputBuffer buffer;
    constexpr int Lines = 20000;
    std::thread writer([&] {
        for (int i = 0; i < Lines; ++i)
            buffer.Add("<" + std::to_string(i) + ">");
    });
    std::string taken;
    while (taken.size() < 1000 || buffer.Count() > 0 || writer.joinable()) {
        taken += buffer.TakeJoined();
        if (writer.joinable() && taken.find("<" + std::to_string(Lines - 1) + ">") != std::string::npos) {
            writer.join();
        }
        if (!writer.joinable() && buffer.Count() == 0)
            break;
    }
    if (writer.joinable())
        writer.join();
    taken += buffer.TakeJoined();
    std::string expected;
    for (int i = 0; i < Lines; ++i)
        expected += "<" + std::to_string(i) + ">";
    EXPECT_EQ(taken, expected);
}

TEST(AcquisitionState, WaitEndsOnTheCounterOrTheStop)
{
    TAcquisitionState state;
    state.SetIntervalSeconds(2);
    std::atomic<bool> stop{false};
    std::thread ticker([&] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            state.IncSecondsCounter();
        }
    });
    EXPECT_TRUE(state.WaitForInterval([&] { return stop.load(); }));
    EXPECT_EQ(state.GetSecondsCounter(), 3);
    ticker.join();

    state.SetSecondsCounter(0);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stop = true;
        state.Wake();
    });
    const auto start = Clock::now();
    EXPECT_FALSE(state.WaitForInterval([&] { return stop.load(); }, 10000));
    EXPECT_LT(MsSince(start), 1000);
    stopper.join();
}
