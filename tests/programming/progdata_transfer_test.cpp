// Programming-data transfers over a pseudo-terminal: read and write against the
// controller simulator for both byte orders, and against a scripted controller
// that answers a wrong checksum, falls silent in the middle of a dump, sends a
// damaged dump or never answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "programming/Programmingdata.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace {

constexpr std::uint16_t TestCom = 9;

const char* const BadDumpText =
    "Fehler bei Datenübertragung! Bitte Verbindung überprüfen und erneut versuchen.";
const char* const NoDumpText = "Keine Daten vom korvidan erhalten! Bitte serielle Verbindung überprüfen.";
const char* const ChecksumBadText =
    "Fehler bei Datenübertragung! Verbindung überprüfen und korvidan neu starten";
const char* const WriteOkText = "Datenübertragung OK";
const char* const TimeoutText =
    "Fehler bei Datenübertragung! Timeout! Verbindung überprüfen und korvidan neu starten";

std::string ToHex(const std::uint8_t* data, std::size_t size) {
  std::string text;
  char pair[3];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02X", data[i]);
    text += pair;
  }
  return text;
}

// An image in which every float is distinctive, with the end marker.
void FillPattern(TProgrammingImage& image, TSocketTable& sockets, int seed) {
  for (std::size_t i = 0; i < image.Bytes.size(); ++i)
    image.Bytes[i] = static_cast<std::uint8_t>(i * 13 + seed);
  image.SetTrendPeriod(TrendPeriod1Day);
  image.Bytes[ProgLayout::EndMarkerOffset] = ProgLayout::EndMarker0;
  image.Bytes[ProgLayout::EndMarkerOffset + 1] = ProgLayout::EndMarker1;
  for (std::size_t i = 0; i < sockets.Bytes.size(); ++i)
    sockets.Bytes[i] = static_cast<std::uint8_t>(i * 5 + seed);
}

// The simulator as a child process, mapped to the test port.
struct Sim : support::Simulator {
  explicit Sim(std::vector<std::string> args) : Simulator("korvidan-sim", std::move(args), TestCom) {}
};

// A controller played by the test on the master side of a pseudo-terminal.
class ScriptedController {
 public:
  enum class Dump { Whole, StopsMidway, DamagedPair };
  enum class Reply { Correct, Wrong, Empty, None };

  ScriptedController(std::string image, std::string sockets)
      : imageHex_(std::move(image)), socketHex_(std::move(sockets)) {
    pty_.MapTo(TestCom);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedController() {
    stop_ = true;
    thread_.join();
  }

  std::atomic<Dump> dump{Dump::Whole};
  std::atomic<Reply> reply{Reply::Correct};
  std::atomic<bool> silent{false};
  std::atomic<int> readRequests{0};
  std::atomic<int> writeRequests{0};
  std::atomic<int> hexReceived{0};
  // "Receive Start" only when the PC's retry of the write request begins.
  std::atomic<bool> answerOnRetry{false};
  std::atomic<bool> answering{false};  // the answer to the retry is about to go out

  // The hex digits of the last complete write.
  std::string Received() {
    std::lock_guard<std::mutex> g(lock_);
    return received_;
  }

 private:
  void Put(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(pty_.master(), text.data() + done, text.size() - done);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  // Marker blocks go out apart, so that the PC can arm the next marker.
  void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(100)); }

  void SendDump() {
    std::string image = imageHex_;
    if (dump == Dump::DamagedPair) image[1001] = 'G';
    Put("Data RAM:\r\n");
    Pause();
    if (dump == Dump::StopsMidway) {
      Put(image.substr(0, 3000));
      return;
    }
    Put(image + "\r\nEnd RAM\r\n");
    Pause();
    Put("Socket Data\r\n" + socketHex_ + "\r\n");
    Pause();
    Put("Socket End\r\n");
  }

