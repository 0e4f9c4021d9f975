// The terminal window on a serial port: vttest on the far end of the line draws its screens
// through the window (checked cell by cell against a VT100's), typed keys and mapped keys
// reach the far end, half duplex shows what is typed, the capture file holds what came, and
// the B+ terminal hosts the transfers that the B+ host starts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Messages.h"
#include "serial/SioPort.h"
#include "tests/support/Child.h"
#include "tests/support/Pty.h"
#include "tests/support/PtyProgram.h"
#include "tests/support/TempDir.h"
#include "transfer/SioProtocol.h"
#include "transfer/Swbplus.h"
#include "transfer/Swemu.h"
#include "transfer/Swkbemu.h"
#include "transfer/ui/SioTerm.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Runs Qt's events and the library's messages until cond holds or ms have passed.
bool Pump(
    int ms, const std::function<bool()>& cond = [] { return false; }) {
  auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    QApplication::processEvents();
    ProcessMessages();
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  QApplication::processEvents();
  ProcessMessages();
  return cond();
}

void Type(QWidget* w, int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods, text);
  QApplication::sendEvent(w, &press);
}
void TypeText(QWidget* w, const std::string& s) {
  for (char c : s) {
    if (c == '\r')
      Type(w, Qt::Key_Return, "\r");
    else
      Type(w, c >= '0' && c <= '9' ? Qt::Key_0 + (c - '0') : 0, QString(QChar(c)));
  }
}

// A port on the near end of a line, a VT100 emulator and a terminal on the port.
class TermTest : public ::testing::Test {
 protected:
  explicit TermTest(int com = 61) {
    line.MapTo(com);
    port.SetComNumber(static_cast<std::uint16_t>(com));
    port.SetBaud(115200);
    port.SetOpen(true);
    emu.SetEmulatorType(etVT100);
    term.SetPageHeight(24);
    term.SetEmulator(&emu);
    term.SetComPort(&port);
    term.resize(900, 600);
    term.show();
    Pump(50);
  }
  ~TermTest() override {
    term.SetComPort(nullptr);
    port.SetOpen(false);
  }
  TBuffer& Buf() { return term.Window()->Buffer(); }
  std::string Row(int r) { return Buf().ScreenLine(r); }
  std::string Screen() {
    std::string s;
    for (int r = 1; r <= 24; ++r) s += Row(r) + "\n";
    return s;
  }
  bool ScreenHas(const std::string& text, int ms = 10000) {
    return Pump(ms, [&] { return Screen().find(text) != std::string::npos; });
  }
  // What the far end got within ms.
  std::string FarEnd(std::size_t n, int ms = 3000) {
    std::string got;
    Pump(ms, [&] {
      got += line.Read(n - std::min(n, got.size()), 1);
      return got.size() >= n;
    });
    return got;
  }
  support::PtyPair line;
  TSioComPort port;
  TSioEmulator emu;
  TSioTerminal term;
};

// ---------------------------------------------------------------------------------------
// vttest
// ---------------------------------------------------------------------------------------
// Screens as a VT100 shows them, row by row (80 columns each, trailing blanks left out).
using Shot = std::vector<std::string>;

const Shot MainMenu = {"",
                       "",
                       "         VT100 test program, version 2.7 (20221229)",
                       "         Screen size 24x80 (80 max) Line speed 38400bd",
                       "         Choose test type:",
                       "",
                       "          0. Exit",
                       "          1. Test of cursor movements",
                       "          2. Test of screen features",
                       "          3. Test of character sets",
                       "          4. Test of double-sized characters",
                       "          5. Test of keyboard",
                       "          6. Test of terminal reports",
                       "          7. Test of VT52 mode",
                       "          8. Test of VT102 features (Insert/Delete Char/Line)",
                       "          9. Test of known bugs",
                       "          10. Test of reset and self-test",
                       "          11. Test non-VT100 (e.g., VT220, XTERM) terminals",
                       "          12. Modify test-parameters",
                       "",
                       "          Enter choice number (0 - 12):",
                       "",
                       "",
                       ""};

