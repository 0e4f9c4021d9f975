// Class 1 faxes against an independent fax machine (tools/faxpeer: libspandsp's T.31 modem
// and T.30 terminal, in real time): what our sender sends is what the machine prints, and
// what the machine sends is what our receiver files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "FaxPeerUtil.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"

using namespace peertest;
namespace fs = std::filesystem;

namespace {

constexpr int kCom = 41;

void SendThreePagesTo(Peer& peer, const support::TempDir& dir, std::uint16_t bps, int expectRate);

class FaxPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (SlowBuild()) GTEST_SKIP() << "real-time fax peer: normal build only";
  }
  support::TempDir dir{"faxpeer"};
};

// Sends three pages (normal text, fine text, noise) at the rate asked for; the machine must
// print every page as sent, below the lead lines and the header line.
void SendThreePages(const support::TempDir& dir, std::uint16_t bps, int expectRate) {
  const std::string received = dir / "received.tif";
  Peer peer("faxpeer", {"--receive", received, "--log", dir / "peer.log", "--timeout", "150"});
  SendThreePagesTo(peer, dir, bps, expectRate);
}
void SendThreePagesTo(Peer& peer, const support::TempDir& dir, std::uint16_t bps, int expectRate) {
  const std::string received = dir / "received.tif";
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, false, dir / "SIOFAX.HIS");
  TSioSendFax* fax = st.Sender();
  const std::vector<std::string> files = {
      TextFaxFile(dir, "normal", "Alarm im Becken 1\r\npH zu hoch: 8,4\r\n", false),
      TextFaxFile(dir, "fine", "Feine Seite\r\nzweite Zeile\r\n", true), NoiseFaxFile(dir, "noise", 60, 7)};
  fax->SetFaxFileList(files);
  fax->SetPhoneNumber("0815");
  fax->SetStationID("Korvidan 1");
  fax->SetFaxClass(fcClass1);
  fax->SetDesiredBPS(bps);
  fax->SetHeaderLine("KORVIDAN $P/$N");
  fax->StartTransmit();
  ASSERT_TRUE(st.WaitFinish(150000)) << support::ReadFile(dir / "peer.log");
  EXPECT_EQ(st.finishCode, 0) << support::ReadFile(dir / "peer.log");
  EXPECT_TRUE(st.errors.empty());

  const std::vector<PeerResult> results = peer.Results();
  ASSERT_EQ(results.size(), 1u) << support::ReadFile(dir / "peer.log");
  EXPECT_EQ(results[0].code, 0) << results[0].text;
  EXPECT_EQ(results[0].pages, 3);
  EXPECT_EQ(results[0].rate, expectRate);
  EXPECT_EQ(Trim(results[0].remote), "KORVIDAN 1");

  const std::vector<Picture> pages = TiffPages(dir, received);
  ASSERT_EQ(pages.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const bool fine = i == 1;
    const Picture sent = faxtest::DecodeFax(files[i], 1728);
    const int lead = 8 + HeaderRows(fine);
    ASSERT_EQ(pages[i].size(), sent.size() + static_cast<std::size_t>(lead)) << "page " << i + 1;
    const Picture body(pages[i].begin() + lead, pages[i].end());
    EXPECT_EQ(FirstDifference(body, sent), -1) << "page " << i + 1;
    // The lead lines are white, the header line has ink.
    for (int r = 0; r < 8; ++r) EXPECT_EQ(std::count(pages[i][r].begin(), pages[i][r].end(), true), 0);
    int ink = 0;
    for (int r = 8; r < lead; ++r)
      ink += static_cast<int>(std::count(pages[i][r].begin(), pages[i][r].end(), true));
    EXPECT_GT(ink, 100) << "page " << i + 1;
  }
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Transmit to "), std::string::npos) << history;
  EXPECT_NE(history.find(" finished OK at "), std::string::npos) << history;
  EXPECT_EQ(history.find("failed"), std::string::npos) << history;
  for (const std::string& f : files)
    EXPECT_NE(history.find("Transmit " + f + " to 0815 started at "), std::string::npos);
}

}  // namespace

