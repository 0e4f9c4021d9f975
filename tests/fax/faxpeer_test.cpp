// Class 1 faxes against an independent fax machine (tools/faxpeer: libspandsp's T.31 modem
// and T.30 terminal, in real time): what our sender sends is what the machine prints, and
// what the machine sends is what our receiver files.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "FaxPeerUtil.h"
#include "G3Decode.h"
#include "platform/Text.h"
#include "serial/Sioexcept.h"

using namespace peertest;
namespace fs = std::filesystem;

namespace {

constexpr int kCom = 41;

void SendThreePagesTo(Peer& peer, const support::TempDir& dir, std::uint16_t bps, int expectRate,
                      std::size_t finePage = 1);

// The vertical resolution of every page of a TIFF file, in lines an inch.
std::vector<long> TiffLinesPerInch(const std::string& file) {
  std::vector<long> out;
  TIFF* t = TIFFOpen(file.c_str(), "r");
  if (t == nullptr) return out;
  do {
    float y = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &y);
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    out.push_back(std::lround(unit == RESUNIT_CENTIMETER ? y * 2.54f : y));
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return out;
}

class FaxPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (support::SanitizerBuild()) GTEST_SKIP() << "real-time fax peer: normal build only";
  }
  support::TempDir dir{"faxpeer"};
};

// Sends three pages (normal text, noise, and fine text as page finePage) at the rate asked
// for; the machine must print every page as sent, below the lead lines and the header line, at
// the page's own resolution.
void SendThreePages(const support::TempDir& dir, std::uint16_t bps, int expectRate, std::size_t finePage) {
  const std::string received = dir / "received.tif";
  Peer peer("faxpeer", {"--receive", received, "--log", dir / "peer.log", "--timeout", "150"});
  SendThreePagesTo(peer, dir, bps, expectRate, finePage);
}
void SendThreePagesTo(Peer& peer, const support::TempDir& dir, std::uint16_t bps, int expectRate,
                      std::size_t finePage) {
  const std::string received = dir / "received.tif";
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, false, dir / "SIOFAX.HIS");
  TSioSendFax* fax = st.Sender();
  std::vector<std::string> files = {TextFaxFile(dir, "normal", "Alarm im Becken 1\r\npH zu hoch: 8,4\r\n", false),
                                    NoiseFaxFile(dir, "noise", 60, 7)};
  files.insert(files.begin() + static_cast<std::ptrdiff_t>(finePage),
               TextFaxFile(dir, "fine", "Feine Seite\r\nzweite Zeile\r\n", true));
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
  std::vector<long> linesPerInch(3, 98);
  linesPerInch[finePage] = 196;
  EXPECT_EQ(TiffLinesPerInch(received), linesPerInch);
  for (std::size_t i = 0; i < 3; ++i) {
    const bool fine = i == finePage;
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

// The fine page between the normal ones goes under a DCS of its own, and so does the page
// after it.
TEST_F(FaxPeerTest, SendsThreePagesAt9600) { SendThreePages(dir, 9600, 9600, 1); }

// At 14400 bit/s the second page goes with V.17's short training, as after CFR; the fine
// third page after a new DCS and training.
TEST_F(FaxPeerTest, SendsThreePagesAt14400) { SendThreePages(dir, 14400, 14400, 2); }

// The machine answers a page it could not read with RTN: that page goes again after new
// training, and the fax is complete at the machine. The rejected page is the fine one, ended
// with EOM: it goes again once the machine has sent its DIS anew, still one rate lower.
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

// A cover text written on Linux (LF line ends) prints as the same cover written with CR LF:
// one text line per line end, row for row at the machine.
TEST_F(FaxPeerTest, CoverWithLinuxLineEndsPrintsAsTheSameCoverWithCrLf) {
  Peer peer("faxpeer", {"--receive", dir / "received.tif", "--calls", "2", "--log", dir / "peer.log",
                        "--timeout", "170"});
  ASSERT_FALSE(peer.Path().empty());
  const std::string page = TextFaxFile(dir, "page", "Messwerte\r\n", false);
  for (const char* end : {"\n", "\r\n"}) {
    std::string cover;
    for (int i = 1; i <= 8; ++i)
      cover += "Zeile " + std::to_string(i) + ": Becken " + std::to_string(i) + end;
    FaxStation st(peer.Path(), kCom, false, dir / "SIOFAX.HIS");
    TSioSendFax* fax = st.Sender();
    fax->SetFaxFile(page);
    fax->SetCoverFile(dir.Write(std::string(end) == "\n" ? "lf.txt" : "crlf.txt", cover));
    fax->SetPhoneNumber("0815");
    fax->SetFaxClass(fcClass1);
    fax->SetHeaderLine("KORVIDAN $P/$N");
    fax->StartTransmit();
    ASSERT_TRUE(st.WaitFinish(150000)) << support::ReadFile(dir / "peer.log");
    ASSERT_EQ(st.finishCode, 0) << support::ReadFile(dir / "peer.log");
  }
  const std::vector<PeerResult> results = peer.Results();
  ASSERT_EQ(results.size(), 2u) << support::ReadFile(dir / "peer.log");
  for (const PeerResult& r : results) {
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.pages, 2);  // the cover and the page
  }
  const std::vector<Picture> lf = TiffPages(dir, dir / "received.tif");
  const std::vector<Picture> crlf = TiffPages(dir, dir / "received-2.tif");
  ASSERT_EQ(lf.size(), 2u);
  ASSERT_EQ(crlf.size(), 2u);
  // Below the lead lines and the header line: the eight lines, 16 rows each in the standard
  // font (the empty line after the last line end is not sent).
  const int lead = 8 + HeaderRows(false);
  ASSERT_EQ(crlf[0].size(), static_cast<std::size_t>(lead + 8 * 16));
  EXPECT_EQ(FirstDifference(lf[0], crlf[0]), -1);
  EXPECT_EQ(FirstDifference(lf[1], crlf[1]), -1);
}