  void Run() {
    std::string line;
    bool receiving = false, waitingForRetry = false;
    std::string data;
    while (!stop_) {
      pollfd p{pty_.master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buffer[512];
      const ssize_t n = read(pty_.master(), buffer, sizeof buffer);
      if (n <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buffer[i];
        if (receiving) {
          if (waitingForRetry && c == '\n') {
            // The answer comes while the PC is between the retry's "D" and its letter.
            waitingForRetry = false;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            answering = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            Put("Receive Start\r\n");
            answering = false;
            continue;
          }
          // Data is hex only: a "G" right behind a "D" shows that the "D" began a request.
          if (c == 'G' && !data.empty() && data.back() == 'D') {
            data.pop_back();
            continue;
          }
          if (std::isxdigit(static_cast<unsigned char>(c))) data += c;
          hexReceived = static_cast<int>(data.size());
          if (data.size() == 7156 + 2 + 238 + 2) {
            receiving = false;
            {
              std::lock_guard<std::mutex> g(lock_);
              received_ = data;
            }
            unsigned sum = 0;
            for (std::size_t k = 0; k < data.size(); ++k)
              if (k < 7156 || (k >= 7158 && k < 7158 + 238)) sum += static_cast<unsigned char>(data[k]);
            char answer[8];
            std::snprintf(answer, sizeof answer, "%02X",
                          reply == Reply::Wrong ? (sum + 1) & 0xFF : sum & 0xFF);
            Pause();
            if (reply != Reply::None)
              Put(reply == Reply::Empty ? "CheckSum\r\n" : std::string(answer) + "CheckSum\r\n");
          }
          continue;
        }
        if (c != '\n') {
          line += c;
          continue;
        }
        if (line == "DR") {
          ++readRequests;
          if (!silent) SendDump();
        } else if (line == "DG") {
          ++writeRequests;
          waitingForRetry = answerOnRetry;
          if (!waitingForRetry) Put("Receive Start\r\n");
          receiving = true;
          data.clear();
        }
        line.clear();
      }
    }
  }

  std::string imageHex_, socketHex_;
  std::mutex lock_;
  std::string received_;
  support::PtyPair pty_{false};  // a blocking far end
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

struct Box {
  std::string text, caption;
  TBoxKind kind;
};

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkHooks().MessageBox = [this](const std::string& text, const std::string& caption, TBoxKind kind) {
      boxes_.push_back({text, caption, kind});
    };
    data_.HexPairPauseMs = 0;
    data_.Hooks.FirmwareVersion = [this] { return firmware_; };
    data_.Hooks.LockWindows = [this](bool lock) { locked_ += lock ? 1 : -1; };
    data_.Hooks.ShowAllPages = [this] { ++refreshes_; };
  }
  void TearDown() override {
    data_.Detach();
    bus_.reset();
    LinkHooks() = TLinkHooks{};
  }

  void OpenBus() {
    bus_ = std::make_unique<TDataModule1>(state_, TestCom);
    ASSERT_EQ(bus_->SioComPort1.GetPortState(), psOpen);
    bus_->SioComPort1.SetLogName(dir_ + "/SIO.LOG");
    data_.Attach(*bus_, state_);
  }
  TTransferResult Read(DWORD timeoutMs = 15000) {
    EXPECT_TRUE(data_.ReadProgrammingData());
    PumpUntil([&] { return data_.ReadResult() != TTransferResult::Running; }, timeoutMs);
    return data_.ReadResult();
  }
  TTransferResult Write(DWORD timeoutMs = 30000) {
    EXPECT_TRUE(data_.WriteProgrammingData());
    PumpUntil([&] { return data_.WriteResult() != TTransferResult::Running; }, timeoutMs);
    return data_.WriteResult();
  }
  int CountBoxes(const std::string& text) const {
    int n = 0;
    for (const Box& b : boxes_) n += b.text == text;
    return n;
  }

  support::TempDir tmp_{"korvidan-progtx-"};
  const std::string dir_ = tmp_.str();
  int firmware_ = 216;
  int locked_ = 0;
  int refreshes_ = 0;
  std::vector<Box> boxes_;
  TAcquisitionState state_;
  std::unique_ptr<TDataModule1> bus_;
  TProgData data_;
};

class SimulatorTransfer : public TransferTest, public ::testing::WithParamInterface<int> {};

