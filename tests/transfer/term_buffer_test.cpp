// The terminal buffer executing emulator commands: cursor, wrapping, scroll-back, scrolling
// regions, tabs, erasing, replies and capture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/Sioexcept.h"
#include "tests/support/TempDir.h"
#include "transfer/Swtbuff.h"

namespace {

class TestBuffer : public TBuffer {
 public:
  TestBuffer(std::uint16_t cols, std::uint16_t rows, TEmulatorType type = etVT100) : TBuffer(0, cols, rows) {
    aeInitAnsiEmulator(emu);
    emu->emuType = type;
    SetUserEmulator(emu, [](void* d, char c, TEmuCommandLo& cmd) {
      aeProcessAnsiChar(static_cast<TAnsiEmulator*>(d), c, cmd);
    });
  }
  ~TestBuffer() override { aeDoneAnsiEmulator(emu); }
  void Feed(const std::string& s) {
    for (char c : s) bProcessChar(c);
  }
  std::string Line(int screenRow) const {
    std::string s = ScreenLine(screenRow);
    return s.substr(0, s.find_last_not_of(' ') + 1);
  }
  std::string replies;
  TAnsiEmulator* emu = nullptr;

 protected:
  void bWriteReply(std::string_view text) override { replies.append(text); }
};

std::string Lines(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i) s += "L" + std::to_string(i) + (i < to ? "\r\n" : "");
  return s;
}

TEST(TermBuffer, SizeLimits) {
  TestBuffer b(80, 200);
  EXPECT_EQ(b.bNewBuffer(200, 134, 25), ecBadArgument);
  EXPECT_EQ(b.bNewBuffer(200, 133, 25), 0);
  EXPECT_EQ(b.bNewBuffer(200, 80, 25), 0);
  EXPECT_EQ(b.bNewBuffer(600, 120, 25), ecBadArgument);
  EXPECT_EQ(b.bNewBuffer(24, 80, 25), ecBadArgument);
  EXPECT_EQ(b.Rows, 200);
  EXPECT_THROW(TBuffer(0, 80, 10), EGeneral);
  // default tab stops every 8 columns below the buffer width
  EXPECT_EQ(b.HorizTabs[HorizTabSlots - 1], 80);
  EXPECT_EQ(b.HorizTabs[HorizTabSlots - 10], 8);
  EXPECT_EQ(b.HorizTabs[HorizTabSlots - 11], 0);
}

TEST(TermBuffer, WritingWrapsAtLastColumnAndCursorLimits) {
  TestBuffer b(80, 200);
  b.Feed(std::string(79, 'a'));
  EXPECT_EQ(b.CurCol, 79);
  // The last column is written and the cursor waits there: the next printable character
  // wraps, as on a VT100.
  b.Feed("z");
  EXPECT_EQ(b.CurCol, 79);
  EXPECT_EQ(b.CurRow, 0);
  EXPECT_EQ(b.ScreenLine(1).back(), 'z');
  b.Feed("y");
  EXPECT_EQ(b.CurCol, 1);
  EXPECT_EQ(b.CurRow, 1);
  EXPECT_EQ(b.Line(2), "y");
  // 80 characters and CR LF leave no blank line.
  b.Feed("\r\n" + std::string(80, 'b') + "\r\nnext");
  EXPECT_EQ(b.Line(3), std::string(80, 'b'));
  EXPECT_EQ(b.Line(4), "next");
  // The bottom-right cell of the screen is written without scrolling the screen.
  TestBuffer full(80, 25);
  full.Feed("top\x1b[25;80H#");
  EXPECT_EQ(full.Line(1), "top");
  EXPECT_EQ(full.ScreenLine(25).back(), '#');
  full.Feed("\x1b[1;1H");  // a movement ends the pending wrap
  full.Feed("T");
  EXPECT_EQ(full.Line(1), "Top");

  b.Feed("\x1b[1;75H");
  b.Feed("\x1b[10C");  // would pass the last column: a VT100 stops at the margin
  EXPECT_EQ(b.CurCol, 79);
  TestBuffer ansiRight(80, 200, etANSI);
  ansiRight.Feed("\x1b[1;75H\x1b[10C");  // the ANSI terminal leaves the cursor where it is
  EXPECT_EQ(ansiRight.CurCol, 74);
  b.Feed("\x1b[200D");
  EXPECT_EQ(b.CurCol, 0);
  b.Feed("\x1b[99;300H");  // beyond the screen: last row and column
  EXPECT_EQ(b.CurRow, 24);
  EXPECT_EQ(b.CurCol, 79);
  b.Feed(
      "\x1b"
      "E");  // next line stays on the screen
  EXPECT_EQ(b.CurRow, 24);
  EXPECT_EQ(b.CurCol, 0);
  b.Feed("\x1b[H\x1b[5A");
  EXPECT_EQ(b.CurRow, 0);
  b.Feed("\x1b[2Kab\b\bX");  // a VT100's backspace leaves the cell as it is
  EXPECT_EQ(b.Line(1), "Xb");
  TestBuffer ansi(80, 200, etANSI);
  ansi.Feed("ab\b\bX");  // the ANSI terminal's blanks the cell it moves to
  EXPECT_EQ(ansi.Line(1), "X");
}

