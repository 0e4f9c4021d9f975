// Keyboard emulator engine and component.
#include "transfer/Swkbemu.h"

#include <algorithm>
#include <cstring>

#include "platform/Text.h"
#include "serial/Sioexcept.h"

namespace {
constexpr const char* EmulatorField = "EMULATOR";
std::string KeyFieldName(int i) { return "Key" + std::to_string(i); }
}  // namespace

int kbInitKeyEmulator(TKeyEmulator*& emulator, const std::string& mapFileName) {
  emulator = new TKeyEmulator();
  emulator->MapFileName = mapFileName;
  int rc = iInitIniDatabase(emulator->Database, mapFileName);
  if (rc == 0) rc = iAddIniDBStringField(emulator->Database, EmulatorField, MaxKeyMapNameLen, true);
  for (int i = 1; rc == 0 && i <= MaxKeyEntries; ++i)
    rc = iAddIniDBStringField(emulator->Database, KeyFieldName(i), MaxKeyValueLen, false);
  if (rc == 0) rc = iPrepareIniDatabase(emulator->Database, nullptr);
  if (rc != 0) kbDoneKeyEmulator(emulator);
  return rc;
}

void kbDoneKeyEmulator(TKeyEmulator*& emulator) {
  if (!emulator) return;
  iDoneIniDatabase(emulator->Database);
  delete emulator;
  emulator = nullptr;
}

int kbNumEmuTypes(TKeyEmulator* emulator) { return iNumIniRecs(emulator->Database); }

int kbLoadKeyEmuIndex(TKeyEmulator* emulator) {
  std::memset(emulator->NameList, 0, sizeof emulator->NameList);
  int size = iGetIniIndexRecSize(emulator->Database);
  std::vector<char> block;
  if (int rc = iAllocIniIndexRec(emulator->Database, block, size)) return rc;
  int rc = iLoadIniIndex(emulator->Database, block, size);
  if (rc == 0) {
    // whole names only, with room for the closing empty name
    std::size_t pos = 0, in = 0;
    while (in < block.size() && block[in] != 0) {
      std::size_t len = strnlen(block.data() + in, block.size() - in);
      if (pos + len + 2 > sizeof emulator->NameList) break;
      std::memcpy(emulator->NameList + pos, block.data() + in, len);
      pos += len + 1;
      in += len + 1;
    }
  }
  iDeallocIniIndexRec(emulator->Database, block, size);
  return rc;
}

std::vector<std::string> kbEmuTypeNames(const TKeyEmulator* emulator) {
  std::vector<std::string> names;
  const char* p = emulator->NameList;
  const char* end = emulator->NameList + sizeof emulator->NameList;
  while (p < end && *p) {
    std::size_t len = strnlen(p, static_cast<std::size_t>(end - p));
    names.emplace_back(p, len);
    p += len + 1;
  }
  return names;
}

void kbSetKeyEmuType(TKeyEmulator* emulator, const std::string& name) {
  emulator->EmuType = name.substr(0, MaxKeyMapNameLen);
}

int kbLoadKeyEmuMap(TKeyEmulator* emulator) {
  TIniDatabase* db = emulator->Database;
  std::vector<std::uint8_t> record(static_cast<std::size_t>(db->RecordSize));
  if (int rc = iGetIniRecord(db, emulator->EmuType, record.data())) return rc;
  for (int i = 1; i <= MaxKeyEntries; ++i) {
    TKeyEntry& k = emulator->Keys[i - 1];
    k = TKeyEntry{};
    std::string s = iGetStringField(db, record.data(), KeyFieldName(i));
    std::size_t comma = s.find(',');
    if (comma == std::string::npos) continue;
    k.KeyCode = StrToInt(s.substr(0, comma));
    std::string rest = s.substr(comma + 1);
    std::size_t second = rest.find(',');
    if (second != std::string::npos && second != 0) {
      k.ShiftMap = StrToInt(rest.substr(0, second));
      rest = rest.substr(second + 1);
    }
    k.Value = rest.substr(0, MaxKeyValueLen);
  }
  return 0;
}

int kbAddKeyEmuRecord(TKeyEmulator* emulator, const std::uint8_t* record) {
  return iAddIniRecord(emulator->Database, record);
}

int kbDelKeyEmuRecord(TKeyEmulator* emulator, const std::string& name) {
  return iDelIniRecord(emulator->Database, name);
}