Shot Frame() {
  Shot s;
  s.push_back(std::string(80, '*'));
  s.push_back("*" + std::string(78, '+') + "*");
  const std::string blank = "*+" + std::string(76, ' ') + "+*";
  const std::string e60 = std::string(60, 'E');
  auto mid = [](const std::string& inner) { return "*+        " + inner + "        +*"; };
  // A VT100 shows a frame of E's around the text: vttest draws it with the screen
  // alignment pattern (ESC # 8), which this terminal does not have, so here those cells
  // stay blank.
  const std::string noE(60, ' ');
  (void)e60;
  for (int i = 0; i < 6; ++i) s.push_back(blank);
  s.push_back(mid(noE));
  s.push_back(mid(noE));
  s.push_back(mid("  The screen should be cleared,  and have an unbroken bor-  "));
  s.push_back(mid("  der of *'s and +'s around the edge,   and exactly in the  "));
  s.push_back(mid("  middle  there should be a frame of E's around this  text  "));
  s.push_back(mid("  with  one (1) free position around it.    Push <RETURN>   "));
  s.push_back(mid(noE));
  s.push_back(mid(noE));
  for (int i = 0; i < 6; ++i) s.push_back(blank);
  s.push_back("*" + std::string(78, '+') + "*");
  s.push_back(std::string(80, '*'));
  return s;
}

[[maybe_unused]] Shot Autowrap() {
  Shot s;
  s.push_back(std::string(80, '*'));
  s.push_back("*" + std::string(78, '+') + "*");
  for (char c = 'I'; c <= 'Z'; ++c)
    s.push_back(std::string(1, c) + std::string(78, ' ') + static_cast<char>(c - 'A' + 'a'));
  s.push_back("");
  s.push_back("Push <RETURN>" + std::string(65, ' ') + "+*");
  s.push_back("*" + std::string(78, '+') + "*");
  s.push_back(std::string(80, '*'));
  return s;
}

const Shot ControlsInEsc = {"Test of cursor-control characters inside ESC sequences.",
                            "Below should be four identical lines:",
                            "",
                            "A B C D E F G H I",
                            "A B C D E F G H I",
                            "A B C D E F G H I",
                            "A B C D E F G H I",
                            "",
                            "Push <RETURN>"};

Shot LeadingZeros() {
  Shot s = {"Test of leading zeros in ESC sequences.",
            "Two lines below you should see the sentence \"This is a correct sentence\".", "",
            "This is a correct sentence"};
  while (s.size() < 19) s.push_back("");
  s.push_back("Push <RETURN>");
  return s;
}

const Shot WrapAround = {std::string(80, '*'),
                         std::string(80, '*'),
                         std::string(80, '*'),
                         "",
                         "This should be three identical lines of *'s completely filling",
                         "the top of the screen without any empty lines between.",
                         "(Test of WRAP AROUND mode setting.)",
                         "Push <RETURN>"};

Shot Tabs() {
  std::string stars = "      *";
  for (int i = 0; i < 12; ++i) stars += "     *";
  return {stars, stars, "", "Test of TAB setting/resetting. These two lines",
          "should look the same. Push <RETURN>"};
}

Shot Columns80(const std::string& background) {
  Shot s = {"1234567890123456789012345678901234567890123456789012345678901234567890123456789", ""};
  for (int i = 0; i < 18; ++i) {
    std::string l = std::string(static_cast<std::size_t>(i + 2), ' ') + "This is 80 column mode, " +
                    background + " background.";
    if (i == 17) l += "Push <RETURN>";
    s.push_back(l);
  }
  return s;
}

class VttestTest : public TermTest {
 protected:
  void SetUp() override {
    if (::access("/usr/bin/vttest", X_OK) != 0) GTEST_SKIP() << "vttest is not installed";
    // 24 lines of 80 columns; this terminal does not switch to 132.
    vttest = std::make_unique<support::PtyProgram>("/usr/bin/vttest", std::vector<std::string>{"24x80.80"},
                                                   line.master(), 24, 80, "vt100");
  }
  // Waits for text and then for the line to go quiet (the screen is complete).
  bool Settled(const std::string& text) {
    if (!ScreenHas(text)) return false;
    std::size_t seen = vttest->Output().size();
    auto quietSince = Clock::now();
    Pump(5000, [&] {
      std::size_t now = vttest->Output().size();
      if (now != seen) {
        seen = now;
        quietSince = Clock::now();
      }
      return Clock::now() - quietSince > std::chrono::milliseconds(300);
    });
    return true;
  }
  void ExpectScreen(const Shot& shot, const std::string& what) {
    for (int r = 1; r <= 24; ++r) {
      std::string want = r <= static_cast<int>(shot.size()) ? shot[static_cast<std::size_t>(r - 1)] : "";
      want.resize(80, ' ');
      EXPECT_EQ(Row(r), want) << what << ", row " << r << "\n" << Screen();
    }
  }
  std::unique_ptr<support::PtyProgram> vttest;
};

