// The fax data module on a modem line of the telephony service (the line's modem is the fax
// modem simulator): what "Fax.txt" holds, that an alarm fax goes out once a run and again
// after the test fax, that an alarm during a send leaves the send alone, and the dialogs.
#include "app/FaxModule.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/Dialogfaxconfig.h"
#include "app/Localregistry.h"
#include "app/MessagePump.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "fax/SioFax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtapi.h"
#include "fax/Swtxtcvt.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/Swtapidsp.h"
#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"
#include "tests/support/Child.h"
#include "tests/support/FaxLine.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

constexpr int kLineCom = 47;

const std::string kReport =
    "Datum: 01.03.2024, Uhrzeit: 12:34:56, Korvidan1: \n"
    "Oberen Alarmwert überschritten: Sensor Nr = 1, Typ = pH, Sensorwert = 7.11999988555908\n"
    " oberer Alarmwert = 7, Aktion = Fax";

class FaxModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    fs::current_path(dir_.path());
    SetRegistryFile(dir_ / "registry.ini");
    MainFlags.FFaxSent = false;
    MainFlags.FFaxError = false;
    MessageSink = [this](const std::string& text, TMsgKind) { boxes_.push_back(text); };
  }
  void TearDown() override {
    module_.reset();
    sim_.reset();
    MessageSink = nullptr;
    SetDeviceSelectionHook(nullptr);
    SetRegistryFile("");
    fs::current_path(old_);
  }

  // The line "Faxmodem" on a fax modem simulator, chosen in the settings.
  void StartLine(std::vector<std::string> args) {
    args.insert(args.end(), {"--classes", "2", "--output", dir_ / "line", "--log", dir_ / "modem.log"});
    sim_ = std::make_unique<support::Simulator>("faxmodem-sim", args, kLineCom);
    WriteTapiDeviceName(support::ListFaxModemLine(kLineCom));
    module_ = std::make_unique<TDataModule3>();
  }

  // The files the module sends: a cover text and a fax of one text page.
  void Files(const std::string& cover) {
    dir_.Write("Cover.txt", cover);
    dir_.Write("page.txt", "Seite eins\r\n");
    TAbsFaxCvt* cvt = nullptr;
    ASSERT_EQ(0, fcInitTextConverter(cvt));
    acOptionsOff(cvt, coYield);
    ASSERT_EQ(0, fcLoadFont(cvt, "SWFAX.FNT", ffStandardFontHandle, false));
    ASSERT_EQ(0, acConvertToFile(cvt, "page.txt", "korvidan.fxf"));
    fcDoneTextConverter(cvt);
  }

  int Dials() const {
    const std::string log = support::ReadFile(dir_ / "modem.log");
    int n = 0;
    for (std::size_t p = log.find("ATDT"); p != std::string::npos; p = log.find("ATDT", p + 1)) ++n;
    return n;
  }
  int Pages() const {
    int n = 0;
    while (fs::exists(dir_ / ("line-" + std::to_string(n + 1) + ".g3"))) ++n;
    return n;
  }
  // The first page is going out or waits for its status. With "--stall-page 1:0" the remote
  // takes none of it, but a short page fits wholly into the line's buffer, so a busy machine
  // may see the sender waiting for the status without ever having seen it write.
  bool Paging() const {
    const int p = module_->SioSendFax1->GetFaxProgress();
    return p == fpSendPage || p == fpSendPageStatus;
  }
  bool WaitIdle(int ms = 20000) {
    return PumpUntil([this] { return !module_->Sending(); }, static_cast<DWORD>(ms));
  }
  // The events of "SIOTAPI.HIS", without their times.
  std::vector<std::string> CallHistory() const {
    std::vector<std::string> events;
    std::istringstream in(support::ReadFile(dir_ / "SIOTAPI.HIS"));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const std::size_t at = line.find(" : ");
      if (at != std::string::npos) events.push_back(line.substr(at + 3));
    }
    return events;
  }

  support::TempDir dir_{"faxmodule"};
  fs::path old_;
  std::unique_ptr<support::Simulator> sim_;
  std::unique_ptr<TDataModule3> module_;
  std::vector<std::string> boxes_;
};

}  // namespace

