// The fax status window during real sends through the fax modem simulator: what it shows
// of the call and the page, the redial count-down, and its Cancel button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <cstdlib>

#include "fax/SioFax.h"
#include "fax/ui/SioFStat.h"
#include "fax/ui/SioMeter.h"
#include "tests/fax/FaxTestUtil.h"
#include "tests/support/Child.h"
#include "tests/support/TempDir.h"

namespace {

constexpr int kCom = 45;

std::string Text(QLabel* l) { return l->text().toStdString(); }

// A send component with its status window on a simulator port, as a data module holds them.
struct Station : TSioComponentOwner {
  support::Simulator sim;
  TSioComPort* port;
  TSioFaxStatus* status;
  TSioSendFax* fax;
  bool finished = false;
  int finishCode = 1;

  explicit Station(std::vector<std::string> simArgs) : sim("faxmodem-sim", std::move(simArgs), kCom) {
    port = new TSioComPort(this);
    port->SetComNumber(kCom);
    port->SetAutoOpen(false);
    status = new TSioFaxStatus(this);
    fax = new TSioSendFax(this);
    fax->SetOnFaxFinish([this](TSioCustomAbstractFax*, int code) {
      finished = true;
      finishCode = code;
    });
    port->SetOpen(true);
  }
  ~Station() override {
    delete fax;
    delete status;
    delete port;
  }
  TStandardFaxDisplay* Display() { return status->Display(); }
};

}  // namespace

// While a page goes out the window shows the number, the remote, the page and how far the
// page is; Cancel ends the session as a user abort.
TEST(FaxStatusWindow, ShowsTheSendAndCancelEndsIt) {
  support::TempDir dir("faxstatus");
  Station st({"--classes", "2", "--stall-page", "1:0"});
  ASSERT_EQ(st.fax->GetStatusDisplay(), st.status);
  EXPECT_EQ(st.status->GetFax(), st.fax);
  EXPECT_FALSE(st.Display()->isVisible());
  // A page long enough to still be going when the remote stops taking data.
  const std::string file = dir / "noise.fxf";
  ASSERT_EQ(0, faxtest::WriteFaxFile(file, {faxtest::RandomPicture(1728, 1500, 9)}, false, false));
  st.fax->SetFaxFile(file);
  st.fax->SetPhoneNumber("0815");
  st.fax->SetFaxClass(fcClass2);
  st.fax->StartTransmit();
  EXPECT_TRUE(st.Display()->isVisible());

  TStandardFaxDisplay* d = st.Display();
  const auto sending = [&] {
    return st.fax->GetFaxProgress() == fpSendPage && st.fax->GetBytesTransferred() > 0 &&
           d->Meter->GetPosition() > 0;
  };
  ASSERT_TRUE(PumpUntil(sending, 20000));
  PumpUntil([] { return false; }, 1500);  // a status round or two more
  EXPECT_EQ(Text(d->fsPhoneNumber), "0815");
  EXPECT_EQ(Text(d->fsFaxFileName), "noise.fxf");
  EXPECT_EQ(Text(d->fsRemoteID), " REMOTE FAX");
  EXPECT_EQ(Text(d->fsCurrentPage), "1");
  EXPECT_EQ(Text(d->fsTotalPages), "1");
  EXPECT_EQ(Text(d->fsConnectBPS), "14400");
  EXPECT_EQ(Text(d->fsStatusMsg), "Sending page data");
  EXPECT_EQ(Text(d->fsLabel19), "Page progress:");
  EXPECT_TRUE(d->Meter->isVisible());
  EXPECT_GT(d->Meter->GetPosition(), 0);
  EXPECT_LT(d->Meter->GetPosition(), 100);
  EXPECT_EQ(std::stol(Text(d->fsPageLength)), st.fax->GetPageLength());
  EXPECT_NE(Text(d->fsElapsedTime), "00:00");

  d->fsCancel->click();
  ASSERT_TRUE(PumpUntil([&] { return st.finished; }, 20000));
  EXPECT_EQ(st.finishCode, ecCancelRequested);
  EXPECT_EQ(st.fax->GetFaxProgress(), fpCancel);
  EXPECT_FALSE(d->isVisible());  // the ending status hides it
}