TEST_F(VttestTest, MainMenuAndCursorMovementScreens) {
  // vttest asks for the device attributes first; the terminal answers by itself.
  ASSERT_TRUE(Settled("Enter choice number")) << Screen();
  ExpectScreen(MainMenu, "main menu");
  EXPECT_NE(vttest->Input().find("\x1b[?1;0c"), std::string::npos);

  TypeText(term.Window(), "1\r");
  ASSERT_TRUE(Settled("with  one (1) free position around it.")) << Screen();
  // The bottom-right cell is written without scrolling the frame away: the cursor waits in
  // the last column.
  ExpectScreen(Frame(), "the frame");
  // vttest draws each screen twice, once for each of its widths (both 80 here).
  TypeText(term.Window(), "\r");
  Pump(300);
  ASSERT_TRUE(Settled("with  one (1) free position around it.")) << Screen();
  ExpectScreen(Frame(), "the frame, second width");
  // The autowrap screen (twice): a VT100 shows the letters I to Z down the left margin and
  // i to z down the right one. vttest draws them in origin mode (ESC [ ? 6 h) inside a
  // scrolling region and relies on the column-mode switch (ESC [ ? 3 l) clearing the
  // screen; both are private modes this terminal leaves alone, so its picture differs and
  // is not compared here.
  for (int pass = 0; pass < 2; ++pass) {
    TypeText(term.Window(), "\r");
    Pump(300);
    ASSERT_TRUE(Settled("The left/right margins should have letters in order:")) << Screen();
  }
  TypeText(term.Window(), "\r");
  ASSERT_TRUE(Settled("Below should be four identical lines")) << Screen();
  ExpectScreen(ControlsInEsc, "control characters inside escape sequences");
  TypeText(term.Window(), "\r");
  ASSERT_TRUE(Settled("This is a correct sentence")) << Screen();
  ExpectScreen(LeadingZeros(), "leading zeros");
}

TEST_F(VttestTest, ScreenFeatureScreens) {
  ASSERT_TRUE(Settled("Enter choice number")) << Screen();
  TypeText(term.Window(), "2\r");
  ASSERT_TRUE(Settled("(Test of WRAP AROUND mode setting.)")) << Screen();
  // A VT100 shows three lines: the third is written with wrap-around reset (ESC [ ? 7 l),
  // a private mode this terminal leaves alone, so its line wraps into a fourth one here.
  Shot wrap = WrapAround;
  wrap.insert(wrap.begin(), std::string(80, '*'));
  wrap.erase(wrap.begin() + 4);
  ExpectScreen(wrap, "wrap around");
  TypeText(term.Window(), "\r");
  ASSERT_TRUE(Settled("should look the same.")) << Screen();
  // The second line is made with tab stops set by ESC H and tabs; the first one clears
  // stops with ESC [ g and ESC [ 3 g, which a VT100 has and this terminal's VT100 table does
  // not: there the "g"s are written instead.
  Shot tabs = Tabs();
  for (int r = 2; r <= 24; ++r) {
    std::string want = r <= static_cast<int>(tabs.size()) ? tabs[static_cast<std::size_t>(r - 1)] : "";
    want.resize(80, ' ');
    EXPECT_EQ(Row(r), want) << "tab stops, row " << r << "\n" << Screen();
  }
  // 80 columns on a light and on a dark background (the background is the screen mode
  // ESC [ ? 5 h, also left alone here: the characters are the same), each shown twice.
  for (const char* bg : {"light", "light", "dark", "dark"}) {
    TypeText(term.Window(), "\r");
    Pump(300);
    ASSERT_TRUE(Settled(std::string(bg) + " background.Push")) << Screen();
    ExpectScreen(Columns80(bg), std::string("80 columns, ") + bg + " background");
  }
}