TEST_F(FaxPeerTest, SendsThreePagesAt9600) { SendThreePages(dir, 9600, 9600); }

// At 14400 bit/s the pages after the first go with V.17's short training, as after CFR.
TEST_F(FaxPeerTest, SendsThreePagesAt14400) { SendThreePages(dir, 14400, 14400); }

// The machine answers a page it could not read with RTN: that page goes again after new
// training, and the fax is complete at the machine.
TEST_F(FaxPeerTest, PageTheMachineRejectsIsSentAgain) {
  Peer peer("faxpeer", {"--receive", dir / "received.tif", "--bad-line", "2", "--log", dir / "peer.log",
                        "--timeout", "150"});
  SendThreePagesTo(peer, dir, 9600, 7200);  // after RTN one rate lower
  const std::string log = support::ReadFile(dir / "peer.log");
  EXPECT_NE(log.find("(page image 2, "), std::string::npos);
  EXPECT_NE(log.find(" garbled)"), std::string::npos);
  EXPECT_NE(log.find("(page image 4, "), std::string::npos) << log;  // page 2 again, then page 3
}

// Rejected again and again, the page ends the fax with an error: it is never reported sent.
TEST_F(FaxPeerTest, PageRejectedUntilTheRetriesRunOutFailsTheFax) {
  Peer peer("faxpeer", {"--receive", dir / "received.tif", "--bad-line", "2,3,4", "--log", dir / "peer.log",
                        "--timeout", "150"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, false, dir / "SIOFAX.HIS");
  TSioSendFax* fax = st.Sender();
  fax->SetFaxFileList({TextFaxFile(dir, "one", "Seite eins\r\n", false), NoiseFaxFile(dir, "two", 40, 3),
                       TextFaxFile(dir, "three", "Seite drei\r\n", false)});
  fax->SetPhoneNumber("0815");
  fax->SetFaxClass(fcClass1);
  fax->StartTransmit();
  ASSERT_TRUE(st.WaitFinish(150000)) << support::ReadFile(dir / "peer.log");
  EXPECT_EQ(st.finishCode, ecFaxSessionError) << support::ReadFile(dir / "peer.log");
  EXPECT_FALSE(fax->GetLastPageStatus());
  EXPECT_NE(std::find(st.progress.begin(), st.progress.end(), fpPageError), st.progress.end());
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_EQ(history.find("finished OK"), std::string::npos) << history;
  EXPECT_NE(history.find("Transmit failed at "), std::string::npos) << history;
  const std::vector<PeerResult> results = peer.Results(30000);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_NE(results[0].code, 0);
  EXPECT_EQ(results[0].pages, 1);
}

// 12000 bit/s is V.17's: the machine offers it with V.17 and takes it as V.17's code.
TEST_F(FaxPeerTest, SendsAt12000) {
  Peer peer("faxpeer", {"--receive", dir / "received.tif", "--log", dir / "peer.log", "--timeout", "120"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, false, dir / "SIOFAX.HIS");
  TSioSendFax* fax = st.Sender();
  fax->SetFaxFile(TextFaxFile(dir, "one", "Zwoelftausend\r\n", false));
  fax->SetPhoneNumber("0815");
  fax->SetFaxClass(fcClass1);
  fax->SetDesiredBPS(12000);
  fax->StartTransmit();
  ASSERT_TRUE(st.WaitFinish(120000)) << support::ReadFile(dir / "peer.log");
  EXPECT_EQ(st.finishCode, 0);
  EXPECT_EQ(fax->GetSessionBPS(), 12000);
  const std::vector<PeerResult> results = peer.Results(30000);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 0) << results[0].text;
  EXPECT_EQ(results[0].pages, 1);
  EXPECT_EQ(results[0].rate, 12000);
}