TEST_F(FaxModuleTest, AlarmFaxGoesOutOnceAndAgainAfterTheTestFax) {
  StartLine({});
  Files(
      "Aquarium Becken 1\r\nBitte pr\xFC"
      "fen");  // Windows-1252, no line end at its end
  module_->SendAlarmFax(kReport);
  EXPECT_TRUE(module_->Sending());
  ASSERT_TRUE(WaitIdle()) << support::ReadFile(dir_ / "modem.log");
  EXPECT_TRUE(MainFlags.FFaxSent);
  EXPECT_FALSE(MainFlags.FFaxError);
  ASSERT_FALSE(boxes_.empty());
  EXPECT_EQ(boxes_.front(), "SendFax: " + kReport);
  // The cover, a line end, then the report with a CR LF at each of its line feeds.
  EXPECT_EQ(dir_.Read("Fax.txt"),
            "Aquarium Becken 1\r\nBitte pr\xFC"
            "fen\r\n"
            "Datum: 01.03.2024, Uhrzeit: 12:34:56, Korvidan1: \r\n"
            "Oberen Alarmwert \xFC"
            "berschritten: Sensor Nr = 1, Typ = pH, Sensorwert = 7.11999988555908\r\n"
            " oberer Alarmwert = 7, Aktion = Fax");
  EXPECT_EQ(Dials(), 1);
  EXPECT_NE(support::ReadFile(dir_ / "modem.log").find("ATDT48"), std::string::npos);
  EXPECT_EQ(Pages(), 2);  // the cover and the page
  const std::string history = support::ReadFile(dir_ / "SIOFAX.HIS");
  EXPECT_NE(history.find("Transmit korvidan.fxf to 48 started at "), std::string::npos) << history;
  EXPECT_NE(history.find(" finished OK at "), std::string::npos) << history;
  // The call to the fax's number, ended as done.
  EXPECT_EQ(CallHistory(),
            (std::vector<std::string>{"call started", "  dialing 48", "  connected", "  dropped"}));

  // A second alarm in the run: no line, an empty "Fax.txt".
  module_->SendAlarmFax(kReport);
  EXPECT_FALSE(module_->Sending());
  EXPECT_EQ(dir_.Read("Fax.txt"), "");
  PumpUntil([] { return false; }, 500);
  EXPECT_EQ(Dials(), 1);

  // The test fax goes out again.
  module_->SendTestFax();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Dials(), 2);
  EXPECT_EQ(dir_.Read("Fax.txt"),
            "Aquarium Becken 1\r\nBitte pr\xFC"
            "fen\r\nTestFax");
  EXPECT_EQ(Pages(), 4);
}

// An alarm while a fax is still going out does not touch the fax's cover text.
TEST_F(FaxModuleTest, AlarmDuringASendLeavesTheCoverAlone) {
  StartLine({"--stall-page", "1:0"});
  Files("Deckblatt\r\n");
  module_->SendAlarmFax("erster Alarm");
  ASSERT_TRUE(PumpUntil([&] { return Paging(); }, 20000))
      << module_->SioSendFax1->GetFaxProgress() << "\n"
      << support::ReadFile(dir_ / "modem.log");
  const std::string first = dir_.Read("Fax.txt");
  MainFlags.FFaxSent = false;  // as after a test fax
  module_->SendAlarmFax("zweiter Alarm");
  EXPECT_EQ(dir_.Read("Fax.txt"), first);
  EXPECT_NE(first.find("erster Alarm"), std::string::npos);
  EXPECT_TRUE(module_->Sending());
  module_->SioSendFax1->CancelFax();
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(MainFlags.FFaxError);
  EXPECT_FALSE(module_->SioComPort1->GetOpen());  // the call is dropped
  EXPECT_EQ(Dials(), 1);
  EXPECT_EQ(CallHistory(), (std::vector<std::string>{"call started", "  dialing 48", "  connected",
                                                     "  cancelled", "  dropped"}));
}

