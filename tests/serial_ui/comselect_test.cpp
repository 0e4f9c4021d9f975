// The port selection dialog, offscreen: which ports it offers, what it returns, and how the
// port component uses it.
#include "serial/ComSelect.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/SerialDevice.h"
#include "serial/ComSelectForm.h"
#include "serial/SioPort.h"
#include "tests/support/Pty.h"

namespace {

// COM1 .. COM60 all lead nowhere, except the ones given pseudo-terminals.
class ComSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int n = 1; n <= 60; ++n) Map(n, "/nonexistent/tty" + std::to_string(n));
    UseDispatcherForAvail = true;
    ShowPortsInUse = true;
  }
  void TearDown() override {
    for (int n = 1; n <= 60; ++n) unsetenv(("SIO_COM" + std::to_string(n)).c_str());
    SetPortPromptHook(nullptr);
    UseDispatcherForAvail = true;
    ShowPortsInUse = true;
  }
  static void Map(int n, const std::string& path) {
    setenv(("SIO_COM" + std::to_string(n)).c_str(), path.c_str(), 1);
  }
  void Give(int n) {
    ptys[n] = std::make_unique<support::PtyPair>();
    Map(n, ptys[n]->path());
  }
  static std::vector<std::string> Entries(const TComSelectForm& form) {
    std::vector<std::string> out;
    for (int i = 0; i < form.PortsComboBox->count(); ++i)
      out.push_back(form.PortsComboBox->itemText(i).toStdString());
    return out;
  }
  // Runs action on the dialog once it is shown modally.
  static void WhenShown(std::function<void(TComSelectForm*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, action] {
      auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
      if (form == nullptr) return;
      timer->stop();
      timer->deleteLater();
      action(form);
    });
    timer->start();
  }
  std::map<int, std::unique_ptr<support::PtyPair>> ptys;
};

TEST_F(ComSelectTest, ListsExactlyThePortsThatExist) {
  Give(1);
  Give(3);
  Give(50);
  Give(51);  // beyond the range the dialog offers
  TComSelectForm form;
  EXPECT_EQ(form.windowTitle().toStdString(), "Select Port");
  EXPECT_EQ(Entries(form), (std::vector<std::string>{"COM1", "COM3", "COM50"}));
  EXPECT_EQ(form.SelectedCom(), "COM1");
  EXPECT_EQ(form.SelectedComNum(), 1);
  EXPECT_TRUE(form.OkBtn->isDefault());
  EXPECT_EQ(form.OkBtn->text().toStdString(), "OK");
  EXPECT_EQ(form.AbortBtn->text().toStdString(), "Cancel");
  form.PortsComboBox->setCurrentIndex(2);
  EXPECT_EQ(form.SelectedComNum(), 50);

  EXPECT_FALSE(IsPortAvailable(0));
  EXPECT_FALSE(IsPortAvailable(2));
  EXPECT_TRUE(IsPortAvailable(3));
  // The plain device open gives the same answers.
  UseDispatcherForAvail = false;
  EXPECT_FALSE(IsPortAvailable(2));
  EXPECT_TRUE(IsPortAvailable(3));
}

TEST_F(ComSelectTest, PortHeldByAnotherUserIsOfferedUnlessAskedNotTo) {
  Give(2);
  Give(4);
  TSerialDevice holder;
  ASSERT_EQ(holder.Open(ptys[4]->path()), 0);
  EXPECT_TRUE(IsPortAvailable(4));
  {
    TComSelectForm form;
    EXPECT_EQ(Entries(form), (std::vector<std::string>{"COM2", "COM4"}));
  }
  ShowPortsInUse = false;
  EXPECT_FALSE(IsPortAvailable(4));
  UseDispatcherForAvail = false;
  EXPECT_FALSE(IsPortAvailable(4));
  EXPECT_TRUE(IsPortAvailable(2));
}

TEST_F(ComSelectTest, NoPortsLeavesOnlyCancel) {
  TComSelectForm form;
  EXPECT_TRUE(Entries(form).empty());
  EXPECT_FALSE(form.OkBtn->isEnabled());
  EXPECT_EQ(form.SelectedComNum(), 0);
  EXPECT_EQ(form.SelectedCom(), "");
}

TEST_F(ComSelectTest, ThePortAsksWithTheDialog) {
  Give(5);
  Give(7);
  InstallComSelectPrompt();
  TSioComPort port;
  WhenShown([](TComSelectForm* form) {
    form->PortsComboBox->setCurrentIndex(1);
    form->OkBtn->click();
  });
  port.SetOpen(true);
  EXPECT_TRUE(port.GetOpen());
  EXPECT_EQ(port.GetComNumber(), 7);
  port.SetOpen(false);

  TSioComPort cancelled;
  WhenShown([](TComSelectForm* form) { form->AbortBtn->click(); });
  try {
    cancelled.SetOpen(true);
    FAIL() << "no exception";
  } catch (const ENoPortSelected& e) {
    EXPECT_STREQ(e.what(), "The ComNumber property of the TSioComPort has not been set");
  }
  EXPECT_FALSE(cancelled.GetOpen());
  EXPECT_EQ(cancelled.GetPortState(), psClosed);
  EXPECT_EQ(cancelled.GetComNumber(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
