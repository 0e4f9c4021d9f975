// The telephony windows offscreen: the device selection dialog with lines and ports, the
// device's choice through it, and the call-progress window during a redialed call.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fax/Swtapi.h"
#include "fax/ui/Swtapidsp.h"
#include "tests/fax/TapiTestUtil.h"
#include "tests/support/Pty.h"

namespace {

using tapitest::Pump;
using tapitest::Rig;

class TapiWindows : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 60; ++n) setenv(("SIO_COM" + std::to_string(n)).c_str(), "/nonexistent/tty", 1);
  }
  void TearDown() override {
    for (int n = 1; n <= 60; ++n) unsetenv(("SIO_COM" + std::to_string(n)).c_str());
    SetDeviceSelectionHook(nullptr);
  }
  void Give(int com) {
    ptys[com] = std::make_unique<support::PtyPair>();
    ptys[com]->MapTo(com);
  }
  static std::vector<std::string> Items(const TDeviceSelectionForm& form) {
    std::vector<std::string> out;
    for (int i = 0; i < form.dsfComboBox->count(); ++i)
      out.push_back(form.dsfComboBox->itemText(i).toStdString());
    return out;
  }
  // Runs the action on the selection dialog once it is shown modally.
  static void WhenShown(std::function<void(TDeviceSelectionForm*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
      auto* form = qobject_cast<TDeviceSelectionForm*>(QApplication::activeModalWidget());
      if (form == nullptr) return;
      timer->stop();
      timer->deleteLater();
      action(form);
    });
    timer->start();
  }
  static void Choose(TDeviceSelectionForm* form, const std::string& entry) {
    form->dsfComboBox->setCurrentIndex(form->dsfComboBox->findText(QString::fromStdString(entry)));
    form->dsfOkBitBtn->click();
  }

  Rig rig;
  std::map<int, std::unique_ptr<support::PtyPair>> ptys;
};

TEST_F(TapiWindows, SelectionListsLinesThenPorts) {
  Rig::AddLine("MicroLink 33.6TQV", 2);
  Rig::AddLine("Modem Zwei", 3);
  Give(1);
  Give(12);
  {
    TDeviceSelectionForm form;
    EXPECT_EQ(form.windowTitle().toStdString(), "Device Selection");
    form.show();
    EXPECT_EQ(Items(form), (std::vector<std::string>{"MicroLink 33.6TQV", "Modem Zwei", "Direct to COM1",
                                                     "Direct to COM12"}));
    EXPECT_EQ(form.dsfComboBox->currentIndex(), 0);
    Choose(&form, "Direct to COM12");
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(form.TapiMode, tmOff);
    EXPECT_EQ(form.ComNumber, 12);
  }
  {
    TDeviceSelectionForm form;  // the earlier choice is selected
    form.TapiMode = tmOff;
    form.ComNumber = 12;
    form.show();
    EXPECT_EQ(form.dsfComboBox->currentText().toStdString(), "Direct to COM12");
    Choose(&form, "Modem Zwei");
    EXPECT_EQ(form.TapiMode, tmAuto);
    EXPECT_EQ(form.ComNumber, 0);
    EXPECT_EQ(form.DeviceName, "Modem Zwei");
  }
  {
    TDeviceSelectionForm form;
    form.ShowPorts = false;
    form.DeviceName = "Modem Zwei";
    form.show();
    EXPECT_EQ(Items(form), (std::vector<std::string>{"MicroLink 33.6TQV", "Modem Zwei"}));
    EXPECT_EQ(form.dsfComboBox->currentText().toStdString(), "Modem Zwei");
  }
  {
    TDeviceSelectionForm form;  // nothing to show: OK chooses nothing
    form.ShowPorts = false;
    form.ShowTapiDevices = false;
    form.show();
    EXPECT_EQ(form.dsfComboBox->count(), 0);
    form.dsfOkBitBtn->click();
    EXPECT_EQ(form.result(), QDialog::Rejected);
  }
}

TEST_F(TapiWindows, DeviceChoosesThroughTheDialog) {
  Rig::AddLine("MicroLink 33.6TQV", 2);
  Give(12);
  InstallTapiWindows();
  TSioComponentOwner owner;
  TSioComPort port(&owner);
  TSioTapiDevice device(&owner);

  WhenShown([](TDeviceSelectionForm* f) { Choose(f, "Direct to COM12"); });
  EXPECT_EQ(device.SelectDevice(), 1);
  EXPECT_EQ(port.GetTapiMode(), tmOff);
  EXPECT_EQ(port.GetComNumber(), 12);

  WhenShown([](TDeviceSelectionForm* f) {
    EXPECT_EQ(f->dsfComboBox->currentText().toStdString(), "Direct to COM12");
    Choose(f, "MicroLink 33.6TQV");
  });
  EXPECT_EQ(device.SelectDevice(), 1);
  EXPECT_EQ(port.GetTapiMode(), tmAuto);
  EXPECT_EQ(device.GetSelectedDevice(), "MicroLink 33.6TQV");

  WhenShown([](TDeviceSelectionForm* f) { f->dsfCancelBitBtn->click(); });
  EXPECT_EQ(device.SelectDevice(), 2);
  EXPECT_EQ(device.GetSelectedDevice(), "MicroLink 33.6TQV");

  // A line name the device does not know asks for a line: lines only.
  device.SetSelectedDevice("gone");
  std::vector<std::string> offered;
  WhenShown([&](TDeviceSelectionForm* f) {
    offered = Items(*f);
    f->dsfCancelBitBtn->click();
  });
  EXPECT_THROW(device.GetSelectedLine(), ETapiNoSelect);
  EXPECT_EQ(offered, (std::vector<std::string>{"MicroLink 33.6TQV"}));
}