TEST_P(SimulatorTransfer, ReadAndWriteRoundTripExactly) {
  firmware_ = GetParam();
  TProgrammingImage image;
  TSocketTable sockets;
  FillPattern(image, sockets, 1);
  ProgrammingImage = image;
  SocketTable = sockets;
  const std::string source = dir_ + "/source.prg", stored = dir_ + "/stored.prg";
  ASSERT_TRUE(data_.SaveToFile(source));

  Sim sim({"--controller",
           "version=" + std::to_string(firmware_) + ",clock=off,image=" + source + ",save=" + stored,
           "--period", "0.5"});
  OpenBus();

  ClearImage();
  ASSERT_EQ(Read(), TTransferResult::Ok);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(ProgrammingImage.Bytes, image.Bytes);
  EXPECT_EQ(SocketTable.Bytes, sockets.Bytes);
  EXPECT_FLOAT_EQ(ProgrammingImage.GetTrendPeriod(), TrendPeriod1Day);
  EXPECT_TRUE(data_.GetImageValid());
  EXPECT_EQ(refreshes_, 1);
  EXPECT_EQ(locked_, 0);

  // Edit, write, and find the edit in the controller, in PC order in its file.
  ProgrammingImage.SetTrendPeriod(TrendPeriod1Week);
  ProgrammingImage.GetTimerRecord(3).SetStart(3723.5f);
  SocketTable.GetEntry(5).SetValueOn(77);
  const TProgrammingImage edited = ProgrammingImage;
  const TSocketTable editedSockets = SocketTable;
  ASSERT_EQ(Write(), TTransferResult::Ok);
  EXPECT_EQ(CountBoxes(WriteOkText), 1);
  EXPECT_EQ(CountBoxes(ChecksumBadText), 0);
  EXPECT_EQ(ProgrammingImage.Bytes, edited.Bytes);  // back in PC order after the send
  EXPECT_EQ(locked_, 0);
  PumpUntil([&] { return access(stored.c_str(), R_OK) == 0; }, 5000);
  std::ifstream in(stored, std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  ASSERT_EQ(file.size(), 3709u);
  EXPECT_TRUE(std::equal(edited.Bytes.begin(), edited.Bytes.end(), file.begin() + 12));
  EXPECT_TRUE(std::equal(editedSockets.Bytes.begin(), editedSockets.Bytes.end(), file.begin() + 3590));

  // And read back from the controller.
  ClearImage();
  ASSERT_EQ(Read(), TTransferResult::Ok);
  EXPECT_EQ(ProgrammingImage.Bytes, edited.Bytes);
  EXPECT_EQ(SocketTable.Bytes, editedSockets.Bytes);
}

INSTANTIATE_TEST_SUITE_P(ByteOrder, SimulatorTransfer, ::testing::Values(216, 219));

TEST_F(TransferTest, StoredDataListingIsCutAtItsMarkers) {
  Sim sim({"--stored", "5", "--period", "0.5"});
  OpenBus();
  std::string listing, status;
  int shown = 0;
  data_.Hooks.ShowStoredData = [&](const std::string& text) { listing = text, ++shown; };
  data_.Hooks.StoreStatus = [&](const std::string& text) { status = text; };
  ASSERT_TRUE(data_.StartStoredDataRead());
  PumpUntil([&] { return data_.StoreResult() != TTransferResult::Running; }, 15000);
  ASSERT_EQ(data_.StoreResult(), TTransferResult::Ok);
  EXPECT_EQ(shown, 1);
  EXPECT_EQ(status, "Daten gelesen");
  EXPECT_TRUE(boxes_.empty());
  EXPECT_NE(listing.find("Datum"), std::string::npos);
  EXPECT_EQ(listing.find("END"), std::string::npos);
  EXPECT_NE(listing.front(), '\r');  // the cut starts inside the first hyphen line
  EXPECT_FALSE(data_.GetStoreTimerEnabled());
  EXPECT_EQ(data_.FTriggerHandle, 0);
  EXPECT_EQ(data_.FEndTriggerHandle, 0);
}

// The dump parse on its own, over what a read would have collected.
TEST(DumpParse, LastMarkerDecidesAndTheBufferBoundsTheDump) {
  TProgrammingImage image;
  TSocketTable sockets;
  FillPattern(image, sockets, 7);
  const std::string dump = "Data RAM:\r\n" + ToHex(image.Bytes.data(), image.Bytes.size()) +
                           "\r\nEnd RAM\r\nSocket Data\r\n" +
                           ToHex(sockets.Bytes.data(), sockets.Bytes.size()) + "\r\nSocket End\r\n";
  std::vector<std::string> boxes;
  LinkHooks().MessageBox = [&](const std::string& text, const std::string&, TBoxKind) {
    boxes.push_back(text);
  };
  TProgData data;
  data.Hooks.FirmwareVersion = [] { return 216; };
  auto parse = [&](const std::string& text) {
    data.FBuffer.fill(0);
    for (std::size_t i = 0; i < text.size(); ++i)
      data.PutByte(static_cast<std::int32_t>(i), static_cast<std::uint8_t>(text[i]));
    data.ParseDump();
  };

  // A dump that broke off after its marker, then the whole one: the later marker counts.
  ClearImage();
  parse("Data RAM:\r\n0102030405" + dump);
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(data.GetImageValid());
  EXPECT_EQ(ProgrammingImage.Bytes, image.Bytes);
  EXPECT_EQ(SocketTable.Bytes, sockets.Bytes);

  // Pushed past the 9000 characters of the buffer: refused, the image stays.
  ProgrammingImage.SetByte(7, 0x42);
  const TProgrammingImage before = ProgrammingImage;
  parse(std::string(2000, 'x') + dump);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], BadDumpText);
  EXPECT_FALSE(data.GetImageValid());
  EXPECT_EQ(ProgrammingImage.Bytes, before.Bytes);
  LinkHooks() = TLinkHooks{};
}

