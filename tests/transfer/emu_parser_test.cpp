// The ANSI / VT100 / VT52 parser: sequences into commands, split input, malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/Swemu.h"

namespace {

class Parser {
 public:
  explicit Parser(TEmulatorType type) {
    aeInitAnsiEmulator(e_);
    e_->emuType = type;
  }
  ~Parser() { aeDoneAnsiEmulator(e_); }
  // Feeds the text; returns the commands of all characters that produced one (Cmd != 0).
  std::vector<TEmuCommandLo> Feed(const std::string& s) {
    std::vector<TEmuCommandLo> out;
    for (char c : s) {
      aeProcessAnsiChar(e_, c, cmd);
      if (cmd.Cmd != 0) out.push_back(cmd);
    }
    return out;
  }
  TEmuCommandLo Last(const std::string& s) {
    for (char c : s) aeProcessAnsiChar(e_, c, cmd);
    return cmd;
  }
  TAnsiEmulator* e_ = nullptr;
  TEmuCommandLo cmd;
};

TEST(EmuParser, EraseInDisplayByType) {
  auto c = Parser(etANSI).Last("\x1b[2J");
  EXPECT_EQ(c.Cmd, 50);
  EXPECT_EQ(c.X, 2);
  EXPECT_EQ(c.Y, 0);
  c = Parser(etVT100).Last("\x1b[2J");
  EXPECT_EQ(c.Cmd, 50);
  EXPECT_EQ(c.X, 2);
  EXPECT_EQ(c.Y, 1);
  EXPECT_EQ(Parser(etANSI).Last("\x1b[J").X, 0);
  EXPECT_EQ(Parser(etANSI).Last("\x1b[K").X, 0);
  c = Parser(etVT52).Last("\x1bJ");
  EXPECT_EQ(c.Cmd, 50);
  EXPECT_EQ(c.X, 2);
}

TEST(EmuParser, CursorPositionDefaultsAndOrder) {
  auto c = Parser(etANSI).Last("\x1b[H");
  EXPECT_EQ(c.Cmd, 2);
  EXPECT_EQ(c.X, 1);
  EXPECT_EQ(c.Y, 1);
  c = Parser(etVT100).Last("\x1b[12;40f");
  EXPECT_EQ(c.Cmd, 2);
  EXPECT_EQ(c.X, 40);  // column
  EXPECT_EQ(c.Y, 12);  // row
  c = Parser(etANSI).Last("\x1b[5A");
  EXPECT_EQ(c.Cmd, 3);
  EXPECT_EQ(c.Y, 5);
  // An explicit 0 moves or places as 1 does, as on a VT100.
  c = Parser(etANSI).Last("\x1b[0C");
  EXPECT_EQ(c.Cmd, 5);
  EXPECT_EQ(c.X, 1);
  c = Parser(etVT100).Last("\x1b[0A");
  EXPECT_EQ(c.Cmd, 3);
  EXPECT_EQ(c.Y, 1);
  c = Parser(etVT100).Last("\x1b[0;0H");
  EXPECT_EQ(c.Cmd, 2);
  EXPECT_EQ(c.X, 1);
  EXPECT_EQ(c.Y, 1);
  c = Parser(etVT100).Last("\x1b[0J");  // not a movement: 0 stays 0
  EXPECT_EQ(c.X, 0);
  // Leading zeros take none of the five digits.
  c = Parser(etVT100).Last("\x1b[00000000004;0000000012H");
  EXPECT_EQ(c.Cmd, 2);
  EXPECT_EQ(c.Y, 4);
  EXPECT_EQ(c.X, 12);
}

TEST(EmuParser, GraphicRendition) {
  Parser p(etANSI);
  auto c = p.Last("\x1b[1;31m");
  EXPECT_EQ(c.Cmd, 16);
  EXPECT_EQ(c.FgColor, 9);
  EXPECT_EQ(c.ExtAttr, eattrBold);
  // ANSI keeps flags from one sequence to the next; colours carry over in the record
  c = p.Last("\x1b[44;4m");
  EXPECT_EQ(c.BkColor, 4);
  EXPECT_EQ(c.FgColor, 9);
  EXPECT_EQ(c.ExtAttr, eattrBold | eattrUnderline);
  c = p.Last("\x1b[m");
  EXPECT_EQ(c.FgColor, 7);
  EXPECT_EQ(c.BkColor, 0);
  EXPECT_EQ(c.ExtAttr, 0);

  Parser v(etVT100);
  v.Last("\x1b[7m");
  c = v.Last("\x1b[5m");  // VT100 starts every rendition from no flags
  EXPECT_EQ(c.ExtAttr, eattrBlink);
}

TEST(EmuParser, SixthParameterRefusesSequence) {
  Parser p(etANSI);
  auto cmds = p.Feed("\x1b[1;2;3;4;5;6H");
  ASSERT_EQ(cmds.size(), 3u);
  EXPECT_EQ(cmds[0].Cmd, 255);
  EXPECT_EQ(cmds[0].OtherText(), "\x1b[1;2;3;4;5");  // at most 11 characters
  EXPECT_EQ(cmds[1].Cmd, 1);
  EXPECT_EQ(cmds[1].Ch, '6');
  EXPECT_EQ(cmds[2].Ch, 'H');
}

TEST(EmuParser, IdentifyVt100) {
  Parser p(etVT100);
  auto c = p.Last("\x1b[c");
  EXPECT_EQ(c.Cmd, 1);
  EXPECT_EQ(c.Ch, 'c');
  c = p.Last("\x1b[0c");
  EXPECT_EQ(c.Cmd, 41);
  EXPECT_EQ(c.X, 0);
  EXPECT_EQ(c.Y, 1);
  c = p.Last("\x1bZ");
  EXPECT_EQ(c.Cmd, 41);
  c = Parser(etVT52).Last("\x1bZ");
  EXPECT_EQ(c.Cmd, 41);
  EXPECT_EQ(c.Y, 0);
}

TEST(EmuParser, ControlCharactersAndPassThrough) {
  Parser p(etANSI);
  for (char ch : {'\b', '\r', '\n', 'x'}) {
    auto c = p.Last(std::string(1, ch));
    EXPECT_EQ(c.Cmd, 1);
    EXPECT_EQ(c.Ch, ch);
  }
  EXPECT_EQ(p.Last("\t").Cmd, 21);
  auto ff = p.Last("\f");
  EXPECT_EQ(ff.Cmd, 9);
  EXPECT_EQ(ff.X, 2);
  EXPECT_EQ(p.Last("\x0e").Cmd, 0);
  auto n = Parser(etNone).Last("\x1b");
  EXPECT_EQ(n.Cmd, 1);
  EXPECT_EQ(n.Ch, '\x1b');
}

TEST(EmuParser, EscapeTablesDifferByType) {
  EXPECT_EQ(Parser(etVT100)
                .Last("\x1b"
                      "7")
                .Cmd,
            17);
  auto a = Parser(etANSI).Last(
      "\x1b"
      "7");
  EXPECT_EQ(a.Cmd, 1);
  EXPECT_EQ(a.Ch, '7');
  EXPECT_EQ(Parser(etANSI).Last("\x1bI").Cmd, 64);
  EXPECT_EQ(Parser(etVT100).Last("\x1bI").Cmd, 1);
  EXPECT_EQ(Parser(etVT100)
                .Last("\x1b"
                      "D")
                .Cmd,
            4);
  EXPECT_EQ(Parser(etVT100).Last("\x1b(B").Cmd, 0);
  EXPECT_EQ(Parser(etVT100).Last("\x1b(x").Cmd, 1);
  EXPECT_EQ(Parser(etVT52).Last("\x1bH").Cmd, 2);
  auto v52 = Parser(etVT52).Last("\x1b[");  // no CSI in VT52
  EXPECT_EQ(v52.Cmd, 1);
  EXPECT_EQ(v52.Ch, '[');
}

// A VT100 carries out cursor controls inside a sequence and goes on with the sequence.
TEST(EmuParser, Vt100ControlsInsideSequences) {
  Parser p(etVT100);
  auto c = p.Last("\x1b[2\b");
  EXPECT_EQ(c.Cmd, 1);
  EXPECT_EQ(c.Ch, '\b');
  c = p.Last("C");
  EXPECT_EQ(c.Cmd, 5);
  EXPECT_EQ(c.X, 2);
  c = p.Last("\x1b[1\x0b");
  EXPECT_EQ(c.Ch, '\n');
  EXPECT_EQ(p.Last("A").Cmd, 3);
  // The ANSI parser takes the control character as the final one.
  Parser a(etANSI);
  c = a.Last("\x1b[2\b");
  EXPECT_EQ(c.Cmd, 1);
  EXPECT_EQ(a.Last("C").Cmd, 1);
}

TEST(EmuParser, Vt100ModesAndRegion) {
  Parser p(etVT100);
  EXPECT_EQ(p.Last("\x1b[?7h").Cmd, 0);
  EXPECT_EQ(p.Last("\x1b[?3l").Cmd, 0);
  auto c = p.Last("\x1b[4h");
  EXPECT_EQ(c.Cmd, 69);
  EXPECT_EQ(c.X, 1);
  c = p.Last("\x1b[20l");
  EXPECT_EQ(c.Cmd, 72);
  EXPECT_EQ(c.X, 0);
  c = p.Last("\x1b[7h");  // unknown mode: the final character is written
  EXPECT_EQ(c.Cmd, 1);
  EXPECT_EQ(c.Ch, 'h');
  c = p.Last("\x1b[3;20r");
  EXPECT_EQ(c.Cmd, 113);
  EXPECT_EQ(c.X, 3);
  EXPECT_EQ(c.Y, 20);
  c = p.Last("\x1b[r");  // margins omitted: the whole screen
  EXPECT_EQ(c.X, 1);
  EXPECT_EQ(c.Y, 0);
}

TEST(EmuParser, SplitInputGivesSameCommands) {
  const std::string stream =
      "ab\x1b[12;34Hc\x1b[1;33;44md\x1b[2Je\x1b[?7hf\x1b"
      "7g";
  for (auto type : {etANSI, etVT100}) {
    Parser whole(type);
    auto expect = whole.Feed(stream);
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
      Parser split(type);
      auto got = split.Feed(stream.substr(0, cut));
      auto rest = split.Feed(stream.substr(cut));
      got.insert(got.end(), rest.begin(), rest.end());
      ASSERT_EQ(got.size(), expect.size()) << "cut " << cut;
      for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].Cmd, expect[i].Cmd);
        EXPECT_EQ(got[i].X, expect[i].X);
        EXPECT_EQ(got[i].Y, expect[i].Y);
        EXPECT_EQ(got[i].FgColor, expect[i].FgColor);
      }
    }
  }
}