namespace {

// A TIFF of G3 pages made by netpbm from PBM pictures, each page fine or normal.
std::string MakeTiff(const support::TempDir& dir, const std::vector<Picture>& pages,
                     const std::vector<bool>& fine) {
  std::string list;
  faxtest::TempDir scratch;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const std::string name = faxtest::WritePbm(scratch, "page" + std::to_string(i) + ".pbm", pages[i]);
    const std::string tif = dir / ("page" + std::to_string(i) + ".tif");
    EXPECT_TRUE(faxtest::Shell("pnmtotiff -g3 -xresolution 204 -yresolution " +
                               std::string(fine[i] ? "196" : "98") + " '" + name + "' > '" + tif + "'"));
    list += " '" + tif + "'";
  }
  const std::string out = dir / "send.tif";
  EXPECT_TRUE(faxtest::Shell("tiffcp" + list + " '" + out + "'"));
  return out;
}

// The raw T.4 code of a page of a received fax file.
std::vector<std::uint8_t> RawPage(const std::string& file, unsigned page) {
  TFaxFileReader r;
  EXPECT_EQ(0, r.Open(file));
  EXPECT_EQ(0, r.SeekPage(page));
  std::vector<std::uint8_t> out;
  std::uint8_t buf[4096];
  int len = 0;
  while (r.ReadPageData(buf, sizeof buf, len) == 0 && len > 0) out.insert(out.end(), buf, buf + len);
  return out;
}

// A received fax file holds the pages as sent: page count, flags, the sender's ID, and
// the code of every page decoding (g3topbm) to the picture sent.
void ExpectReceived(const std::string& file, const std::vector<Picture>& pages,
                    const std::vector<bool>& fine) {
  TFaxHeaderRec h;
  ASSERT_EQ(0, fxfReadFaxHeader(file, h)) << file;
  EXPECT_EQ(h.PageCount, pages.size());
  EXPECT_EQ(Trim(h.GetStationID()), "FAXPEER");
  for (std::size_t i = 0; i < pages.size(); ++i) {
    TPageHeaderRec ph;
    ASSERT_EQ(0, fxfReadPageHeader(file, static_cast<unsigned>(i + 1), ph));
    EXPECT_EQ(ph.PageFlags, fine[i] ? pfHighResolution : 0) << "page " << i + 1;
    const auto rows = G3Decode(RawPage(file, static_cast<unsigned>(i + 1)), 1728);
    ASSERT_EQ(rows.size(), pages[i].size()) << "page " << i + 1;
    EXPECT_TRUE(rows == pages[i]) << "page " << i + 1;
  }
}

// How often a text stands in a log.
int Occurrences(const std::string& log, const std::string& what) {
  int n = 0;
  for (std::size_t p = log.find(what); p != std::string::npos; p = log.find(what, p + 1)) ++n;
  return n;
}

// The rings the receiver heard while it waited for a call: those after the modem's answer
// to its last set-up command before the call's "(answer)" in the peer's log.
int RingsBeforeAnswer(const std::string& log, std::size_t from = 0) {
  const std::size_t answer = log.find("(answer)", from);
  if (answer == std::string::npos) return -1;
  const std::size_t setup = log.rfind("> AT+FCLASS=1", answer);
  if (setup == std::string::npos || setup < from) return -1;
  const std::size_t ready = log.find("< OK", setup);
  int rings = 0;
  for (std::size_t p = log.find("(ring)", ready); p != std::string::npos && p < answer;
       p = log.find("(ring)", p + 1))
    ++rings;
  return rings;
}

}  // namespace