class ScriptedTransfer : public TransferTest {
 protected:
  void Start() {
    FillPattern(controllerImage_, controllerSockets_, 9);
    controller_ = std::make_unique<ScriptedController>(
        ToHex(controllerImage_.Bytes.data(), controllerImage_.Bytes.size()),
        ToHex(controllerSockets_.Bytes.data(), controllerSockets_.Bytes.size()));
    OpenBus();
    // The image in memory before the transfer, valid.
    FillPattern(ProgrammingImage, SocketTable, 4);
    before_ = ProgrammingImage;
    socketsBefore_ = SocketTable;
    data_.SetImageValid(true);
  }
  TProgrammingImage controllerImage_, before_;
  TSocketTable controllerSockets_, socketsBefore_;
  std::unique_ptr<ScriptedController> controller_;
};

TEST_F(ScriptedTransfer, WrongEmptyOrMissingChecksumReplyIsAFailure) {
  Start();
  ASSERT_EQ(Write(), TTransferResult::Ok);  // the script's own checksum is right
  EXPECT_EQ(CountBoxes(WriteOkText), 1);

  using R = ScriptedController::Reply;
  for (R reply : {R::Wrong, R::Empty, R::None}) {
    SCOPED_TRACE(static_cast<int>(reply));
    controller_->reply = reply;
    boxes_.clear();
    ASSERT_EQ(Write(), TTransferResult::Failed);
    EXPECT_EQ(CountBoxes(reply == R::None ? TimeoutText : ChecksumBadText), 1);
    EXPECT_EQ(CountBoxes(WriteOkText), 0);
    EXPECT_EQ(locked_, 0);
    EXPECT_EQ(ProgrammingImage.Bytes, before_.Bytes);
  }
  EXPECT_EQ(controller_->writeRequests, 4);
}

TEST_F(ScriptedTransfer, ControllerReadyDuringTheRetriedRequestGetsTheDataAfterIt) {
  Start();
  controller_->answerOnRetry = true;
  // A busy window thread: the message loop that runs between two letters of the request
  // returns only after the controller's answer has been handled.
  LinkHooks().ProcessMessages = [this] {
    if (controller_->answering)
      PumpUntil([&] { return data_.FSendStarted; }, 2000);
    else
      ProcessMessages();
  };
  ASSERT_EQ(Write(), TTransferResult::Ok);
  EXPECT_EQ(CountBoxes(WriteOkText), 1);
  EXPECT_EQ(controller_->writeRequests, 1);  // the retry's letters were not taken for data
  const std::string received = controller_->Received();
  ASSERT_EQ(received.size(), 7156u + 2 + 238 + 2);
  EXPECT_EQ(received.substr(0, 7156), ToHex(before_.Bytes.data(), before_.Bytes.size()));  // 2.16: PC order
  EXPECT_EQ(received.substr(7158, 238), ToHex(socketsBefore_.Bytes.data(), socketsBefore_.Bytes.size()));
}

