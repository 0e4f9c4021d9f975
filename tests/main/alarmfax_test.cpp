// The alarm fax end to end, offscreen: the controller simulator's pH is above its limit and
// its action is "Fax"; the fax modem line of the settings is an independent fax machine
// (tools/faxpeer). The machine prints the header, the cover with every line of the alarm
// report and the pages; the next cycles dial no more; "Testfax senden" dials again, and with
// no cover text or fax file left in the working folder sends those that come with the program.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/FaxModule.h"
#include "app/Localregistry.h"
#include "app/Main.h"
#include "app/SharedState.h"
#include "app/UiThread.h"
#include "app/ValueBoard.h"
#include "fax/SioFax.h"
#include "fax/Swfaxcvt.h"
#include "fax/Swtxtcvt.h"
#include "fax/ui/Faxview.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/SioFview.h"
#include "fax/ui/Swtapidsp.h"
#include "link/RS485BusNew.h"
#include "platform/Registry.h"
#include "platform/Telephony.h"
#include "platform/Text.h"
#include "serial/ComSelectForm.h"
#include "tests/fax/FaxPeerUtil.h"
#include "tests/fax/G3Decode.h"
#include "tests/main/Driver.h"
#include "tests/support/FaxLine.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

using e2e::RunUntil;
using e2e::User;
using peertest::Picture;

constexpr int kFaxCom = 7;

// The rows of text lines as the sender draws them with a named font at standard or fine
// resolution: each line's coded rows, decoded.
Picture TextRows(const std::vector<std::string>& lines, const TFaxTextFont& font, bool fine, int* rowsPerLine) {
  TAbsFaxCvt* cvt = nullptr;
  EXPECT_EQ(0, fcInitTextExConverter(cvt));
  EXPECT_EQ(0, fcSetFont(cvt, font, fine));
  *rowsPerLine = fcFontRows(cvt);
  std::vector<std::uint8_t> code;
  std::vector<std::uint8_t> raster(4096);
  for (const std::string& line : lines)
    for (int r = 1; r <= *rowsPerLine; ++r) {
      std::fill(raster.begin(), raster.end(), 0);
      fcRasterizeText(cvt, line, r, raster.data());
      acInitDataLine(cvt);
      acCompressRasterLine(cvt, raster.data());
      code.insert(code.end(), cvt->DataLine.get(), cvt->DataLine.get() + cvt->ByteOfs);
    }
  fcDoneTextExConverter(cvt);
  // The page's end (six EOL codes), so that the decoder finds the last row whole.
  const std::uint8_t eop[12] = {0x00, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00, 0x08, 0x80, 0x00};
  code.insert(code.end(), eop, eop + 12);
  return G3Decode(code, 1728);
}

class AlarmFaxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (support::SanitizerBuild()) GTEST_SKIP() << "real-time fax peer: normal build only";
    setenv("XDG_DATA_HOME", (home_.path() / "data").c_str(), 1);
    unsetenv("KORVIDAN_DATABASE_DIR");
    SetRegistryFile((home_.path() / "registry.ini").string());
    old_ = fs::current_path();
    fs::current_path(home_.path());
    MessageSink = [this](const std::string& text, TMsgKind) {
      std::lock_guard<std::mutex> g(lock_);
      boxes_.push_back(text);
    };
    TForm1::ConfirmSink = [](const std::string&) { return true; };
    driver_ = std::make_unique<QTimer>();
    QObject::connect(driver_.get(), &QTimer::timeout, [this] { user_.Act(); });
    driver_->start(50);
  }
  void TearDown() override {
    driver_.reset();
    MessageSink = nullptr;
    TForm1::ConfirmSink = nullptr;
    if (!old_.empty()) fs::current_path(old_);
    SetRegistryFile("");
  }
  std::vector<std::string> Boxes(const std::string& start) {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<std::string> out;
    for (const std::string& t : boxes_)
      if (t.rfind(start, 0) == 0) out.push_back(t);
    return out;
  }
  int Count(const std::string& file, const std::string& what) {
    const std::string text = support::ReadFile(home_.path() / file);
    int n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
  }

  support::TempDir home_{"alarmfax"};
  fs::path old_;
  std::mutex lock_;
  std::vector<std::string> boxes_;
  User user_;
  std::unique_ptr<QTimer> driver_;
};

}  // namespace

