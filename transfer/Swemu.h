#pragma once
// Terminal emulators: the ANSI / VT100 / VT52 parser engine and the emulator component.
//
// The parser takes the host's characters one at a time and fills a command record that the
// terminal buffer executes. The caller owns the record and passes the same one with every
// character: its colour fields carry over from one character to the next.
#include <cstdint>
#include <functional>
#include <string>

#include "serial/SioMisc.h"

enum TEmulatorType : std::int32_t { etNone = 0, etANSI = 1, etVT52 = 2, etVT100 = 3, etANSIBBS = 4 };

enum TAnsiParser : std::uint8_t {
  GotNone = 0,
  GotEscape = 1,
  GotBracket = 2,
  GotSemiColon = 3,
  GotParam = 4,
  GotCommand = 5,
  GotControlSeqIntro = 6,
  GotLeftBrace = 7,
  GotRightBrace = 8,
  GotSpace = 9,
  GotQuestionMark = 10,
  GotQuestionParam = 11
};

// Attribute flags, the same bits in the command and in a buffer cell.
constexpr std::uint8_t eattrBlink = 1;
constexpr std::uint8_t eattrReverse = 2;
constexpr std::uint8_t eattrBold = 4;
constexpr std::uint8_t eattrInvisible = 8;
constexpr std::uint8_t eattrUnderline = 16;

constexpr int MaxSequenceLen = 20;
constexpr int MaxParams = 5;
constexpr int MaxParamDigits = 5;
constexpr int MaxOtherLen = 11;

// One command for the terminal buffer.
struct TEmuCommandLo {
  char Ch = 0;               // the character just processed
  std::uint8_t Cmd = 0;      // command code
  std::uint8_t X = 0;        // first parameter
  std::uint8_t Y = 0;        // second parameter
  std::uint8_t FgColor = 7;  // colour indices 0..15
  std::uint8_t BkColor = 0;
  std::uint8_t ExtAttr = 0;                   // attribute flags
  std::uint8_t Emulation = 0;                 // the TEmulatorType that made the command
  unsigned char Other[MaxOtherLen + 1] = {};  // short string, length byte first

  std::string OtherText() const { return std::string(reinterpret_cast<const char*>(Other + 1), Other[0]); }
  void SetOther(const std::string& s);
};
using TEmuCommand = TEmuCommandLo;

// The parser's state.
struct TAnsiEmulator {
  std::int32_t emuType = etNone;
  std::int32_t emuFlagsReset = 1;  // a colour reset is pending
  std::uint8_t emuAttr = 0;
  std::int32_t emuIndex = 0;       // length of the collected sequence
  std::int32_t emuParamIndex = 1;  // parameter being collected, 1..5
  char emuSequence[MaxSequenceLen + 1] = {};
  char emuParamStr[MaxParams][MaxParamDigits + 1] = {};
  std::int32_t emuParams[MaxParams] = {};
  std::uint8_t emuParserState = GotNone;
};

bool aeInitAnsiEmulator(TAnsiEmulator*& emulator);
void aeDoneAnsiEmulator(TAnsiEmulator*& emulator);
void aeProcessAnsiChar(TAnsiEmulator* emulator, char c, TEmuCommandLo& command);
// Option bit 1: VT100 mode.
void aeOptionsOn(TAnsiEmulator* emulator, std::uint32_t options);
void aeOptionsOff(TAnsiEmulator* emulator, std::uint32_t options);
bool aeOptionsAreOn(const TAnsiEmulator* emulator, std::uint32_t options);

// ---------------------------------------------------------------------------------------
// Emulator component
// ---------------------------------------------------------------------------------------

class TSioCustomEmulator;
using TProcessCharEvent = std::function<void(TSioCustomEmulator* sender, char c, TEmuCommand& command)>;
using TEmuProc = void (*)(void* data, char c, TEmuCommandLo& command);

class TSioCustomEmulator : public TSioBaseComponent {
 public:
  TSioCustomEmulator();
  ~TSioCustomEmulator() override;
  TSioCustomEmulator(const TSioCustomEmulator&) = delete;
  TSioCustomEmulator& operator=(const TSioCustomEmulator&) = delete;

  virtual void Loaded();
  virtual void ProcessChar(char c, TEmuCommand& command);

  TEmulatorType GetEmulatorType() const { return FEmulatorType; }
  void SetEmulatorType(TEmulatorType type);
  void* GetEmuData() const { return FEmuData; }
  void SetEmuData(void* data);
  TEmuProc GetEmuProc() const { return FEmuProc; }
  void SetEmuProc(TEmuProc proc);

  // What the terminal calls for every received character: the application's handler when
  // set, else the parsing routine, else the plain character.
  void Dispatch(char c, TEmuCommand& command);

  TProcessCharEvent OnProcessChar;
  bool InUse = false;

 private:
  void FreeParser();
  TEmulatorType FEmulatorType = etANSI;
  void* FEmuData = nullptr;
  TEmuProc FEmuProc = nullptr;
  TAnsiEmulator* FParser = nullptr;
};

class TSioEmulator : public TSioCustomEmulator {};
