// Fuzz target: a key-map INI file of arbitrary bytes: its index, the first two maps it names
// (each costs a hundred reads of the file) and the keys of each map looked up as the terminal
// does.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Text.h"
#include "tests/support/TempDir.h"
#include "transfer/Swkbemu.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const support::TempDir dir("korvidan-keymap-fuzz", support::TmpfsOrTemp());
  const std::string file = dir.Write("SWKEYBRD.INI", std::vector<std::uint8_t>(data, data + size));
  TKeyEmulator* emu = nullptr;
  if (kbInitKeyEmulator(emu, file) == 0) {
    emu->ProcessAll = emu->ProcessExtended = true;
    kbLoadKeyEmuIndex(emu);
    std::vector<std::string> names = kbEmuTypeNames(emu);
    names.resize(std::min<std::size_t>(names.size(), 2));
    for (const std::string& name : names) {
      kbSetKeyEmuType(emu, name);
      try {
        if (kbLoadKeyEmuMap(emu) != 0) continue;
      } catch (const EConvertError&) {
        continue;
      }
      for (const TKeyEntry& key : emu->Keys) {
        TKeyEmuCommandLo command;
        kbProcessKey(emu, static_cast<std::uint16_t>(key.KeyCode), command);
        if (command.Value.size() > MaxKeyValueLen) __builtin_trap();
      }
    }
    kbDoneKeyEmulator(emu);
  }
  dir.Clear();
  return 0;
}