TEST_F(ScriptedTransfer, DumpThatStopsOrIsDamagedLeavesTheImage) {
  Start();
  data_.ReceiveSilenceTicks = 3;
  for (auto dump : {ScriptedController::Dump::StopsMidway, ScriptedController::Dump::DamagedPair}) {
    SCOPED_TRACE(static_cast<int>(dump));
    controller_->dump = dump;
    boxes_.clear();
    data_.SetImageValid(true);
    ASSERT_EQ(Read(), TTransferResult::Failed);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].text, BadDumpText);
    EXPECT_EQ(boxes_[0].caption, "Datenübertragung");
    EXPECT_EQ(ProgrammingImage.Bytes, before_.Bytes);
    EXPECT_EQ(SocketTable.Bytes, socketsBefore_.Bytes);
    EXPECT_FALSE(data_.GetImageValid());
    EXPECT_FALSE(data_.RetryTimerEnabled());
    EXPECT_EQ(data_.FTriggerHandle, 0);  // no marker left armed for the next transfer
    EXPECT_EQ(data_.FEndTriggerHandle, 0);
    EXPECT_EQ(locked_, 0);
    EXPECT_EQ(refreshes_, 0);
  }

  // A whole dump after the broken ones: what they left in the buffer does no harm.
  controller_->dump = ScriptedController::Dump::Whole;
  firmware_ = 219;
  ASSERT_EQ(Read(), TTransferResult::Ok);
  TProgrammingImage expected = controllerImage_;
  expected.SwapByteOrder(219);  // the script sends the bytes as they are: bus order
  EXPECT_EQ(ProgrammingImage.Bytes, expected.Bytes);
  EXPECT_EQ(SocketTable.Bytes, controllerSockets_.Bytes);
  EXPECT_TRUE(data_.GetImageValid());
  // One request for each read; a slow line (a loaded machine) may see a read's retry tick
  // come before the dump's first line, and the request go out once more, as it should.
  EXPECT_GE(controller_->readRequests, 3);
}

// The end marker's notification comes before its own characters: a retry tick between the
// two waits for them, instead of cutting a listing that has no end yet.
TEST_F(ScriptedTransfer, StoreTickBetweenTheEndAndItsCharactersWaitsForThem) {
  Start();  // the script leaves the listing's request unanswered: the test plays the bus
  std::string listing;
  data_.Hooks.ShowStoredData = [&](const std::string& text) { listing = text; };
  ASSERT_TRUE(data_.StartStoredDataRead());
  const std::string line(60, '-');
  state_.FInputBuffer.Add(line + "\r\nDatum      Uhrzeit       1:pH\r\n" + line + "\r\n");
  data_.FWaitingStoreStart = false;
  data_.FStoreComplete = true;  // the end's notification has been handled
  data_.GetStoreTimerTimer();
  EXPECT_EQ(data_.StoreResult(), TTransferResult::Running);
  EXPECT_TRUE(boxes_.empty());
  state_.FInputBuffer.Add("END\r\n");
  data_.GetStoreTimerTimer();
  EXPECT_EQ(data_.StoreResult(), TTransferResult::Ok);
  // From inside the first hyphen line to three characters before the end.
  EXPECT_EQ(listing, line.substr(1) + "\r\nDatum      Uhrzeit       1:pH\r\n" + line.substr(1));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(ScriptedTransfer, UnansweredReadGivesUpAtTheTwentyFifthTick) {
  Start();
  controller_->silent = true;
  ASSERT_EQ(Read(), TTransferResult::Failed);
  // The first request and one on each of the ticks 1 to 24.
  EXPECT_EQ(controller_->readRequests, 25);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, NoDumpText);
  EXPECT_EQ(ProgrammingImage.Bytes, before_.Bytes);
  EXPECT_FALSE(data_.RetryTimerEnabled());
  EXPECT_EQ(locked_, 0);
}

}  // namespace