TEST(TermBuffer, ColoursAndAttributesReachCells) {
  TestBuffer b(80, 200, etANSI);
  b.Feed("\x1b[1;31;44mR\x1b[0mn");
  EXPECT_EQ(b.ColorPlane()[0], 0x49);
  EXPECT_EQ(b.BaseColorPlane()[0], 0x49);
  EXPECT_EQ(b.AttrPlane()[0], eattrBold);
  EXPECT_EQ(b.ColorPlane()[1], 0x07);
  b.Feed("\x1b[7mr");  // reverse: the pair is swapped
  EXPECT_EQ(b.ColorPlane()[2], 0x70);
}

TEST(TermBuffer, LinesScrollIntoHistory) {
  TestBuffer b(80, 200);
  b.Feed(Lines(1, 30));
  EXPECT_EQ(b.TopRow, 5);
  EXPECT_EQ(b.Line(1), "L6");
  EXPECT_EQ(b.Line(25), "L30");
  EXPECT_EQ(b.RowText(0).substr(0, 2), "L1");  // still in the buffer above the screen
  EXPECT_EQ(b.MaxRow, 29);
}

TEST(TermBuffer, BufferEndDropsOldestRows) {
  TestBuffer b(80, 25);
  b.Feed(Lines(1, 40));
  EXPECT_EQ(b.TopRow, 0);
  EXPECT_EQ(b.Line(1), "L16");
  EXPECT_EQ(b.Line(25), "L40");
  EXPECT_EQ(b.CurRow, 24);
}

// Region rows 5..10: a line feed on row 10 scrolls only the region, at the end of the buffer
// (rows move inside the block) and with room below (the view moves).
TEST(TermBuffer, ScrollRegionKeepsOtherRowsInPlace) {
  for (std::uint16_t rows : {25, 200}) {
    TestBuffer b(80, rows);
    for (int r = 1; r <= 25; ++r) b.Feed("\x1b[" + std::to_string(r) + ";1HR" + std::to_string(r));
    b.Feed("\x1b[5;10r");
    EXPECT_EQ(b.CurRow, b.TopRow);  // cursor homed
    b.Feed("\x1b[10;1H\nnew");
    EXPECT_EQ(b.Line(4), "R4") << rows;
    EXPECT_EQ(b.Line(5), "R6") << rows;
    EXPECT_EQ(b.Line(9), "R10") << rows;
    EXPECT_EQ(b.Line(10), "new") << rows;
    EXPECT_EQ(b.Line(11), "R11") << rows;
    EXPECT_EQ(b.Line(25), "R25") << rows;
    // outside the region the cursor stops at the screen's last row
    b.Feed("\x1b[25;1H\n\n");
    EXPECT_EQ(b.CurRow - b.TopRow, 24);
    EXPECT_EQ(b.Line(25), "R25");
    // omitted margins: the whole screen again
    b.Feed("\x1b[r");
    EXPECT_EQ(b.RegionTop, 1);
    EXPECT_EQ(b.RegionBottom, 25);
  }
}

