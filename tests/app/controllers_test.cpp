// The controller management dialog: the list of controllers, and renaming one on the bus
// with the exact rename command; names the bus cannot carry are refused before anything
// is sent.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <filesystem>
#include <string>
#include <vector>

#include "app/DialogVerwalten.h"
#include "app/ErrorText.h"
#include "app/UiThread.h"
#include "link/RS485BusNew.h"
#include "tests/support/Pty.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint16_t TestCom = 12;

class ControllersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pty_.MapTo(TestCom);
    MessageSink = [this](const std::string& text, TMsgKind) { messages_.push_back(text); };
    LinkHooks().MessageBox = [this](const std::string& text, const std::string&, TBoxKind) {
      boxes_.push_back(text);
    };
    LinkHooks().ErrorText = [](const std::exception& e) { return ErrorText(e); };
    TForm4::ConfirmSink = [this](const std::string& text) {
      questions_.push_back(text);
      return answer_;
    };
    bus_ = std::make_unique<TDataModule1>(state_, TestCom);
    ASSERT_EQ(bus_->SioComPort1.GetPortState(), psOpen);
    bus_->SioComPort1.SetLogName(dir_ / "SIO.LOG");
    for (const char* name : {"Korvidan1", "Korvidan2"}) {
      auto* c = new TKorvidan(list_.GetControllerCount());
      c->GetIdent()->SetName(name);
      list_.AddController(c);
    }
  }
  void TearDown() override {
    bus_.reset();
    TForm4::ConfirmSink = nullptr;
    LinkHooks() = TLinkHooks{};
    MessageSink = nullptr;
  }

  // What reached the bus within the time.
  std::string BusBytes(int milliseconds) { return pty_.ReadQuiet(milliseconds); }

  support::PtyPair pty_;
  support::TempDir dir_{"controllers_"};
  bool answer_ = true;
  std::vector<std::string> messages_, boxes_, questions_;
  TAcquisitionState state_;
  std::unique_ptr<TDataModule1> bus_;
  TControllerList list_;
};

TEST_F(ControllersTest, RenameSendsTheExactCommandAndListsTheNewName) {
  TForm4 dialog;
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Verwaltung der Korvidan Verbindungen");
  dialog.ShowDevices(list_);
  EXPECT_TRUE(dialog.isVisible());
  ASSERT_EQ(dialog.AddressBox->count(), 2);
  EXPECT_EQ(dialog.AddressBox->item(0)->text().toStdString(), "0 (00H)");
  EXPECT_EQ(dialog.IDBox->item(1)->text().toStdString(), "Korvidan2");
  EXPECT_EQ(dialog.EditID->text().toStdString(), "Korvidan1");
  dialog.IDBox->setCurrentRow(1);
  dialog.IDBoxClick();
  EXPECT_EQ(dialog.AddressBox->currentRow(), 1);
  EXPECT_EQ(dialog.AddressLabel->text().toStdString(), "Adresse: 0 (00H)");
  EXPECT_EQ(dialog.EditID->text().toStdString(), "Korvidan2");
  dialog.AddressBox->setCurrentRow(0);
  dialog.AddressBoxClick();
  EXPECT_EQ(dialog.IDBox->currentRow(), 0);

  // Declined: nothing happens.
  answer_ = false;
  dialog.EditID->setText(
      QString::fromUtf8("Becken S\xC3\xBC"
                        "d"));
  dialog.ModifyClick();
  EXPECT_EQ(questions_, std::vector<std::string>{"Soll die Bezeichnung ge\xC3\xA4ndert werden?"});
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(list_.GetController(0)->GetIdent()->GetName(), "Korvidan1");

  answer_ = true;
  dialog.ModifyClick();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0],
            "WriteID: Command = $006Becken S\xC3\xBC"
            "d\r");
  EXPECT_EQ(BusBytes(500),
            "$006Becken S\xFC"
            "d\r");
  EXPECT_EQ(list_.GetController(0)->GetIdent()->GetName(),
            "Becken S\xC3\xBC"
            "d");
  EXPECT_EQ(dialog.IDBox->item(0)->text().toStdString(),
            "Becken S\xC3\xBC"
            "d");
  EXPECT_TRUE(messages_.empty());
  dialog.OKBtnClick();
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(ControllersTest, ARenameThatCannotBeSentKeepsTheNameAndSaysSo) {
  TForm4 dialog;
  dialog.ShowDevices(list_);
  // The bus port is closed and may not open by itself.
  bus_->SioComPort1.SetAutoOpen(false);
  bus_->SioComPort1.SetOpen(false);
  dialog.EditID->setText("Becken");
  dialog.ModifyClick();
  // Worded in German to its cause.
  EXPECT_EQ(messages_, std::vector<std::string>{
                           "Die neue Bezeichnung konnte nicht zum korvidan gesendet werden; die Bezeichnung "
                           "bleibt unver\xC3\xA4ndert.\nDie serielle Schnittstelle ist nicht ge\xC3\xB6""ffnet."});
  EXPECT_EQ(list_.GetController(0)->GetIdent()->GetName(), "Korvidan1");
  EXPECT_EQ(dialog.IDBox->item(0)->text().toStdString(), "Korvidan1");
  EXPECT_EQ(BusBytes(100), "");

  // Open again: the same rename goes through.
  messages_.clear();
  bus_->SioComPort1.SetOpen(true);
  dialog.ModifyClick();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(BusBytes(500), "$006Becken\r");
  EXPECT_EQ(list_.GetController(0)->GetIdent()->GetName(), "Becken");
  EXPECT_EQ(dialog.IDBox->item(0)->text().toStdString(), "Becken");
}

TEST_F(ControllersTest, NamesTheBusCannotCarryAreRefusedBeforeAnythingIsSent) {
  TForm4 dialog;
  dialog.ShowDevices(list_);
  for (const char* bad :
       {"", "   ", "Teich\tA", "Teich\rB", "a/b", "..\\x", "\xCE\xA9mega", "Tank \xE2\x88\x9A"}) {
    messages_.clear();
    dialog.EditID->setText(QString::fromUtf8(bad));
    dialog.ModifyClick();
    EXPECT_EQ(messages_.size(), 1u) << bad;
  }
  EXPECT_TRUE(questions_.empty());
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(BusBytes(100), "");
  EXPECT_EQ(list_.GetController(0)->GetIdent()->GetName(), "Korvidan1");
  EXPECT_EQ(dialog.IDBox->item(0)->text().toStdString(), "Korvidan1");

  EXPECT_EQ(CheckControllerName(std::string(24, 'x')), "");
  EXPECT_NE(CheckControllerName(std::string(25, 'x')), "");
  EXPECT_EQ(CheckControllerName("Riff \xE2\x82\xAC 1"), "");  // the euro sign has its byte
  EXPECT_NE(CheckControllerName("bad \xFF utf"), "");
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