TEST_F(TapiWindows, StatusLinesScrollAndRepeatingOnesRewrite) {
  Rig::AddLine("Modem", 3);
  TSioComponentOwner owner;
  TSioTapiStatus status(&owner);
  TSioTapiDevice device(&owner);
  device.SetSelectedDevice("Modem");
  ASSERT_EQ(device.GetStatusDisplay(), &status);
  ASSERT_EQ(status.GetTapiDevice(), &device);
  TSioStandardTapiDisplay* form = status.Display();
  EXPECT_EQ(form->windowTitle().toStdString(), "Call Progress");

  status.UpdateDisplay(true, false, 0, 0, 0, 0, 0);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->dpLabel1->text().toStdString(), "Dialing:");
  for (std::uint32_t i = 0; i < 10; ++i)
    status.UpdateDisplay(false, false, 1, LINE_LINEDEVSTATE, 1u << (i + 2), 0, 0);
  EXPECT_EQ(form->StatusCount(), 9);
  EXPECT_EQ(form->dpStat[0]->text().toStdString(), "Line disconnected");  // "Line connected" scrolled out
  EXPECT_EQ(form->dpStat[8]->text().toStdString(), "Number of calls changed");

  for (int i = 0; i < 3; ++i) status.UpdateDisplay(false, false, 0, 32, 8, 0, 0);
  EXPECT_EQ(form->StatusCount(), 9);
  EXPECT_EQ(form->dpStat[8]->text().toStdString(), "Waiting for retry in 0 seconds");
  EXPECT_EQ(form->dpStat[7]->text().toStdString(), "Number of calls changed");
  EXPECT_EQ(form->dpDialing->text().toStdString(), "Caller ID: ");
  EXPECT_EQ(form->dpUsing->text().toStdString(), "Modem");

  status.UpdateDisplay(false, true, 0, 0, 0, 0, 0);
  EXPECT_FALSE(form->isVisible());
  // Shown for a quiet call, which reports no progress, the window still names the line.
  form->ClearStatusMessages();
  device.SetSelectedDevice("Modem am COM3");
  status.SetVisible(true);
  EXPECT_EQ(form->dpUsing->text().toStdString(), "Modem am COM3");
  status.SetVisible(false);
  status.SetAnswering(true);
  status.UpdateDisplay(true, false, 0, 0, 0, 0, 0);
  EXPECT_EQ(form->dpLabel1->text().toStdString(), "Answering -");
  EXPECT_EQ(form->StatusCount(), 0);
}

TEST_F(TapiWindows, CallProgressOfARedialAndItsCancelButton) {
  rig.StartModem(5, {"--dial", "busy", "--dial-delay", "50"});
  Rig::AddLine("Modem", 5);
  TSioComponentOwner owner;
  TSioComPort port(&owner);
  TSioTapiStatus status(&owner);
  TSioTapiLog log(&owner);
  log.SetTapiHistoryName(rig.dir / "SIOTAPI.HIS");
  TSioTapiDevice device(&owner);
  device.SetSelectedDevice("Modem");
  device.SetMaxAttempts(3);
  device.SetRetryWait(2);
  int fails = 0;
  device.SetOnTapiFail([&](TSioCustomTapiDevice*) { ++fails; });
  TSioStandardTapiDisplay* form = status.Display();

  device.Dial("0301234");
  ASSERT_TRUE(Pump([&] {
    return form->dpStat[form->StatusCount() ? form->StatusCount() - 1 : 0]->text().startsWith(
        "Waiting for retry");
  }));
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(form->dpLabel1->text().toStdString(), "Dialing:");
  EXPECT_EQ(form->dpDialing->text().toStdString(), "0301234");
  EXPECT_EQ(form->dpUsing->text().toStdString(), "Modem");
  EXPECT_EQ(form->dpAttempt->text().toStdString(), "01");
  EXPECT_EQ(form->dpTotalAttempts->text().toStdString(), "03");
  std::vector<std::string> lines;
  for (int i = 0; i < form->StatusCount(); ++i) lines.push_back(form->dpStat[i]->text().toStdString());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Dialing"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Line is busy"), lines.end());

  form->dpCancel->click();  // during the wait for the next attempt
  EXPECT_EQ(fails, 1);
  EXPECT_FALSE(form->isVisible());
  tapitest::PumpFor(2500);  // no further attempt
  int dials = 0;
  for (auto& c : rig.ModemCommands()) dials += c.rfind("ATD", 0) == 0;
  EXPECT_EQ(dials, 1);
  const std::string history = support::ReadFile(log.GetTapiHistoryName());
  EXPECT_NE(history.find("  cancelled\r\n"), std::string::npos);
  EXPECT_NE(history.find("call finished\r\n\r\n"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