// Index (ESC D) and reverse index (ESC M) scroll the region at its margins, as on a VT100;
// the cursor movements stop there.
TEST(TermBuffer, IndexAndReverseIndexScrollTheRegion) {
  for (std::uint16_t rows : {25, 200}) {
    TestBuffer b(80, rows);
    for (int r = 1; r <= 25; ++r) b.Feed("\x1b[" + std::to_string(r) + ";1HR" + std::to_string(r));
    b.Feed(
        "\x1b[5;10r\x1b[10;1H\x1b"
        "D");
    EXPECT_EQ(b.Line(4), "R4") << rows;
    EXPECT_EQ(b.Line(5), "R6") << rows;
    EXPECT_EQ(b.Line(9), "R10") << rows;
    EXPECT_EQ(b.Line(10), "") << rows;
    EXPECT_EQ(b.Line(11), "R11") << rows;
    b.Feed("\x1b[5;3H\x1bM\x1bMx");  // twice at the top margin: two rows move down
    EXPECT_EQ(b.Line(4), "R4") << rows;
    EXPECT_EQ(b.Line(5), "  x") << rows;
    EXPECT_EQ(b.Line(6), "") << rows;
    EXPECT_EQ(b.Line(7), "R6") << rows;
    EXPECT_EQ(b.Line(10), "R9") << rows;
    EXPECT_EQ(b.Line(11), "R11") << rows;
    EXPECT_EQ(b.CurRow - b.TopRow, 4);
    // Inside the region reverse index only moves up; a cursor-up stops at the margin.
    b.Feed("\x1b[8;1H\x1bM");
    EXPECT_EQ(b.CurRow - b.TopRow, 6);
    b.Feed("\x1b[10;1H\x1b[20B");
    EXPECT_EQ(b.CurRow - b.TopRow, 9);
    EXPECT_EQ(b.Line(10), "R9") << rows;
  }
}

TEST(TermBuffer, TabStops) {
  TestBuffer b(80, 200, etANSI);
  b.Feed("\t");
  EXPECT_EQ(b.CurCol, 8);
  b.Feed("\x1b[1;75H\t");  // no stop to the right
  EXPECT_EQ(b.CurCol, 74);
  b.Feed("\x1b[1;10H\x1b[Z");  // backward tab
  EXPECT_EQ(b.CurCol, 7);

  b.bSetHorizontalTabStop(16);  // an existing stop stays single
  int n16 = 0;
  for (auto t : b.HorizTabs) n16 += t == 16;
  EXPECT_EQ(n16, 1);
  for (int s = 81; s < 96; ++s) b.bSetHorizontalTabStop(static_cast<std::uint8_t>(s));
  EXPECT_NE(b.HorizTabs[0], 0);  // 25 stops: full
  b.bSetHorizontalTabStop(3);
  for (auto t : b.HorizTabs) EXPECT_NE(t, 3);
  for (int i = 0; i + 1 < HorizTabSlots; ++i) EXPECT_LT(b.HorizTabs[i], b.HorizTabs[i + 1]);

  b.Feed("\x1b[3g");  // reset to the default stops
  EXPECT_EQ(b.HorizTabs[HorizTabSlots - 1], 80);
  b.Feed("\x1b[1;5H\x1bH\x1b[1;1H\t");  // ESC H sets a stop at column 5
  EXPECT_EQ(b.CurCol, 5);
}

TEST(TermBuffer, EraseCommands) {
  TestBuffer b(80, 200);
  b.Feed(Lines(1, 30));
  b.Feed("\x1b[3;3H\x1b[1J");  // also the rows above the screen
  EXPECT_EQ(b.RowText(0).find_first_not_of(' '), std::string::npos);
  EXPECT_EQ(b.Line(3), "");
  EXPECT_EQ(b.Line(4), "L9");

  b.Feed("\x1b[4;2H\x1b[K");
  EXPECT_EQ(b.Line(4), "L");
  EXPECT_EQ(b.Line(5), "L10");  // the next row is left alone
  b.Feed("\x1b[5;2H\x1b[1K");
  EXPECT_EQ(b.Line(5), "  0");
  b.Feed("\x1b[6;1H\x1b[2K");
  EXPECT_EQ(b.Line(6), "");

  int top = b.TopRow;
  b.Feed("\x1b[2J");  // the old screen stays above the new one
  EXPECT_EQ(b.TopRow, top + 25);
  EXPECT_EQ(b.CurRow, b.TopRow);
  EXPECT_EQ(b.RowText(top + 24).substr(0, 3), "L30");
}