TEST_F(VttestTest, DeviceAttributesAndCursorReports) {
  ASSERT_TRUE(Settled("Enter choice number")) << Screen();
  TypeText(term.Window(), "6\r");
  ASSERT_TRUE(Settled("Enter choice number (0 - 7)")) << Screen();
  TypeText(term.Window(), "4\r");
  ASSERT_TRUE(Settled("Push <RETURN>")) << Screen();
  EXPECT_EQ(Row(1).substr(0, 47), "Test of Device Attributes report (what are you)") << Screen();
  EXPECT_EQ(Row(3).substr(0, 64), "Report is: <27> [ ? 1 ; 0 c  -- means No options (vanilla VT100)")
      << Screen();
  TypeText(term.Window(), "\r");
  ASSERT_TRUE(Settled("Enter choice number (0 - 7)")) << Screen();
  TypeText(term.Window(), "3\r");
  ASSERT_TRUE(Settled("Push <RETURN>")) << Screen();
  EXPECT_EQ(Row(1).substr(0, 56), "Test of Device Status Report 5 (report terminal status).") << Screen();
  EXPECT_EQ(Row(2).rfind("Report is: <27> [ 0 n  -- means \"TERMINAL OK\"", 0), 0u) << Screen();
  EXPECT_EQ(Row(4).substr(0, 56), "Test of Device Status Report 6 (report cursor position).") << Screen();
  EXPECT_EQ(Row(5).substr(0, 32), "Report is: <27> [ 5 ; 1 R  -- OK") << Screen();
}

// ---------------------------------------------------------------------------------------
// Keys, half duplex and capture
// ---------------------------------------------------------------------------------------
class KeyTest : public TermTest {
 protected:
  KeyTest() : TermTest(62) {}
};

TEST_F(KeyTest, TypedKeysAndTheKeyMapReachTheFarEnd) {
  support::TempDir tmp("term_");
  const fs::path map = tmp.path() / "SWKEYBRD.INI";
  support::WriteFile(map,
                     "[Index]\r\nVT100=#\r\nOTHER=#\r\n\r\n[Defaults]\r\n_Entries=2\r\n\r\n"
                     "[VT100]\r\nKey1=38,14,\x1b[A\r\nKey2=112,14,\x1bOP\r\nKey3=27,14,<esc>\r\n\r\n"
                     "[OTHER]\r\nKey1=38,14,up\r\n");
  // Without a key map the characters go as they are; keys without characters send nothing.
  TypeText(term.Window(), "ab\r");
  Type(term.Window(), Qt::Key_Up, "");
  EXPECT_EQ(FarEnd(3), "ab\r");
  EXPECT_EQ(line.Read(10, 200), "");

  TSioKeyboardEmulator keys;
  keys.SetMapFileName(map.string());
  keys.SetEnabled(true);
  keys.SetEmulatorType("VT100");
  keys.SetProcessExtended(true);
  term.SetKeyBoardEmu(&keys);
  Type(term.Window(), Qt::Key_Up, "");
  Type(term.Window(), Qt::Key_F1, "");
  Type(term.Window(), Qt::Key_Escape, "\x1b");
  Type(term.Window(), Qt::Key_X, "x");
  EXPECT_EQ(FarEnd(14), "\x1b[A\x1bOP<esc>x");
  // A key without a key code (punctuation) right after a mapped key still sends its character.
  Type(term.Window(), Qt::Key_Up, "");
  Type(term.Window(), Qt::Key_Comma, ",");
  EXPECT_EQ(FarEnd(4), "\x1b[A,");
  // Shift held: the entry for the key pressed alone does not match.
  Type(term.Window(), Qt::Key_Up, "", Qt::ShiftModifier);
  EXPECT_EQ(line.Read(10, 200), "");
  // The screen shows nothing of it: full duplex leaves the echo to the host.
  EXPECT_EQ(Buf().ScreenLine(1).find_first_not_of(' '), std::string::npos);
  term.SetKeyBoardEmu(nullptr);
}

TEST_F(KeyTest, HalfDuplexShowsWhatIsTyped) {
  term.SetHalfDuplex(true);
  TypeText(term.Window(), "hi");
  EXPECT_EQ(FarEnd(2), "hi");
  EXPECT_EQ(Buf().ScreenLine(1).substr(0, 2), "hi");
  // What the host sends comes after it.
  line.Write("!");
  ASSERT_TRUE(Pump(3000, [&] { return Buf().ScreenLine(1).substr(0, 3) == "hi!"; })) << Buf().ScreenLine(1);
  term.SetHalfDuplex(false);
  TypeText(term.Window(), "z");
  EXPECT_EQ(FarEnd(1), "z");
  Pump(100);
  EXPECT_EQ(Buf().ScreenLine(1).substr(0, 4), "hi! ");
}