TEST(EmuParser, AbsurdParametersAreBounded) {
  Parser p(etANSI);
  auto c = p.Last("\x1b[99999999999999;300H");
  EXPECT_EQ(c.Cmd, 2);
  EXPECT_EQ(c.Y, 255);  // five digits kept, then held at the largest byte
  EXPECT_EQ(c.X, 255);
  std::string longSeq = "\x1b[" + std::string(200, '1') + "m";
  c = p.Last(longSeq);
  EXPECT_EQ(c.Cmd, 16);
  EXPECT_EQ(p.e_->emuParserState, GotNone);
  EXPECT_EQ(p.Last("x").Cmd, 1);
}

TEST(EmuComponent, TypeAndHandlers) {
  TSioEmulator emu;
  TEmuCommand cmd;
  emu.Dispatch('\x1b', cmd);  // no parser before Loaded: plain characters
  EXPECT_EQ(cmd.Cmd, 1);
  emu.Loaded();
  EXPECT_NE(emu.GetEmuProc(), nullptr);
  emu.Dispatch('\x1b', cmd);
  emu.Dispatch('[', cmd);
  emu.Dispatch('H', cmd);
  EXPECT_EQ(cmd.Cmd, 2);

  emu.SetEmulatorType(etVT52);
  emu.Dispatch('\x1b', cmd);
  emu.Dispatch('A', cmd);
  EXPECT_EQ(cmd.Cmd, 3);

  int calls = 0;
  emu.OnProcessChar = [&](TSioCustomEmulator*, char c, TEmuCommand& cm) {
    ++calls;
    cm.Ch = c;
    cm.Cmd = 20;
  };
  emu.Dispatch('q', cmd);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(cmd.Cmd, 20);

  emu.OnProcessChar = nullptr;
  emu.SetEmuData(&calls);  // own data releases the built-in parser
  EXPECT_EQ(emu.GetEmulatorType(), etNone);
  EXPECT_EQ(emu.GetEmuProc(), nullptr);
}

}  // namespace