TEST_F(AlarmFaxTest, PhAboveItsLimitFaxesTheReportOnceAndTheTestFaxAgain) {
  // The fax machine on the modem line "Faxmodem" of the settings, taking two calls.
  peertest::Peer peer("faxpeer", {"--receive", home_ / "received.tif", "--calls", "2", "--ident",
                                  "ZOOHANDLUNG", "--log", home_ / "peer.log", "--timeout", "170"});
  ASSERT_FALSE(peer.Path().empty());
  setenv(("SIO_COM" + std::to_string(kFaxCom)).c_str(), peer.Path().c_str(), 1);
  WriteTapiDeviceName(support::ListFaxModemLine(kFaxCom));
  // The cover text as a Linux editor writes it (LF line ends, none at its end) and the fax of
  // one page in the working folder.
  home_.Write("Cover.txt",
              "Alarm vom Aquarium\nBitte sofort pr\xFC"
              "fen");
  const std::string pageFile =
      peertest::TextFaxFile(home_, "korvidan", "Messwerte siehe Deckblatt\r\n", false);
  ASSERT_EQ(pageFile, (home_.path() / "korvidan.fxf").string());

  e2e::Simulator sim({"--fixed", "--period", "1"});
  ASSERT_TRUE(sim.OfferOnCom1());
  auto app = std::make_unique<TKorvidanApplication>();
  TForm1& form = *app->MainForm;
  form.FState.SetIntervalSeconds(0);
  app->Bus->ListenMilliseconds = 1500;
  app->ValueBoard->MediaPlayer1.DeviceName = "null";
  std::atomic<int> cycles{0};
  e2e::CountStoredCycles(cycles);
  // What "Call Progress" shows after "Using:" while it is up, and whether it and "Fax Status"
  // then stand above the main window.
  std::vector<std::string> using_;
  int shownAbove = 0, shownElsewhere = 0;
  QTimer callWindow;
  QObject::connect(&callWindow, &QTimer::timeout, [&] {
    TSioStandardTapiDisplay* call = app->FaxModule->SioTapiStatus1->Display();
    const std::string text = call->dpUsing->text().toStdString();
    if (call->isVisible() && (using_.empty() || using_.back() != text)) using_.push_back(text);
    for (QWidget* w :
         {static_cast<QWidget*>(call), static_cast<QWidget*>(app->FaxModule->SioFaxStatus1->Display())})
      if (w->isVisible())
        ++(w->windowHandle()->transientParent() == form.windowHandle() && w->windowType() != Qt::Window
               ? shownAbove
               : shownElsewhere);
  });
  callWindow.start(50);
  app->Show();
  ASSERT_TRUE(RunUntil([&] { return user_.startAnswers == 1; }, 20000)) << "no start question";
  ASSERT_TRUE(RunUntil([&] { return ControllerList && ControllerList->GetControllerCount() == 1; }, 10000));
  {
    // pH (sensor 1) above its upper limit, with the action "Fax".
    std::lock_guard<TCriticalSection> g(SensorDataLock);
    TSensor* ph = ControllerList->GetController(0)->GetSensor(0);
    ph->SetActionText("Fax");
    ph->SetUpperLimit(7.0f);
    ph->SetLowerLimit(6.0f);
  }

  // The first alarm faxes its report; the fax status window shows the send.
  ASSERT_TRUE(RunUntil([&] { return Count("SIOFAX.HIS", "finished OK") == 1; }, 90000))
      << support::ReadFile(home_ / "peer.log") << support::ReadFile(home_ / "SIOFAX.HIS");
  const std::vector<std::string> sent = Boxes("SendFax: ");
  ASSERT_EQ(sent.size(), 1u);
  const std::string report = sent[0].substr(9);
  EXPECT_NE(report.find("Oberen Alarmwert überschritten: Sensor Nr = 1, Typ = pH"), std::string::npos)
      << report;
  EXPECT_EQ(report.substr(report.size() - 14), ", Aktion = Fax");
  EXPECT_TRUE(MainFlags.FFaxSent);
  EXPECT_FALSE(MainFlags.FFaxError);
  EXPECT_EQ(using_, (std::vector<std::string>{"Faxmodem"}));
  EXPECT_GT(shownAbove, 0);
  EXPECT_EQ(shownElsewhere, 0);

  // The next cycles do not dial again.
  ASSERT_TRUE(RunUntil([&] { return !app->FaxModule->Sending(); }, 20000));
  const int after = cycles + 2;
  ASSERT_TRUE(RunUntil([&] { return cycles >= after; }, 20000));
  EXPECT_EQ(Count("peer.log", "(dial)"), 1);
  EXPECT_EQ(Boxes("SendFax: ").size(), 1u);
  EXPECT_FALSE(FaxViewForm->isVisible());  // an alarm fax shows no fax

  // "Testfax senden" dials, on a folder without a cover text or fax file of its own.
  fs::remove(home_ / "Cover.txt");
  fs::rename(pageFile, home_ / "first.fxf");
  const std::string defaults = InstalledDataDirectory("Fax");
  ASSERT_TRUE(form.Testfaxsenden1->isEnabled());
  form.Testfaxsenden1->trigger();
  ASSERT_TRUE(RunUntil([&] { return Count("SIOFAX.HIS", "finished OK") == 2; }, 90000))
      << support::ReadFile(home_ / "peer.log");
  EXPECT_EQ(Boxes("SendFax: TestFax").size(), 1u);
  EXPECT_EQ(Count("peer.log", "(dial)"), 2);
  // The fax view form shows the fax that went out.
  ASSERT_NE(FaxViewForm, nullptr);
  EXPECT_TRUE(FaxViewForm->isVisible());
  EXPECT_EQ(FaxViewForm->SioFaxViewer1->GetFileName(), defaults + "/korvidan.fxf");
  EXPECT_EQ(FaxViewForm->SioFaxViewer1->NumPages(), 1u);
  ASSERT_TRUE(RunUntil([&] { return !app->FaxModule->Sending(); }, 20000));

  form.close();
  app.reset();
  fs::current_path(old_);

  const std::vector<peertest::PeerResult> results = peer.Results(60000);
  ASSERT_EQ(results.size(), 2u) << support::ReadFile(home_ / "peer.log");
  for (const auto& r : results) {
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.pages, 2);  // the cover and the page
  }

  // What the machine printed: lead lines, the header line, the cover with the cover text and
  // the lines of the report, whole; then the page, at the page's resolution. The second fax:
  // the cover text and the (fine) page that come with the program.
  const auto printed = [&](const std::string& tiff, const std::string& coverText, const std::string& text,
                           const std::string& page, bool fine) {
    SCOPED_TRACE(tiff);
    const std::vector<Picture> pages = peertest::TiffPages(home_, home_ / tiff);
    ASSERT_EQ(pages.size(), 2u);
    int headerRows = 0, textRows = 0;
    TextRows({"x"}, TFaxTextFont{"MS Sans Serif", -11}, fine, &headerRows);
    std::vector<std::string> coverLines;
    const std::string all = coverText + "\r\n" + Utf8ToCp1252(text);
    for (std::size_t start = 0;;) {
      const std::size_t nl = all.find('\n', start);
      std::string line = all.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      coverLines.push_back(line);
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
    const Picture cover = TextRows(coverLines, TFaxTextFont{"Times New Roman", -19}, fine, &textRows);
    const int lead = 8 + headerRows;
    ASSERT_EQ(pages[0].size(), static_cast<std::size_t>(lead) + cover.size());
    int headerInk = 0;
    for (int r = 8; r < lead; ++r)
      headerInk += static_cast<int>(std::count(pages[0][r].begin(), pages[0][r].end(), true));
    EXPECT_GT(headerInk, 100);
    for (std::size_t i = 0; i < coverLines.size(); ++i) {
      const Picture got(pages[0].begin() + lead + static_cast<long>(i) * textRows,
                        pages[0].begin() + lead + static_cast<long>(i + 1) * textRows);
      const Picture want(cover.begin() + static_cast<long>(i) * textRows,
                         cover.begin() + static_cast<long>(i + 1) * textRows);
      EXPECT_TRUE(got == want) << "cover line " << i + 1 << ": " << Cp1252ToUtf8(coverLines[i]);
    }
    const Picture body = faxtest::DecodeFax(page, 1728);
    ASSERT_EQ(pages[1].size(), static_cast<std::size_t>(lead) + body.size());
    EXPECT_TRUE(Picture(pages[1].begin() + lead, pages[1].end()) == body);
  };
  printed("received.tif",
          "Alarm vom Aquarium\nBitte sofort pr\xFC"
          "fen",
          report, home_ / "first.fxf", false);
  const std::string defaultCover = support::ReadFile(defaults + "/Cover.txt");
  EXPECT_NE(defaultCover.find("Alarmmeldung"), std::string::npos);
  printed("received-2.tif", defaultCover, "TestFax", defaults + "/korvidan.fxf", true);

  const std::string history = support::ReadFile(home_ / "SIOFAX.HIS");
  EXPECT_NE(history.find("Transmit korvidan.fxf to 48 started at "), std::string::npos) << history;
  EXPECT_NE(history.find("Transmit " + defaults + "/korvidan.fxf to 48 started at "), std::string::npos)
      << history;
  EXPECT_NE(history.find("ZOOHANDLUNG"), std::string::npos) << history;
  EXPECT_FALSE(support::ReadFile(home_ / "SIOTAPI.HIS").empty());
}

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