int kbUpdKeyEmuRecord(TKeyEmulator* emulator) {
  TIniDatabase* db = emulator->Database;
  std::vector<std::uint8_t> record(static_cast<std::size_t>(db->RecordSize));
  iSetStringField(db, record.data(), EmulatorField, emulator->EmuType);
  for (int i = 1; i <= MaxKeyEntries; ++i) {
    const TKeyEntry& k = emulator->Keys[i - 1];
    std::string text;
    if (k.KeyCode != 0 && !k.Value.empty())
      text = (std::to_string(k.KeyCode) + "," + std::to_string(k.ShiftMap) + "," + k.Value)
                 .substr(0, MaxKeyValueLen);
    iSetStringField(db, record.data(), KeyFieldName(i), text);
  }
  return iUpdIniRecord(db, emulator->EmuType, record.data());
}

void kbProcessKey(TKeyEmulator* emulator, std::uint16_t key, TKeyEmuCommandLo& command) {
  command.Extended = 0;
  command.KeyMapped = 0;
  if (key == VK_SHIFT || key == VK_CONTROL || key == VK_MENU || key == VK_CAPITAL || key == VK_NUMLOCK)
    return;
  command.KeyCode = key;
  std::uint16_t map = 0;
  if (command.KeyboardState[VK_CONTROL] < 2) map |= smCtrlUp;
  if (command.KeyboardState[VK_MENU] < 2) map |= smAltUp;
  if (command.KeyboardState[VK_SHIFT] < 2) map |= smShiftUp;
  command.ShiftMap = map;
  bool extended = (key >= 33 && key <= 40) || (key >= 112 && key <= 123);
  command.Extended = extended ? 1 : 0;
  if (!emulator) return;
  if (extended && !emulator->ProcessExtended) return;
  bool digitOrLetter = (key >= 48 && key <= 57) || (key >= 65 && key <= 90);
  if (digitOrLetter && !emulator->ProcessAll) return;
  for (const TKeyEntry& k : emulator->Keys) {
    if (k.KeyCode == key && k.ShiftMap == map) {
      command.KeyMapped = 1;
      command.Value = k.Value;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Component
// ---------------------------------------------------------------------------------------

namespace {
void ProcessKeyProc(void* data, std::uint16_t key, TKeyEmuCommandLo& command) {
  kbProcessKey(static_cast<TKeyEmulator*>(data), key, command);
}
}  // namespace

TSioCustomKeyboardEmulator::~TSioCustomKeyboardEmulator() { kbDoneKeyEmulator(FEngine); }

void TSioCustomKeyboardEmulator::SetEnabled(bool on) {
  if (on == FEnabled) return;
  if (on) {
    TKeyEmulator* engine = nullptr;
    CheckException(static_cast<const TSioBaseComponent*>(this), kbInitKeyEmulator(engine, FMapFileName));
    if (!engine) return;  // a failure while loading from the stored form passes
    FEngine = engine;
    FEnabled = true;
    FProcessAll = FProcessExtended = false;
    KeyEmuData = FEngine;
    KeyEmuProc = ProcessKeyProc;
    FNames.clear();
    if (kbNumEmuTypes(FEngine) > 1) {
      CheckException(static_cast<const TSioBaseComponent*>(this), kbLoadKeyEmuIndex(FEngine));
      FNames = kbEmuTypeNames(FEngine);
      if (!FNames.empty()) SetEmulatorType(FNames.front());
    }
  } else {
    kbDoneKeyEmulator(FEngine);
    FEnabled = false;
    KeyEmuData = nullptr;
    KeyEmuProc = nullptr;
    FNames.clear();
    FEmulatorType.clear();
  }
}

void TSioCustomKeyboardEmulator::SetMapFileName(const std::string& name) {
  FMapFileName = name;
  if (FEnabled) {
    SetEnabled(false);
    SetEnabled(true);
  }
}

void TSioCustomKeyboardEmulator::SetEmulatorType(const std::string& name) {
  FEmulatorType = name.substr(0, MaxKeyMapNameLen);
  if (!FEngine || Designing()) return;
  kbSetKeyEmuType(FEngine, FEmulatorType);
  CheckException(static_cast<const TSioBaseComponent*>(this), kbLoadKeyEmuMap(FEngine));
}

void TSioCustomKeyboardEmulator::SetProcessAllKeys(bool on) {
  FProcessAll = on;
  if (FEngine) FEngine->ProcessAll = on;
}

void TSioCustomKeyboardEmulator::SetProcessExtended(bool on) {
  FProcessExtended = on;
  if (FEngine) FEngine->ProcessExtended = on;
}
