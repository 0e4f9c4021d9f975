// Stored sensor data: the cleaning of a listing, and the whole read from the controller
// simulator into the window and out to an ".ovu" file in Windows-1252.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <chrono>
#include <filesystem>
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
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t TestCom = 11;

using support::ReadFile;

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
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    LinkHooks().MessageBox = [this](const std::string& text, const std::string&, TBoxKind) {
      messages_.push_back(text);
    };
  }
  void TearDown() override {
    LinkHooks() = TLinkHooks{};
    MessageSink = nullptr;
  }
  support::TempDir tmp_{"storeddata_"};
  const fs::path& dir_ = tmp_.path();
  std::vector<std::string> messages_;
};

TEST_F(StoredDataRead, ListingFromTheControllerIsShownAndSavedAsOvuText) {
  support::Simulator sim("korvidan-sim",
                         {"--fixed", "--stored", "3", "--sensor", "0:1:ph:7.12", "--sensor", "0:2:temp:25.3"},
                         TestCom);
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
  EXPECT_EQ(ReadFile(file), expected);
  EXPECT_TRUE(messages_.empty()) << messages_.front();

  // A character the file cannot hold: reported, the earlier file stays as it was.
  window.StoredDataMemo->appendPlainText(QString::fromUtf8(
      "Notiz \xE2\x82\xAC\xC2\xA0ok"));  // the euro sign and the non-breaking space are fine
  ASSERT_TRUE(window.SaveToFile(file.string()));
  const std::string withEuro = ReadFile(file);
  EXPECT_NE(withEuro.find("Notiz \x80\xA0ok\r\n"), std::string::npos);
  window.StoredDataMemo->appendPlainText(QString::fromUtf8("\xE2\x88\x9A"));  // no Windows-1252 byte
  EXPECT_FALSE(window.SaveToFile(file.string()));
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("Zeile 8"), std::string::npos);
  EXPECT_EQ(ReadFile(file), withEuro);
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

  // A folder that is not there: the box names the cause in German.
  messages_.clear();
  window.StoredDataMemo->setPlainText("Notiz");
  EXPECT_FALSE(window.SaveToFile((dir_ / "fehlt" / "Becken.ovu").string()));
  EXPECT_EQ(messages_, std::vector<std::string>{"Die Datei konnte nicht geschrieben werden: Der Ordner der "
                                                "Datei ist nicht vorhanden."});
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