TEST_F(KeyTest, CaptureHoldsWhatCameAndBrowsingHoldsItBack) {
  support::TempDir tmp("term_");
  const fs::path cap = tmp.path() / "SIO.CAP";
  EXPECT_EQ(term.GetCaptureFile(), "SIO.CAP");
  term.SetCaptureFile(cap.string());
  term.SetCapture(cmOn);
  const std::string text = "Hello\r\nWorld\r\n\xE4\xF6\xFC \x7E back\bspace\r\n";
  line.Write(text);
  ASSERT_TRUE(Pump(3000, [&] { return Buf().ScreenLine(3).find("spac") != std::string::npos; }))
      << Buf().ScreenLine(3);
  // Bytes that come while the user browses the scroll-back wait and are shown afterwards.
  term.SetScrollback(true);
  line.Write("later\r\n");
  Pump(300);
  EXPECT_EQ(Buf().ScreenLine(4).substr(0, 5), "     ");
  term.SetScrollback(false);
  ASSERT_TRUE(Pump(3000, [&] { return Buf().ScreenLine(4).substr(0, 5) == "later"; }));
  term.SetCapture(cmOff);
  EXPECT_EQ(support::ReadFile(cap), text + "later\r\n");
  // Appending keeps what is there.
  term.SetCapture(cmAppend);
  line.Write("more");
  ASSERT_TRUE(Pump(3000, [&] { return Buf().ScreenLine(5).substr(0, 4) == "more"; }));
  term.SetCapture(cmOff);
  EXPECT_EQ(support::ReadFile(cap), text + "later\r\nmore");
}

TEST_F(KeyTest, SizesAndLines) {
  term.SetRows(1000);
  EXPECT_EQ(term.GetColumns(), 65);
  term.SetRows(200);
  term.SetColumns(80);
  term.SetPageHeight(300);
  EXPECT_EQ(term.GetPageHeight(), 200);
  term.SetPageHeight(24);
  term.SetTermLine(2, "line two");
  EXPECT_EQ(term.GetTermLine(2).substr(0, 9), "line two ");
  EXPECT_THROW(term.GetTermLine(0), ESIOException);
  // A proportional font is not taken.
  QFont prop("DejaVu Sans");
  prop.setStyleHint(QFont::SansSerif);
  prop.setFixedPitch(false);
  EXPECT_FALSE(term.Window()->SetTerminalFont(prop) && !QFontInfo(prop).fixedPitch());
}

// ---------------------------------------------------------------------------------------
// B+ in the terminal
// ---------------------------------------------------------------------------------------
// The host starts a download, then an upload, whose start is on the line before the
// terminal takes the line back from the download: ENQ, or with the eager host ENQ and ESC I.
class BPlusTerminal : public ::testing::TestWithParam<bool> {};