// Two calls of two pages (one fine, one normal): each is answered at the second ring and
// filed under the next free name.
TEST_F(FaxPeerTest, ReceivesTwoCallsIntoNumberedFiles) {
  const std::vector<Picture> pages = {faxtest::RandomPicture(1728, 40, 11),
                                      faxtest::RandomPicture(1728, 30, 12)};
  const std::vector<bool> fine = {true, false};
  const std::string tiff = MakeTiff(dir, pages, fine);
  // The line waits for our listens, so that a busy machine cannot make us miss a frame or a
  // training check of the sender's, which it would then repeat.
  Peer peer("faxpeer", {"--send", tiff, "--calls", "2", "--wait-for-listen", "--ring-interval", "400", "--log",
                        dir / "peer.log", "--timeout", "170"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, true, dir / "SIOFAX.HIS");
  TSioReceiveFax* fax = st.Receiver();
  fax->SetFaxClass(fcClass1);
  fax->SetAnswerOnRing(2);
  fax->SetStationID("Korvidan Empfang");
  fax->SetDestinationDir(dir.str());
  fax->StartReceive();
  const auto done = [&] {
    return std::count(st.logs.begin(), st.logs.end(), lfaxReceiveOk) == 2 || st.finished;
  };
  ASSERT_TRUE(PumpUntil(done, 170000)) << support::ReadFile(dir / "peer.log");
  EXPECT_FALSE(st.finished);
  fax->CancelFax();
  ASSERT_TRUE(st.WaitFinish(20000));
  EXPECT_EQ(st.finishCode, ecCancelRequested);

  const std::vector<PeerResult> results = peer.Results(30000);
  ASSERT_EQ(results.size(), 2u) << support::ReadFile(dir / "peer.log");
  for (const PeerResult& r : results) {
    EXPECT_EQ(r.code, 0) << r.text;
    EXPECT_EQ(r.pages, 2);
    EXPECT_EQ(Trim(r.remote), "Korvidan Empfang");
  }
  const std::string log = support::ReadFile(dir / "peer.log");
  EXPECT_EQ(RingsBeforeAnswer(log), 2);
  EXPECT_EQ(RingsBeforeAnswer(log, log.find("(answer)") + 1), 2);
  // The machine ends each fine page with EOM and, once we have sent DIS again, the normal page
  // with a DCS of its own: every training after a DCS is heard at the first try, no DCS repeated.
  EXPECT_EQ(Occurrences(log, "(sent EOM)"), 2);
  EXPECT_EQ(Occurrences(log, "(sent DCS)"), 4) << log;
  ExpectReceived(dir / "FAX0001.FXF", pages, fine);
  ExpectReceived(dir / "FAX0002.FXF", pages, fine);
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive " + dir / "FAX0001.FXF" + " from "), std::string::npos) << history;
  EXPECT_NE(history.find("Receive " + dir / "FAX0002.FXF" + " from "), std::string::npos) << history;
}

// At 14400 bit/s the second page follows MPS with V.17's short training, and its data come
// only after the modem's CONNECT.
TEST_F(FaxPeerTest, ReceivesPagesAfterMpsAt14400) {
  const std::vector<Picture> pages = {faxtest::RandomPicture(1728, 40, 21),
                                      faxtest::RandomPicture(1728, 40, 22)};
  const std::vector<bool> fine = {false, false};
  const std::string tiff = MakeTiff(dir, pages, fine);
  Peer peer("faxpeer",
            {"--send", tiff, "--ring-interval", "400", "--log", dir / "peer.log", "--timeout", "120"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, true, dir / "SIOFAX.HIS");
  TSioReceiveFax* fax = st.Receiver();
  fax->SetFaxClass(fcClass1);
  fax->SetDesiredBPS(14400);
  fax->SetOneFax(true);
  fax->SetDestinationDir(dir.str());
  fax->StartReceive();
  ASSERT_TRUE(st.WaitFinish(120000)) << support::ReadFile(dir / "peer.log");
  EXPECT_EQ(st.finishCode, 0);
  EXPECT_EQ(fax->GetSessionBPS(), 14400) << support::ReadFile(dir / "peer.log");
  const std::vector<PeerResult> results = peer.Results(30000);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 0) << results[0].text;
  EXPECT_EQ(results[0].rate, 14400);
  ExpectReceived(dir / "FAX0001.FXF", pages, fine);
}

namespace {

// Our receiver takes one fax from the machine at the rate asked for; an error ends it.
void StartReceivingOneFax(FaxStation& st, const support::TempDir& dir, std::uint16_t bps) {
  TSioReceiveFax* fax = st.Receiver();
  fax->SetFaxClass(fcClass1);
  fax->SetDesiredBPS(bps);
  fax->SetOneFax(true);
  fax->SetExitOnError(true);
  fax->SetDestinationDir(dir.str());
  fax->StartReceive();
}

// The modem hears the listen for a page too late and misses the page's carrier: the
// receiver hears the machine's post-page command instead and answers it with RTN, and the
// machine trains again and sends the page again. Missed are the first page, a page after
// MCF and the first page after EOM; every page arrives all the same. The machine waits for
// every other listen, so that on a busy machine no other page is missed by chance: it would
// not send a page it ended with EOM again.
void ReceivesPagesWhoseListenCameLate(const support::TempDir& dir, std::uint16_t bps,
                                      const std::string& pageCode) {
  std::vector<Picture> pages;
  for (unsigned i = 0; i < 4; ++i) pages.push_back(faxtest::RandomPicture(1728, 30, 31 + i));
  const std::vector<bool> fine = {false, false, false, true};
  const std::string tiff = MakeTiff(dir, pages, fine);
  Peer peer("faxpeer", {"--send", tiff, "--late-page", "1,2,4", "--resend-rejected", "--wait-for-listen",
                        "--ring-interval", "400", "--log", dir / "peer.log", "--timeout", "170"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, true, dir / "SIOFAX.HIS");
  StartReceivingOneFax(st, dir, bps);
  ASSERT_TRUE(st.WaitFinish(170000)) << support::ReadFile(dir / "peer.log");
  const std::string log = support::ReadFile(dir / "peer.log");
  EXPECT_EQ(st.finishCode, 0) << log;
  EXPECT_TRUE(st.errors.empty());
  EXPECT_NE(log.find("> AT+FRM=" + pageCode + "\n(late listen for page 1)"), std::string::npos) << log;
  for (const char* late : {"(late listen for page 2)", "(late listen for page 4)"})
    EXPECT_NE(log.find(late), std::string::npos);
  EXPECT_GE(Occurrences(log, "(got RTN)"), 3);  // more when a page is missed by chance as well
  const std::vector<PeerResult> results = peer.Results(30000);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].code, 0) << results[0].text;
  ExpectReceived(dir / "FAX0001.FXF", pages, fine);
}

}  // namespace