TEST(TermBuffer, ClearScreenAtBufferEnd) {
  TestBuffer b(80, 30);
  b.Feed(Lines(1, 28));
  b.Feed("\f");
  EXPECT_EQ(b.TopRow, 5);
  EXPECT_EQ(b.CurRow, 5);
  for (int r = 1; r <= 25; ++r) EXPECT_EQ(b.Line(r), "");
  EXPECT_EQ(b.RowText(4).substr(0, 3), "L28");
}

TEST(TermBuffer, InsertAndDeleteStayInTheirLine) {
  TestBuffer b(80, 200, etANSI);
  b.Feed("abcdef\r\nsecond\x1b[1;2H\x1b[2P");
  EXPECT_EQ(b.Line(1), "adef");
  EXPECT_EQ(b.Line(2), "second");
  b.Feed("\x1b[3@");
  EXPECT_EQ(b.Line(1), "a   def");
  b.Feed("\x1b[1;79H\x1b[9@");  // more than the rest of the line
  EXPECT_EQ(b.Line(2), "second");
  b.Feed("\x1b[1;1H\x1b[L");
  EXPECT_EQ(b.Line(1), "");
  EXPECT_EQ(b.Line(2), "a   def");
  b.Feed("\x1b[2M");
  EXPECT_EQ(b.Line(1), "second");
  EXPECT_EQ(b.Line(2), "");
  EXPECT_EQ(b.Line(25), "");
  b.Feed("\x1b[1;2H\x1b[3X");
  EXPECT_EQ(b.Line(1), "s   nd");
}

TEST(TermBuffer, RepliesToHost) {
  TestBuffer b(80, 200);
  b.Feed("\x1b[6n");
  EXPECT_EQ(b.replies, "\x1b[1;1R");
  b.replies.clear();
  b.Feed("\x1b[5n");  // status: OK
  EXPECT_EQ(b.replies, "\x1b[0n");
  b.replies.clear();
  b.Feed(Lines(1, 30) + "\x1b[12;34H\x1b[6n");  // relative to the screen, not the buffer
  EXPECT_EQ(b.replies, "\x1b[12;34R");
  b.replies.clear();
  b.Feed("\x1b[0c");
  EXPECT_EQ(b.replies, "\x1b[?1;0c");
  TestBuffer ansi(80, 200, etANSI);
  ansi.Feed("\x1b[0c");
  EXPECT_EQ(ansi.replies, "\x1b[?1;0c");
  TestBuffer v52(80, 200, etVT52);
  v52.Feed("\x1bZ");
  EXPECT_EQ(v52.replies, "\x1b/Z");
}

TEST(TermBuffer, SaveAndRestoreCursor) {
  TestBuffer b(80, 200);
  b.Feed(
      "\x1b[5;7H\x1b[1;32m\x1b"
      "7\x1b[H\x1b[0m\x1b"
      "8x");
  EXPECT_EQ(b.Line(5), "      x");
  EXPECT_EQ(b.ColorPlane()[b.Cell(6, 4)], 0x0A);
  TestBuffer a(80, 200, etANSI);
  a.Feed("\x1b[5;7H\x1b[u");  // nothing saved: ANSI goes home
  EXPECT_EQ(a.CurRow, 0);
  EXPECT_EQ(a.CurCol, 0);
}

class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old = std::filesystem::current_path();
    std::filesystem::current_path(dir);
  }
  void TearDown() override { std::filesystem::current_path(old); }
  support::TempDir tmp_{"termcap"};
  const std::filesystem::path& dir = tmp_.path();
  std::filesystem::path old;
};