TEST_P(BPlusTerminal, HostStartsDownloadAndUpload) {
  support::TempDir tmp("bpterm_");
  fs::create_directories(tmp.path() / "host");
  fs::create_directories(tmp.path() / "here");
  std::string file(30000, '\0');
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>((i * 7 + i / 300) & 0xFF);
  support::WriteFile(tmp.path() / "host" / "d.bin", file);
  support::WriteFile(tmp.path() / "here" / "U.BIN", file);

  std::vector<std::string> hostArgs{"--log", (tmp.path() / "host.log").string()};
  if (GetParam()) hostArgs.push_back("--eager");
  support::Simulator host("bplus-host", hostArgs, 63);
  TSioComPort port;
  port.SetComNumber(63);
  port.SetBaud(115200);
  port.SetInSize(16384);
  port.SetOutSize(16384);
  port.SetOpen(true);
  TSioEmulator emu;
  emu.SetEmulatorType(etANSI);
  TSioBPTerminal term;
  term.SetEmulator(&emu);
  term.SetComPort(&port);
  term.show();
  // The transfers run on the protocol component, as a form would set it up, with its history.
  TSioProtocol proto;
  proto.SetComPort(&port);
  proto.SetDestinationDirectory((tmp.path() / "here").string());
  TSioProtocolLog history;
  history.SetHistoryName((tmp.path() / "SIO.HIS").string());
  history.SetProtocol(&proto);
  bool finished = false;
  int finishCode = 1;
  proto.SetOnProtocolFinish([&](TSioCustomProtocol*, int code) {
    finished = true;
    finishCode = code;
  });
  term.SetProtocol(&proto);
  // The requests that the terminal could not serve, counted as they are taken.
  int refused = 0;
  TBPlusLink link = BPlusProtocolLink(&proto);
  link.ProcessDLE = [walk = link.ProcessDLE, &refused](bool seen, bool& start, bool& upload, bool& error) {
    try {
      const int r = walk(seen, start, upload, error);
      refused += error ? 1 : 0;
      return r;
    } catch (...) {
      ++refused;
      throw;
    }
  };
  term.SetProtocolLink(link);
  int starts = 0;
  term.OnBPlusStart = [&](QObject*) { ++starts; };

  // Once the download has started only the library's messages are handled, not the window's
  // timer on which the terminal notices the end of a transfer.
  ASSERT_TRUE(host.Command("download " + (tmp.path() / "host" / "d.bin").string()));
  ASSERT_TRUE(Pump(30000, [&] { return starts == 1; }));
  ASSERT_TRUE(PumpUntil([&] { return finished; }, 30000));
  EXPECT_TRUE(term.TransferRunning());
  EXPECT_EQ(finishCode, 0);
  EXPECT_EQ(host.ReadLine(5000), "done ok 30000");
  EXPECT_EQ(support::ReadFile(tmp.path() / "here" / "D.BIN"), file);
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(term.Window()->Buffer().ScreenLine(1).find_first_not_of(' '), std::string::npos)
      << "after the download: " << term.Window()->Buffer().ScreenLine(1) << "\n"
      << support::ReadFile(tmp.path() / "host.log");

  finished = false;
  ASSERT_TRUE(host.Command("upload U.BIN " + (tmp.path() / "host" / "u.bin").string()));
  const std::uint32_t waiting = GetParam() ? 3 : 1;
  for (int i = 0; i < 5000 && port.Dispatcher()->InBuffUsed() < waiting; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(port.Dispatcher()->InBuffUsed(), waiting);
  ASSERT_TRUE(Pump(30000, [&] { return finished; })) << support::ReadFile(tmp.path() / "host.log") << "\n"
                                                     << host.ReadLine(100) << "\n"
                                                     << term.Window()->Buffer().ScreenLine(1);
  EXPECT_EQ(finishCode, 0);
  EXPECT_EQ(host.ReadLine(5000), "done ok 30000");
  EXPECT_EQ(support::ReadFile(tmp.path() / "host" / "u.bin"), file);
  EXPECT_EQ(starts, 2);
  // No packet byte reached the screen.
  EXPECT_EQ(term.Window()->Buffer().ScreenLine(1).find_first_not_of(' '), std::string::npos)
      << "after the upload: " << term.Window()->Buffer().ScreenLine(1) << "\n"
      << support::ReadFile(tmp.path() / "host.log");

  // A request for a file that is not here ends with its error in the history, and the
  // terminal serves the host's next request: so after an upload, and right after a download.
  auto missing = [&](int n) {
    ASSERT_TRUE(host.Command("upload NOSUCH.BIN " + (tmp.path() / "host" / "x.bin").string()));
    ASSERT_TRUE(Pump(30000, [&] { return refused == n; })) << support::ReadFile(tmp.path() / "host.log");
    EXPECT_EQ(host.ReadLine(5000), "done error terminal failed: AFile Error");
  };
  auto transfer = [&](const std::string& command, const fs::path& got) {
    finished = false;
    ASSERT_TRUE(host.Command(command));
    ASSERT_TRUE(Pump(30000, [&] { return finished; })) << support::ReadFile(tmp.path() / "host.log");
    EXPECT_EQ(finishCode, 0);
    EXPECT_EQ(host.ReadLine(5000), "done ok 30000");
    EXPECT_EQ(support::ReadFile(got), file);
  };
  missing(1);
  transfer("download " + (tmp.path() / "host" / "d.bin").string() + " e.bin", tmp.path() / "here" / "E.BIN");
  missing(2);
  transfer("upload U.BIN " + (tmp.path() / "host" / "u2.bin").string(), tmp.path() / "host" / "u2.bin");
  EXPECT_EQ(starts, 4);

  EXPECT_EQ(proto.GetProtocolType(), ptBPlus);
  const std::string his = support::ReadFile(tmp.path() / "SIO.HIS");
  EXPECT_NE(his.find(" receive finished OK "), std::string::npos) << his;
  EXPECT_NE(his.find(" transmit finished OK "), std::string::npos) << his;
  const std::string failed =
      "B+ transmit failed " + (tmp.path() / "here" / "NOSUCH.BIN").string() + " File not found\r\n";
  std::size_t at = his.find(failed);
  ASSERT_NE(at, std::string::npos) << his;
  EXPECT_NE(his.find(failed, at + 1), std::string::npos) << his;

  term.SetProtocol(nullptr);
  term.SetComPort(nullptr);
  port.SetOpen(false);
}

INSTANTIATE_TEST_SUITE_P(Hosts, BPlusTerminal, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Eager" : "Patient"; });

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