// The elapsed time of a fax counts from that fax's own connection, not from an earlier one.
TEST(FaxStatusWindow, EachFaxTimesItself) {
  support::TempDir dir("faxstatus");
  Station st({"--classes", "2"});
  const std::string file = dir / "page.fxf";
  ASSERT_EQ(0, faxtest::WriteFaxFile(file, {faxtest::RandomPicture(1728, 200, 3)}, false, false));
  st.fax->SetFaxFile(file);
  st.fax->SetPhoneNumber("0815");
  st.fax->SetFaxClass(fcClass2);
  st.fax->StartTransmit();
  ASSERT_TRUE(PumpUntil([&] { return st.finished; }, 20000));
  ASSERT_EQ(st.finishCode, 0);
  PumpUntil([] { return false; }, 3000);

  st.finished = false;
  const auto start = std::chrono::steady_clock::now();
  st.fax->StartTransmit();
  TStandardFaxDisplay* d = st.Display();
  ASSERT_TRUE(PumpUntil([&] { return Text(d->fsStatusMsg) == "Sending page data"; }, 20000));
  const auto since = std::chrono::steady_clock::now() - start;
  const std::string shown = Text(d->fsElapsedTime);
  const std::size_t colon = shown.find(':');
  ASSERT_NE(colon, std::string::npos) << shown;
  const int seconds = std::stoi(shown.substr(0, colon)) * 60 + std::stoi(shown.substr(colon + 1));
  EXPECT_LE(seconds, std::chrono::ceil<std::chrono::seconds>(since).count()) << shown;
  ASSERT_TRUE(PumpUntil([&] { return st.finished; }, 20000));
}

// While the number is busy the status line counts down to the next dial.
TEST(FaxStatusWindow, BusyCountsDownToTheRedial) {
  support::TempDir dir("faxstatus");
  Station st({"--classes", "2", "--busy"});
  st.fax->SetCoverFile(dir.Write("a_cover_with_a_long_name.txt", "Deckblatt\r\n"));
  st.fax->SetFaxFile("");
  st.fax->SetPhoneNumber("4711");
  st.fax->SetFaxClass(fcClass2);
  st.fax->SetDialAttempts(2);
  st.fax->SetDialRetryWait(4);
  st.fax->StartTransmit();
  TStandardFaxDisplay* d = st.Display();
  ASSERT_TRUE(PumpUntil([&] { return st.fax->GetFaxProgress() == fpBusyWait; }, 20000));
  PumpUntil([] { return false; }, 1200);
  const std::string first = Text(d->fsStatusMsg);
  PumpUntil([] { return false; }, 1200);
  const std::string later = Text(d->fsStatusMsg);
  const std::string text = "Busy, waiting until redial...";
  ASSERT_EQ(first.substr(0, text.size()), text);
  ASSERT_EQ(later.substr(0, text.size()), text);
  const std::string t1 = first.substr(text.size()), t2 = later.substr(text.size());
  EXPECT_EQ(t1.size(), 6u);
  EXPECT_LT(t2, t1);  // "  0:02" after "  0:03"
  EXPECT_EQ(Text(d->fsCoverFileName), "a_cover_with_a_long_...");
  EXPECT_EQ(Text(d->fsCurrentPage), "1");
  EXPECT_EQ(Text(d->fsDialAttempt), "2");
  EXPECT_EQ(Text(d->fsElapsedTime), "00:00");
  ASSERT_TRUE(PumpUntil([&] { return st.finished; }, 20000));
  EXPECT_EQ(st.finishCode, ecFaxBusy);
}

TEST(FaxStatusWindow, TimesAndNames) {
  EXPECT_EQ(FaxStatusTime(0), "  0:00");
  EXPECT_EQ(FaxStatusTime(65), "  1:05");
  EXPECT_EQ(FaxStatusTime(6000), "100:00");
  EXPECT_EQ(FaxStatusFileName("/var/fax/abcdefghijklmnopqrstuvwxy.fxf"), "abcdefghijklmnopqrst...");
  EXPECT_EQ(FaxStatusFileName("C:\\FAX\\KORVIDAN.FXF"), "KORVIDAN.FXF");
}

int main(int argc, char** argv) {
  // Listing the tests happens without the test environment: no display then either.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