// A folder without a cover text or fax file sends those that come with the program.
TEST_F(FaxModuleTest, WithoutFilesOfItsOwnTheProgramsGoOut) {
  StartLine({});
  const std::string defaults = InstalledDataDirectory("Fax");
  module_->SendAlarmFax(kReport);
  ASSERT_TRUE(WaitIdle()) << support::ReadFile(dir_ / "modem.log");
  EXPECT_FALSE(MainFlags.FFaxError);
  EXPECT_EQ(Pages(), 2);  // the cover and the page
  const std::string cover = support::ReadFile(defaults + "/Cover.txt");
  EXPECT_NE(cover.find("Alarmmeldung"), std::string::npos);
  EXPECT_EQ(dir_.Read("Fax.txt").rfind(cover + "\r\nDatum: 01.03.2024", 0), 0u) << dir_.Read("Fax.txt");
  EXPECT_NE(support::ReadFile(dir_ / "SIOFAX.HIS").find("Transmit " + defaults + "/korvidan.fxf to 48"),
            std::string::npos);
}

// A cover text or fax file of the folder that cannot be sent is reported by name, in German,
// before anything is sent; the next alarm may send once it is mended.
TEST_F(FaxModuleTest, FilesThatCannotBeSentAreReportedByName) {
  StartLine({});
  const auto refused = [&](const std::string& text) {
    try {
      module_->SendAlarmFax(kReport);
      ADD_FAILURE() << "no exception";
    } catch (const EInOutError& e) {
      EXPECT_EQ(std::string(e.what()), text);
    }
    EXPECT_FALSE(MainFlags.FFaxSent);
    EXPECT_FALSE(module_->Sending());
  };
  fs::create_directory(dir_ / "Cover.txt");
  refused("Die Datei \"Cover.txt\" kann nicht geöffnet werden");
  fs::remove(dir_ / "Cover.txt");
  dir_.Write("korvidan.fxf", "Seite eins\r\n");
  refused("Die Datei \"korvidan.fxf\" ist keine Faxdatei");
  fs::remove(dir_ / "korvidan.fxf");
  fs::create_directory(dir_ / "korvidan.fxf");
  refused("Die Datei \"korvidan.fxf\" kann nicht geöffnet werden");
  EXPECT_EQ(Dials(), 0);

  fs::remove(dir_ / "korvidan.fxf");
  module_->SendAlarmFax(kReport);
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(MainFlags.FFaxSent);
  EXPECT_EQ(Dials(), 1);
}

// While the fax runs, "Call Progress" and "Fax Status" are painted, at their designed sizes,
// wholly inside the screen's available area, even when they were last placed where the
// screen no longer reaches.
TEST_F(FaxModuleTest, TheStatusWindowsShowOnTheScreenDuringTheSend) {
  StartLine({"--stall-page", "1:0"});
  Files("Deckblatt\r\n");
  TMessagePump pump;  // the queue handled from Qt's loop, as in the application
  QWidget* call = module_->SioTapiStatus1->Display();
  QWidget* status = module_->SioFaxStatus1->Display();
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  call->move(area.right() - 100, area.bottom() - 50);
  status->move(area.left() - 300, area.top() - 20);
  struct Paints : QObject {
    std::map<QObject*, int> count;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::Paint) ++count[o];
      return false;
    }
  } paints;
  call->installEventFilter(&paints);
  status->installEventFilter(&paints);

  module_->SendAlarmFax(kReport);
  QElapsedTimer waited;
  waited.start();
  while (!Paging() && waited.elapsed() < 20000) {
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  ASSERT_TRUE(Paging()) << module_->SioSendFax1->GetFaxProgress();
  for (QWidget* w : {call, status}) {
    SCOPED_TRACE(w->windowTitle().toStdString());
    EXPECT_TRUE(w->isVisible());
    EXPECT_TRUE(area.contains(w->frameGeometry()));
    EXPECT_GT(paints.count[w], 0);
  }
  EXPECT_EQ(call->size(), QSize(427, 305));
  // The outgoing call is named, its number and the modem line of the settings, though the
  // quiet call reports no progress.
  TSioStandardTapiDisplay* shown = module_->SioTapiStatus1->Display();
  EXPECT_EQ(shown->dpLabel1->text().toStdString(), "Dialing:");
  EXPECT_EQ(shown->dpDialing->text().toStdString(), "48");
  EXPECT_EQ(shown->dpUsing->text().toStdString(), "Faxmodem");
  EXPECT_EQ(status->size(), QSize(529, 295));
  module_->SioSendFax1->CancelFax();
  ASSERT_TRUE(WaitIdle());
}

