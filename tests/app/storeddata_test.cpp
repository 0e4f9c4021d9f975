// Stored sensor data: the cleaning of a listing, and the whole read from the controller
// simulator into the window and out to an ".ovu" file in Windows-1252.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/DlgReadSaveData.h"
#include "app/StoredDataWindow.h"
#include "app/UiThread.h"
#include "link/RS485BusNew.h"
#include "platform/Messages.h"
#include "programming/Programmingdata.h"

namespace fs = std::filesystem;

namespace {

const std::string SimulatorPath = KORVIDAN_BINARY_DIR "/tools/korvidan-sim/korvidan-sim";
constexpr std::uint16_t TestCom = 11;

std::string ReadAll(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// The simulator as a child process on a pseudo-terminal mapped to the test port.
class Sim {
 public:
  explicit Sim(std::vector<std::string> args) {
    if (access(SimulatorPath.c_str(), X_OK) != 0)
      throw std::runtime_error("simulator not built: " + SimulatorPath);
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe");
    if ((pid_ = fork()) == 0) {
      dup2(in[0], 0), dup2(out[1], 1);
      close(in[0]), close(in[1]), close(out[0]), close(out[1]);
      std::vector<char*> argv{const_cast<char*>(SimulatorPath.c_str())};
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(SimulatorPath.c_str(), argv.data());
      _exit(127);
    }
    close(in[0]), close(out[1]);
    control_ = in[1], answers_ = out[0];
    std::string path;
    char c;
    for (pollfd p{answers_, POLLIN, 0}; poll(&p, 1, 5000) > 0 && read(answers_, &c, 1) == 1 && c != '\n';)
      path += c;
    if (path.empty()) throw std::runtime_error("simulator gave no port");
    setenv(("SIO_COM" + std::to_string(TestCom)).c_str(), path.c_str(), 1);
  }
  ~Sim() {
    close(control_);
    for (int i = 0; i < 200 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) {
      if (i == 100) kill(pid_, SIGKILL);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    close(answers_);
  }

 private:
  pid_t pid_ = -1;
  int control_ = -1, answers_ = -1;
};

TEST(StoredDataLines, CleaningKeepsOneHeaderTheDataAndTwoSeparators) {
  std::vector<std::string> lines = {
      "------------",
      "Datum      Uhrzeit      1:pH",
      "Datum again",
      "-------------------",
      "08.12.2026 10:00:00       7.12       25.3",
      "noise between the separators",
      "",
      "Datum",
      "09.12.2026 10:15:00      -1.5",
      "-----------",
      "-----------------",
      "tail",
  };
  FilterStoredDataLines(lines);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "------------",
                       "Datum      Uhrzeit      1:pH",
                       "-------------------",
                       "08.12.2026 10:00:00       7,12       25,3",
                       "09.12.2026 10:15:00      -1,5",
                   }));
  std::vector<std::string> none;
  FilterStoredDataLines(none);
  EXPECT_TRUE(none.empty());
}

class StoredDataRead : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("storeddata_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    LinkHooks().MessageBox = [this](const std::string& text, const std::string&, TBoxKind) {
      messages_.push_back(text);
    };
  }
  void TearDown() override {
    LinkHooks() = TLinkHooks{};
    MessageSink = nullptr;
    fs::remove_all(dir_);
  }
  fs::path dir_;
  std::vector<std::string> messages_;
};

TEST_F(StoredDataRead, ListingFromTheControllerIsShownAndSavedAsOvuText) {
  Sim sim({"--stored", "3", "--sensor", "0:1:ph:7.12", "--sensor", "0:2:temp:25.3"});
  TAcquisitionState state;
  TDataModule1 bus(state, TestCom);
  ASSERT_EQ(bus.SioComPort1.GetPortState(), psOpen);
  bus.SioComPort1.SetLogName((dir_ / "SIO.LOG").string());
  TStoredDataForm window;
  TReadSaveDataDlg dialog(state);
  dialog.Bus = &bus;
  dialog.StoredData = &window;

  ASSERT_TRUE(dialog.StartRead());
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_FALSE(dialog.btOK->isEnabled());
  TProgData* transfer = dialog.Transfer();
  PumpUntil([&] { return transfer->StoreResult() != TTransferResult::Running; }, 15000);
  ASSERT_EQ(transfer->StoreResult(), TTransferResult::Ok);
  EXPECT_EQ(dialog.ReadStoreOutput->text().toStdString(), "Daten gelesen");
  EXPECT_TRUE(dialog.btOK->isEnabled());
  ASSERT_TRUE(window.isVisible());

  const std::vector<std::string> lines = window.Lines();
  ASSERT_EQ(lines.size(), 6u);  // separator, header, separator, three rows
  EXPECT_EQ(lines[0], std::string(59, '-'));
  EXPECT_EQ(lines[1].rfind("Datum      Uhrzeit ", 0), 0u);
  EXPECT_NE(lines[1].find("2:Temp[\xC2\xB0"
                          "C]"),
            std::string::npos);
  EXPECT_EQ(lines[2], std::string(60, '-'));
  const std::regex row(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d +7,12 +25,3( +[0-9,]+)*)");
  for (int i = 3; i < 6; ++i)
    EXPECT_TRUE(std::regex_match(lines[static_cast<std::size_t>(i)], row)) << lines[i];

  // Saved in Windows-1252, each line with CR LF, through the menu command.
  const fs::path file = dir_ / "Becken.ovu";
  window.AskFileName = [&] { return file.string(); };
  window.StoredDataMemo->document()->setModified(true);
  window.DateiSpeichernunterClick();
  EXPECT_FALSE(window.StoredDataMemo->document()->isModified());
  std::string expected;
  for (const std::string& line : lines) expected += line + "\r\n";
  const std::size_t degree = expected.find("\xC2\xB0");
  expected.replace(degree, 2, "\xB0");
  EXPECT_EQ(ReadAll(file), expected);
  EXPECT_TRUE(messages_.empty()) << messages_.front();

  // A character the file cannot hold: reported, the earlier file stays as it was.
  window.StoredDataMemo->appendPlainText(
      QString::fromUtf8("Notiz \xE2\x82\xAC ok"));  // the euro sign is fine
  ASSERT_TRUE(window.SaveToFile(file.string()));
  const std::string withEuro = ReadAll(file);
  EXPECT_NE(withEuro.find("Notiz \x80 ok\r\n"), std::string::npos);
  window.StoredDataMemo->appendPlainText(QString::fromUtf8("\xE2\x88\x9A"));  // no Windows-1252 byte
  EXPECT_FALSE(window.SaveToFile(file.string()));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("Zeile 8"), std::string::npos);
  EXPECT_EQ(ReadAll(file), withEuro);
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));
}

TEST_F(StoredDataRead, CancelEndsTheReadWithItsWarning) {
  TAcquisitionState state;
  TStoredDataForm window;
  TReadSaveDataDlg dialog(state);
  dialog.StoredData = &window;
  // No bus: the read cannot start, which is reported, and OK stays usable.
  EXPECT_FALSE(dialog.StartRead());
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_TRUE(dialog.btOK->isEnabled());
  messages_.clear();
  dialog.btAbbrechenClick();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0],
            "Die \xC3\x9C"
            "bertragung der abgespeicherten Daten wird abgebrochen!");
  EXPECT_EQ(dialog.Transfer()->StoreResult(), TTransferResult::Failed);
  EXPECT_FALSE(window.isVisible());
  dialog.btOKClick();
  EXPECT_FALSE(dialog.isVisible());
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