TEST_F(CaptureTest, EmptyNameAndAppend) {
  {
    TestBuffer b(80, 200);
    ASSERT_EQ(b.bSetCapture(true, false, ""), 0);
    b.Feed("ab\r\n");
    EXPECT_EQ(b.bSetCapture(false, false, ""), 0);
    EXPECT_FALSE(b.Capturing);
  }
  EXPECT_EQ(support::ReadFile(dir / "CAPTURE.CAP"), "ab\r\n");
  {
    TestBuffer b(80, 200);
    ASSERT_EQ(b.bSetCapture(true, true, "new.cap"), 0);  // missing: created
    b.Feed(std::string(9000, 'x'));                      // more than one block
  }                                                      // destroying the buffer ends the capture
  EXPECT_EQ(support::ReadFile(dir / "new.cap").size(), 9000u);
  {
    TestBuffer b(80, 200);
    ASSERT_EQ(b.bSetCapture(true, true, "new.cap"), 0);
    b.Feed("y");
  }
  EXPECT_EQ(support::ReadFile(dir / "new.cap").size(), 9001u);
  TestBuffer b(80, 200);
  EXPECT_LT(b.bSetCapture(true, false, (dir / "no/such/dir/x.cap").string()), 0);
  EXPECT_FALSE(b.Capturing);
}

TEST(TermBuffer, PixelHelpersAndMarking) {
  TestBuffer b(80, 200);
  b.bSetClientSize(800, 400);
  b.bUpdateFont(16, 10);
  EXPECT_EQ(b.VisRows, 25);
  EXPECT_EQ(b.VisCols, 80);
  EXPECT_EQ(b.bConvertToRow(-5), 0);
  EXPECT_EQ(b.bConvertToRow(16), 0);  // an exact multiple still belongs to the row above
  EXPECT_EQ(b.bConvertToRow(17), 1);
  EXPECT_EQ(b.bConvertToCol(25), 2);
  b.bFixMarking(50, 40);
  b.bUpdateMarks(5, 5);  // before the anchor
  EXPECT_EQ(b.MarkStartRow, 0);
  EXPECT_EQ(b.MarkEndRow, 2);
  EXPECT_EQ(b.MarkEndCol, 4);
  b.bResetMarking();
  EXPECT_FALSE(b.Marking);
}

TEST(TermBuffer, ScrollBackBrowsing) {
  TestBuffer b(80, 200);
  b.Feed(Lines(1, 60));
  EXPECT_EQ(b.TopRow, 35);
  b.bSetScrollMode(true);
  b.bScroll(0, -10);
  EXPECT_EQ(b.TopRow, 25);
  EXPECT_EQ(b.Line(1), "L26");
  b.bScroll(0, -100);  // stops at the first row
  EXPECT_EQ(b.TopRow, 0);
  b.bScroll(0, 500);  // stops when the last written row is the last visible one
  EXPECT_EQ(b.TopRow, 59 - 25 + 1);
  b.bGotoTop(true);
  EXPECT_EQ(b.TopRow, 0);
  b.bScroll(5, 0);  // all columns visible: no horizontal move
  EXPECT_EQ(b.LeftCol, 0);
}

// Notices to the window: status after painting, a report received from the host, and a
// capture that cannot be written any more.
TEST(TermBuffer, WindowMessages) {
  struct Seen {
    UINT msg;
    WPARAM w;
    LPARAM l;
  };
  static std::vector<Seen> seen;
  seen.clear();
  RegisterClass("termBufferTest", [](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    seen.push_back({m, w, l});
    return 0;
  });
  HWND wnd = CreateWindow("termBufferTest");
  ASSERT_NE(wnd, 0u);
  {
    TestBuffer b(80, 200, etANSI);
    b.Window = wnd;
    b.Feed("\x1b[5;10R");  // sent at once
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].msg, apw_CursorPosReport);
    EXPECT_EQ(seen[0].w, 10u);
    EXPECT_EQ(seen[0].l, 5);

    b.Feed("\x1b[3;7H");
    b.bForcePaint();  // the status is posted
    ProcessMessages();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].msg, apw_TermStatus);
    EXPECT_EQ(seen[1].w, 3u | (7u << 8));
    EXPECT_EQ(seen[1].l, 1 | (1 << 16));

    if (std::filesystem::exists("/dev/full")) {
      ASSERT_EQ(b.bSetCapture(true, false, "/dev/full"), 0);
      b.Feed(std::string(CaptureBlockSize, 'x'));
      EXPECT_FALSE(b.Capturing);
      ASSERT_EQ(seen.size(), 3u);
      EXPECT_EQ(seen[2].msg, apw_TermError);
      EXPECT_NE(seen[2].w, 0u);
    }
  }
  DestroyWindow(wnd);
}

}  // namespace
