// ANSI (ECMA-48), VT100 and VT52 parser and the emulator component.
#include "transfer/Swemu.h"

#include <algorithm>
#include <cstring>

void TEmuCommandLo::SetOther(const std::string& s) {
  std::size_t n = std::min<std::size_t>(s.size(), MaxOtherLen);
  Other[0] = static_cast<unsigned char>(n);
  std::memcpy(Other + 1, s.data(), n);
}

bool aeInitAnsiEmulator(TAnsiEmulator*& emulator) {
  emulator = new TAnsiEmulator();
  return true;
}

void aeDoneAnsiEmulator(TAnsiEmulator*& emulator) {
  delete emulator;
  emulator = nullptr;
}

void aeOptionsOn(TAnsiEmulator* emulator, std::uint32_t options) {
  if (!emulator) return;
  emulator->emuType = (options & 1) ? etVT100 : etANSIBBS;
}

void aeOptionsOff(TAnsiEmulator* emulator, std::uint32_t options) {
  if (!emulator) return;
  emulator->emuType = (options & 1) ? etANSIBBS : etVT100;
}

bool aeOptionsAreOn(const TAnsiEmulator* emulator, std::uint32_t options) {
  return emulator && (options & 1) && emulator->emuType == etVT100;
}

namespace {

void ResetParser(TAnsiEmulator& e) {
  e.emuParamIndex = 1;
  for (auto& p : e.emuParamStr) p[0] = 0;
  e.emuParserState = GotNone;
  e.emuIndex = 0;
  e.emuSequence[0] = 0;
}

// Command parameters are bytes; larger numbers stop at the largest byte instead of wrapping
// round to a small, wrong value.
std::uint8_t ParamByte(std::int32_t v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

void ConvertParams(TAnsiEmulator& e, char final) {
  for (int i = 0; i < MaxParams; ++i) {
    const char* s = e.emuParamStr[i];
    std::int32_t v = 1;
    if (*s) {
      v = 0;
      for (; *s; ++s) v = v * 10 + (*s - '0');  // at most 5 digits: no overflow
    }
    e.emuParams[i] = v;
  }
  // A cursor movement or position of 0 moves as one of 1, as on a VT100.
  if (final != 0 && std::strchr("ABCDHfeaEFG`d", final) != nullptr)
    for (auto& v : e.emuParams)
      if (v == 0) v = 1;
  if (e.emuParamStr[0][0] == 0) {
    if (final == 'J' || final == 'K')
      e.emuParams[0] = e.emuType == etVT52 ? 2 : 0;
    else if (final == 'm')
      e.emuParams[0] = 0;
  }
}

void SelectGraphicRendition(TAnsiEmulator& e, TEmuCommandLo& cmd) {
  if (e.emuType == etVT100) e.emuAttr = 0;
  int count = std::clamp(e.emuParamIndex, 1, MaxParams);
  for (int i = 0; i < count; ++i) {
    int p = e.emuParams[i];
    switch (p) {
      case 0:
        cmd.FgColor = 7;
        cmd.BkColor = 0;
        e.emuAttr = 0;
        break;
      case 1:
        e.emuAttr |= eattrBold;
        break;
      case 4:
        e.emuAttr |= eattrUnderline;
        break;
      case 5:
        e.emuAttr |= eattrBlink;
        break;
      case 7:
        e.emuAttr |= eattrReverse;
        break;
      case 8:
        e.emuAttr |= eattrInvisible;
        break;
      case 22:
        e.emuAttr &= static_cast<std::uint8_t>(~eattrBold);
        break;
      case 24:
        e.emuAttr &= static_cast<std::uint8_t>(~eattrUnderline);
        break;
      case 25:
        e.emuAttr &= static_cast<std::uint8_t>(~eattrBlink);
        break;
      case 27:
        e.emuAttr &= static_cast<std::uint8_t>(~eattrReverse);
        break;
      case 28:
        e.emuAttr &= static_cast<std::uint8_t>(~eattrInvisible);
        break;
      case 39:
        cmd.FgColor = 7;
        break;
      case 49:
        cmd.BkColor = 0;
        break;
      default:
        if (p >= 30 && p <= 37)
          cmd.FgColor = static_cast<std::uint8_t>(p - 30);
        else if (p >= 40 && p <= 47)
          cmd.BkColor = static_cast<std::uint8_t>(p - 40);
        break;
    }
  }
  if ((e.emuAttr & eattrBold) && cmd.FgColor < 8) cmd.FgColor = static_cast<std::uint8_t>(cmd.FgColor + 8);
  cmd.ExtAttr = e.emuAttr;
  cmd.Cmd = 16;
}

void SetCmd(TEmuCommandLo& cmd, std::uint8_t code, std::int32_t x, std::int32_t y) {
  cmd.Cmd = code;
  cmd.X = ParamByte(x);
  cmd.Y = ParamByte(y);
}

void AnsiFinal(TAnsiEmulator& e, char c, TEmuCommandLo& cmd) {
  std::int32_t p1 = e.emuParams[0], p2 = e.emuParams[1];
  switch (c) {
    case '@':
      SetCmd(cmd, 66, p1, 0);
      break;
    case 'A':
      SetCmd(cmd, 3, 0, p1);
      break;
    case 'B':
    case 'e':
      SetCmd(cmd, 4, 0, p1);
      break;
    case 'C':
    case 'a':
      SetCmd(cmd, 5, p1, 0);
      break;
    case 'D':
      SetCmd(cmd, 6, p1, 0);
      break;
    case 'E':
      SetCmd(cmd, 35, 0, p1);
      break;
    case 'F':
      SetCmd(cmd, 36, 0, p1);
      break;
    case 'G':
    case '`':
      SetCmd(cmd, 33, p1, 0);
      break;
    case 'H':
    case 'f':
      SetCmd(cmd, 2, p2, p1);
      break;
    case 'I':
      SetCmd(cmd, 34, p1, 0);
      break;
    case 'J':
      SetCmd(cmd, 50, p1, 0);
      break;
    case 'K':
      SetCmd(cmd, 52, p1, 1);
      break;
    case 'L':
      SetCmd(cmd, 67, 0, p1);
      break;
    case 'M':
      SetCmd(cmd, 45, 0, p1);
      break;
    case 'N':
      SetCmd(cmd, 51, p1, 0);
      break;
    case 'O':
      SetCmd(cmd, 47, p1, 0);
      break;
    case 'P':
      SetCmd(cmd, 43, p1, 0);
      break;
    case 'Q':
      SetCmd(cmd, 93, p1, 0);
      break;
    case 'R':
      SetCmd(cmd, 37, p2, p1);
      break;
    case 'S':
      SetCmd(cmd, 105, 0, p1);
      break;
    case 'T':
      SetCmd(cmd, 92, 0, p1);
      break;
    case 'U':
      SetCmd(cmd, 77, 0, p1);
      break;
    case 'V':
      SetCmd(cmd, 82, 0, p1);
      break;
    case 'W':
      SetCmd(cmd, 39, p1, 0);
      break;
    case 'X':
      SetCmd(cmd, 49, p1, 0);
      break;
    case 'Y':
      SetCmd(cmd, 40, 0, p1);
      break;
    case 'Z':
      SetCmd(cmd, 31, p1, 0);
      break;
    case 'b':
      SetCmd(cmd, 87, p1, 0);
      break;
    case 'c':
      SetCmd(cmd, 41, p1, 1);
      break;  // answered like a VT100, not with the VT52 reply
    case 'd':
      SetCmd(cmd, 111, 0, p1);
      break;
    case 'g':
      SetCmd(cmd, 106, p1, 0);
      break;
    case 'h':
      SetCmd(cmd, 13, p1, 0);
      break;
    case 'i':
      SetCmd(cmd, 74, p1, 0);
      break;
    case 'l':
      SetCmd(cmd, 90, p1, 0);
      break;
    case 'm':
      SelectGraphicRendition(e, cmd);
      break;
    case 'n':
      SetCmd(cmd, 19, p1, 0);
      break;
    case 'o':
      SetCmd(cmd, 42, p1, 0);
      break;
    case 's':
      cmd.Cmd = 17;
      break;
    case 'u':
      cmd.Cmd = 18;
      break;
    default:
      break;  // unknown: the character is written
  }
}

void Vt100Final(TAnsiEmulator& e, char c, TEmuCommandLo& cmd) {
  std::int32_t p1 = e.emuParams[0], p2 = e.emuParams[1];
  switch (c) {
    case 'A':
      SetCmd(cmd, 3, 0, p1);
      break;
    case 'B':
      SetCmd(cmd, 4, 0, p1);
      break;
    case 'C':
      SetCmd(cmd, 5, p1, 0);
      break;
    case 'D':
      SetCmd(cmd, 6, p1, 0);
      break;
    case 'H':
    case 'f':
      SetCmd(cmd, 2, p2, p1);
      break;
    case 'J':
      SetCmd(cmd, 50, p1, 1);
      break;
    case 'K':
      SetCmd(cmd, 52, p1, 0);
      break;
    case 'L':
      SetCmd(cmd, 67, 0, p1);
      break;
    case 'M':
      SetCmd(cmd, 45, 0, p1);
      break;
    case 'R':
      SetCmd(cmd, 37, p2, p1);
      break;
    case 'c':
      if (e.emuParamStr[0][0] != 0 && p1 == 0) SetCmd(cmd, 41, 0, 1);
      break;
    case 'h':
    case 'l': {
      std::uint8_t code = 1;
      switch (p1) {
        case 2:
          code = 71;
          break;
        case 3:
          code = 38;
          break;
        case 4:
          code = 69;
          break;
        case 20:
          code = 72;
          break;
        default:
          break;
      }
      if (code != 1) SetCmd(cmd, code, c == 'h' ? 1 : 0, 0);
      break;
    }
    case 'i':
      SetCmd(cmd, 74, p1, 0);
      break;
    case 'm':
      SelectGraphicRendition(e, cmd);
      break;
    case 'n':
      SetCmd(cmd, 19, p1, 0);
      break;
    case 'q':
      cmd.Cmd = 0;
      break;
    case 'r':
      // An omitted bottom margin means the bottom of the screen (0 here; the buffer fills
      // in its page height), not line 1.
      SetCmd(cmd, 113, p1, e.emuParamStr[1][0] ? p2 : 0);
      break;
    default:
      break;
  }
}

// ESC followed by one character, for the ANSI and VT100 types.
void EscapeFinal(TAnsiEmulator& e, char c, TEmuCommandLo& cmd) {
  bool vt100 = e.emuType == etVT100;
  auto ansiOnly = [&](std::uint8_t code) {
    if (!vt100) cmd.Cmd = code;
  };
  switch (c) {
    case '7':
      if (vt100) cmd.Cmd = 17;
      break;
    case '8':
      if (vt100) cmd.Cmd = 18;
      break;
    case '=':
    case '>':
      if (vt100) cmd.Cmd = 0;
      break;
    case 'D':
      SetCmd(cmd, 4, 0, 1);
      break;
    case 'E':
      cmd.Cmd = 76;
      break;
    case 'F':
      ansiOnly(102);
      break;
    case 'G':
      ansiOnly(56);
      break;
    case 'H':
      cmd.Cmd = 65;
      break;
    case 'I':
      ansiOnly(64);
      break;
    case 'J':
      ansiOnly(112);
      break;
    case 'K':
      ansiOnly(79);
      break;
    case 'L':
      ansiOnly(80);
      break;
    case 'M':
      cmd.Cmd = 88;
      break;
    case 'N':
      ansiOnly(100);
      break;
    case 'O':
      ansiOnly(101);
      break;
    case 'P':
      ansiOnly(44);
      break;
    case 'Q':
      ansiOnly(83);
      break;
    case 'R':
      ansiOnly(84);
      break;
    case 'S':
      ansiOnly(104);
      break;
    case 'T':
      ansiOnly(32);
      break;
    case 'U':
      ansiOnly(75);
      break;
    case 'V':
      ansiOnly(95);
      break;
    case 'W':
      ansiOnly(54);
      break;
    case 'Z':
      if (vt100) SetCmd(cmd, 41, 0, 1);
      break;
    case '\\':
      ansiOnly(103);
      break;
    case '^':
      ansiOnly(81);
      break;
    case 'a':
      ansiOnly(68);
      break;
    case 'b':
      ansiOnly(53);
      break;
    case 'c':
      cmd.Cmd = 89;
      break;
    default:
      break;
  }
}

void Vt52Escape(char c, TEmuCommandLo& cmd) {
  switch (c) {
    case 'A':
      SetCmd(cmd, 3, 0, 1);
      break;
    case 'B':
      SetCmd(cmd, 4, 0, 1);
      break;
    case 'C':
      SetCmd(cmd, 5, 1, 0);
      break;
    case 'D':
      SetCmd(cmd, 6, 1, 0);
      break;
    case 'H':
      SetCmd(cmd, 2, 1, 1);
      break;
    case 'J':
      SetCmd(cmd, 50, 2, 0);
      break;
    case 'K':
      SetCmd(cmd, 52, 2, 0);
      break;
    case 'Z':
      SetCmd(cmd, 41, 0, 0);
      break;
    case 'c':
      cmd.Cmd = 89;
      break;
    default:
      break;
  }
}

// Advances to the next parameter; false (and the sequence refused) past the fifth.
bool NextParam(TAnsiEmulator& e, TEmuCommandLo& cmd) {
  ++e.emuParamIndex;
  if (e.emuParamIndex > MaxParams) {
    cmd.Cmd = 255;
    cmd.SetOther(std::string(e.emuSequence, static_cast<std::size_t>(e.emuIndex)));
    ResetParser(e);
    return false;
  }
  return true;
}

void AppendDigit(TAnsiEmulator& e, char c) {
  int i = std::clamp(e.emuParamIndex, 1, MaxParams) - 1;
  std::size_t n = std::strlen(e.emuParamStr[i]);
  // Leading zeros count for nothing (a VT100 takes "0004" as 4): only the value's own digits
  // fill the five places.
  if (n == 1 && e.emuParamStr[i][0] == '0') n = 0;
  if (n < MaxParamDigits) {
    e.emuParamStr[i][n] = c;
    e.emuParamStr[i][n + 1] = 0;
  }
}

}  // namespace

void aeProcessAnsiChar(TAnsiEmulator* emulator, char c, TEmuCommandLo& command) {
  if (!emulator || emulator->emuType == etNone) {
    command.Ch = c;
    command.Cmd = 1;
    return;
  }
  TAnsiEmulator& e = *emulator;
  if (e.emuFlagsReset) {
    e.emuFlagsReset = 0;
    command.FgColor = 7;
    command.BkColor = 0;
    command.ExtAttr = 0;
    e.emuAttr = 0;
  }
  if (e.emuParserState == GotNone) {
    e.emuIndex = 0;
    e.emuSequence[0] = 0;
  }
  if (e.emuIndex < MaxSequenceLen) {
    e.emuSequence[e.emuIndex++] = c;
    e.emuSequence[e.emuIndex] = 0;
  }
  command.Ch = c;
  command.Cmd = 0;
  command.Emulation = static_cast<std::uint8_t>(e.emuType);

  switch (e.emuParserState) {
    case GotNone:
      switch (c) {
        case 9:
          command.Cmd = 21;
          break;
        case 12:
          SetCmd(command, 9, 2, 0);
          break;
        case 14:
        case 15:
          command.Cmd = 0;
          break;
        case 27:
          e.emuParserState = GotEscape;
          break;
        default:
          command.Cmd = 1;
          e.emuIndex = 0;
          e.emuSequence[0] = 0;
          break;
      }
      break;

    case GotEscape:
      if (c == '[' && e.emuType != etVT52) {
        e.emuParserState = GotControlSeqIntro;
        break;
      }
      if ((c == '(' || c == ')') && e.emuType == etVT100) {
        e.emuParserState = c == '(' ? GotLeftBrace : GotRightBrace;
        break;
      }
      command.Cmd = 1;
      if (e.emuType == etVT52)
        Vt52Escape(c, command);
      else
        EscapeFinal(e, c, command);
      ResetParser(e);
      break;

    case GotControlSeqIntro:
    case GotParam:
    case GotSemiColon:
      if (e.emuType == etVT52) {  // not reached: VT52 never enters these states
        command.Cmd = 1;
        ResetParser(e);
      } else if (e.emuType == etVT100 && (c == 8 || c == 10 || c == 11 || c == 12 || c == 13)) {
        // A VT100 carries out a cursor control that comes inside a sequence and goes on with
        // the sequence; vertical tab and form feed move down as a line feed does.
        command.Cmd = 1;
        command.Ch = (c == 11 || c == 12) ? '\n' : c;
      } else if (c >= '0' && c <= '9') {
        AppendDigit(e, c);
        e.emuParserState = GotParam;
      } else if (c == ';') {
        if (NextParam(e, command)) e.emuParserState = GotSemiColon;
      } else if (c == '=') {
        // ignored
      } else if (c == '?') {
        if (NextParam(e, command)) e.emuParserState = GotQuestionMark;
      } else {
        ConvertParams(e, c);
        command.Cmd = 1;
        if (e.emuType == etVT100)
          Vt100Final(e, c, command);
        else
          AnsiFinal(e, c, command);
        ResetParser(e);
      }
      break;

    case GotLeftBrace:
    case GotRightBrace:
      command.Cmd = (c == '0' || c == '1' || c == '2' || c == 'A' || c == 'B') ? 0 : 1;
      ResetParser(e);
      break;

    case GotQuestionMark:
    case GotQuestionParam:
      if (e.emuType == etVT100 && c >= '1' && c <= '9') {
        AppendDigit(e, c);
        e.emuParserState = GotQuestionParam;
      } else if (e.emuType == etVT100 && (c == 'h' || c == 'l')) {
        command.Cmd = 0;
        ResetParser(e);
      } else {
        command.Cmd = 1;
        ResetParser(e);
      }
      break;

    default:
      command.Cmd = 1;
      ResetParser(e);
      break;
  }
}

// ---------------------------------------------------------------------------------------
// Component
// ---------------------------------------------------------------------------------------

TSioCustomEmulator::TSioCustomEmulator() = default;

TSioCustomEmulator::~TSioCustomEmulator() { SetEmulatorType(etNone); }

void TSioCustomEmulator::FreeParser() {
  if (FParser) {
    aeDoneAnsiEmulator(FParser);
    FEmuData = nullptr;
    FEmuProc = nullptr;
  }
}

static void ParserProc(void* data, char c, TEmuCommandLo& command) {
  aeProcessAnsiChar(static_cast<TAnsiEmulator*>(data), c, command);
}

void TSioCustomEmulator::SetEmulatorType(TEmulatorType type) {
  if (type == FEmulatorType && (FParser || type == etNone)) return;
  if (FEmulatorType >= etANSI && FEmulatorType <= etANSIBBS) FreeParser();
  FEmulatorType = type;
  if (type >= etANSI && type <= etANSIBBS) {
    aeInitAnsiEmulator(FParser);
    FParser->emuType = type;
    FEmuData = FParser;
    FEmuProc = ParserProc;
  }
}

void TSioCustomEmulator::SetEmuData(void* data) {
  SetEmulatorType(etNone);
  FEmuData = data;
}

void TSioCustomEmulator::SetEmuProc(TEmuProc proc) {
  SetEmulatorType(etNone);
  FEmuProc = proc;
}

void TSioCustomEmulator::Loaded() {
  ComponentState &= ~csLoading;
  if (FEmulatorType == etANSI && !FParser) {
    FEmulatorType = etNone;
    SetEmulatorType(etANSI);
  }
}

void TSioCustomEmulator::ProcessChar(char c, TEmuCommand& command) {
  if (OnProcessChar) OnProcessChar(this, c, command);
}

void TSioCustomEmulator::Dispatch(char c, TEmuCommand& command) {
  if (OnProcessChar) {
    ProcessChar(c, command);
  } else if (FEmuProc) {
    FEmuProc(FEmuData, c, command);
  } else {
    command.Ch = c;
    command.Cmd = 1;
  }
}