// The machine hangs up (DCN) where its next document was to begin: the fax failed in
// mid-session, not at the user's request, and the page that came stays in the file. The
// machine waits for every listen, so that its one DCN is not missed on a busy machine.
TEST_F(FaxPeerTest, MachineHangingUpInMidFaxFailsTheFaxAndKeepsItsPage) {
  const std::vector<Picture> pages = {faxtest::RandomPicture(1728, 30, 41),
                                      faxtest::RandomPicture(1728, 30, 42)};
  const std::string tiff = MakeTiff(dir, pages, {false, true});
  Peer peer("faxpeer", {"--send", tiff, "--dcn-at-dis", "2", "--wait-for-listen", "--ring-interval", "400",
                        "--log", dir / "peer.log", "--timeout", "120"});
  ASSERT_FALSE(peer.Path().empty());
  FaxStation st(peer.Path(), kCom, true, dir / "SIOFAX.HIS");
  StartReceivingOneFax(st, dir, 9600);
  ASSERT_TRUE(st.WaitFinish(120000)) << support::ReadFile(dir / "peer.log");
  const std::string log = support::ReadFile(dir / "peer.log");
  EXPECT_NE(log.find("(refuse DIS)"), std::string::npos) << log;
  EXPECT_EQ(st.finishCode, ecFaxSessionError);
  EXPECT_EQ(st.errors, std::vector<int>{ecFaxSessionError});
  ExpectReceived(dir / "FAX0001.FXF", {pages[0]}, {false});
  const std::string history = support::ReadFile(dir / "SIOFAX.HIS");
  EXPECT_NE(history.find("Receive failed at "), std::string::npos) << history;
  EXPECT_NE(history.find("(Fax failed in mid-session)"), std::string::npos) << history;
}

TEST_F(FaxPeerTest, PagesWhoseCarrierWasMissedComeAgainAt9600) {
  ReceivesPagesWhoseListenCameLate(dir, 9600, "96");
}

TEST_F(FaxPeerTest, PagesWhoseCarrierWasMissedComeAgainAt14400) {
  ReceivesPagesWhoseListenCameLate(dir, 14400, "146");
}
