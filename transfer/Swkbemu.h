#pragma once
// Keyboard emulator: key maps, chosen by name from an INI file (by default "SWKEYBRD.INI"),
// give a key (virtual key code with the state of Shift, Ctrl and Alt) a text of up to 20
// characters that the terminal sends instead of the key.
//
// A key map is one record of the INI database: the index field "EMULATOR" (the map's name)
// and the fields "Key1" .. "Key100", each "code,shiftmap,text".
#include <cstdint>
#include <string>
#include <vector>

#include "serial/SioMisc.h"
#include "transfer/Swinidb.h"

constexpr int MaxKeyEntries = 100;
constexpr int MaxKeyValueLen = 20;
constexpr int MaxKeyMapNameLen = 30;
constexpr int MaxKeyNameListLen = 119;
constexpr const char* DefaultKeyMapFile = "SWKEYBRD.INI";

// Shift map bits: set while the key is NOT held. A key pressed alone has the map 14.
constexpr std::uint16_t smCtrlUp = 2;
constexpr std::uint16_t smAltUp = 4;
constexpr std::uint16_t smShiftUp = 8;

// Virtual key codes the lookup knows by name.
constexpr std::uint16_t VK_SHIFT = 16;
constexpr std::uint16_t VK_CONTROL = 17;
constexpr std::uint16_t VK_MENU = 18;
constexpr std::uint16_t VK_CAPITAL = 20;
constexpr std::uint16_t VK_NUMLOCK = 144;

struct TKeyEmuCommandLo {
  std::uint16_t KeyCode = 0;
  std::uint16_t ShiftMap = 0;
  std::uint16_t ToggleMap = 0;
  std::int32_t Extended = 0;
  std::int32_t KeyMapped = 0;
  std::uint8_t KeyboardState[256] = {};
  std::string Value;  // the mapped text, at most 20 characters
};
using TKeyEmuCommand = TKeyEmuCommandLo;

struct TKeyEntry {
  std::int32_t KeyCode = 0;
  std::int32_t ShiftMap = 0;
  std::string Value;
};

struct TKeyEmulator {
  std::string MapFileName;
  std::string EmuType;  // the selected map's name
  bool ProcessAll = false;
  bool ProcessExtended = false;
  char NameList[MaxKeyNameListLen + 1] = {};  // names, each zero-terminated, ended by an empty one
  TKeyEntry Keys[MaxKeyEntries];
  TIniDatabase* Database = nullptr;
};

int kbInitKeyEmulator(TKeyEmulator*& emulator, const std::string& mapFileName);
void kbDoneKeyEmulator(TKeyEmulator*& emulator);
int kbNumEmuTypes(TKeyEmulator* emulator);
int kbLoadKeyEmuIndex(TKeyEmulator* emulator);
void kbSetKeyEmuType(TKeyEmulator* emulator, const std::string& name);
// Raises EConvertError for a key code or shift map that is not a number.
int kbLoadKeyEmuMap(TKeyEmulator* emulator);
int kbAddKeyEmuRecord(TKeyEmulator* emulator, const std::uint8_t* record);
int kbDelKeyEmuRecord(TKeyEmulator* emulator, const std::string& name);
int kbUpdKeyEmuRecord(TKeyEmulator* emulator);
void kbProcessKey(TKeyEmulator* emulator, std::uint16_t key, TKeyEmuCommandLo& command);
// The names of kbLoadKeyEmuIndex's list.
std::vector<std::string> kbEmuTypeNames(const TKeyEmulator* emulator);

// ---------------------------------------------------------------------------------------
// Keyboard emulator component
// ---------------------------------------------------------------------------------------

using TKeyEmuProc = void (*)(void* data, std::uint16_t key, TKeyEmuCommandLo& command);

class TSioCustomKeyboardEmulator : public TSioBaseComponent {
 public:
  TSioCustomKeyboardEmulator() = default;
  ~TSioCustomKeyboardEmulator() override;
  TSioCustomKeyboardEmulator(const TSioCustomKeyboardEmulator&) = delete;
  TSioCustomKeyboardEmulator& operator=(const TSioCustomKeyboardEmulator&) = delete;

  bool GetEnabled() const { return FEnabled; }
  void SetEnabled(bool on);
  const std::string& GetMapFileName() const { return FMapFileName; }
  void SetMapFileName(const std::string& name);
  const std::string& GetEmulatorType() const { return FEmulatorType; }
  void SetEmulatorType(const std::string& name);
  bool GetProcessAllKeys() const { return FProcessAll; }
  void SetProcessAllKeys(bool on);
  bool GetProcessExtended() const { return FProcessExtended; }
  void SetProcessExtended(bool on);
  // The map names of the file (filled when it holds more than one map).
  const std::vector<std::string>& EmulatorNames() const { return FNames; }
  TKeyEmulator* Engine() const { return FEngine; }

  void* KeyEmuData = nullptr;
  TKeyEmuProc KeyEmuProc = nullptr;
  bool InUse = false;

 private:
  bool Designing() const { return (ComponentState & csDesigning) != 0; }
  bool FEnabled = false;
  std::string FMapFileName = DefaultKeyMapFile;
  std::string FEmulatorType;
  bool FProcessAll = false;
  bool FProcessExtended = false;
  std::vector<std::string> FNames;
  TKeyEmulator* FEngine = nullptr;
};

class TSioKeyboardEmulator : public TSioCustomKeyboardEmulator {};