// A line that cannot be had ends the alarm fax with a box; the next alarm may try again
// only after a test fax, as with any fax of the run.
TEST_F(FaxModuleTest, ALineThatCannotBeOpenedIsReported) {
  StartLine({});
  Files("Deckblatt\r\n");
  WriteTapiDeviceName("kein Modem");
  SetDeviceSelectionHook([](const TDeviceSelectionRequest&) { return TDeviceSelectionResult{}; });
  module_->SendAlarmFax(kReport);
  EXPECT_FALSE(module_->Sending());
  EXPECT_TRUE(MainFlags.FFaxError);
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[1].rfind("Alarmfax konnte nicht gesendet werden: ", 0), 0u) << boxes_[1];
  EXPECT_EQ(Dials(), 0);
}

TEST_F(FaxModuleTest, TheModemChosenInTheSelectionIsStored) {
  StartLine({});
  WriteTapiDeviceName("COM1");
  SetDeviceSelectionHook([](const TDeviceSelectionRequest& r) {
    TDeviceSelectionResult result;
    result.Ok = true;
    result.Name = "Faxmodem";
    result.Mode = tmOn;
    EXPECT_TRUE(r.ShowLines);
    return result;
  });
  module_->SelectFaxModem();
  EXPECT_EQ(ReadTapiDeviceName(), "Faxmodem");
  EXPECT_EQ(module_->SioTapiDevice1->GetSelectedDevice(), "Faxmodem");
}

TEST_F(FaxModuleTest, HeaderDialogEditsTheSendComponent) {
  StartLine({});
  TFaxConfigFrm form;
  form.SendFax = module_->SioSendFax1;
  form.show();
  EXPECT_EQ(form.windowTitle().toStdString(), "Konfiguration Fax");
  EXPECT_EQ(form.edKopfzeile->text().toStdString(), "\"ovu zelvanor v1.0\"");
  EXPECT_EQ(form.edEmpfaenger->text().toStdString(), "\"Test Recipient\"");
  EXPECT_EQ(form.edSender->text().toStdString(), "\"ovu zelvanor SendFax\"");
  EXPECT_EQ(form.edFaxNumber->text().toStdString(), "48");
  form.edKopfzeile->setText(QString::fromStdString("Alarm Süßwasserbecken $P/$N"));
  form.edEmpfaenger->setText("Zoohandlung");
  form.edFaxNumber->setText("0301234567abc");  // the mask takes digits only
  form.findChild<QPushButton*>("Button1")->click();
  EXPECT_FALSE(form.isVisible());
  EXPECT_EQ(module_->SioSendFax1->GetHeaderLine(), "Alarm S\xFC\xDFwasserbecken $P/$N");
  EXPECT_EQ(module_->SioSendFax1->GetHeaderRecipient(), "Zoohandlung");
  EXPECT_EQ(module_->SioSendFax1->GetPhoneNumber(), "0301234567");
}

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
