// Fuzz target: the settings file of arbitrary bytes, read through the registry. A file that is
// taken keeps every key and value when the registry writes it back; one that is refused is set
// aside and the registry starts empty.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/support/TempDir.h"

namespace {

// Every key below the open one and its values, as text.
void Dump(TRegistry& reg, std::vector<std::string>& out) {
  const std::string here = reg.CurrentPath();
  TStringList names;
  reg.GetValueNames(names);
  for (const std::string& name : names.Items()) {
    std::string line = here + "|" + name + "|";
    switch (reg.GetDataType(name)) {
      case rdInteger:
        line += "i" + std::to_string(reg.ReadInteger(name));
        break;
      case rdBinary: {
        const std::vector<std::uint8_t> bytes = reg.ReadBinaryData(name);
        line += "b" + std::string(bytes.begin(), bytes.end());
        break;
      }
      default:
        line += "s" + reg.ReadString(name);
        break;
    }
    if (reg.GetDataSize(name) < 0) std::abort();
    out.push_back(line);
  }
  TStringList keys;
  reg.GetKeyNames(keys);
  for (const std::string& key : keys.Items()) {
    out.push_back(here + "\\" + key);
    if (!reg.OpenKey("\\" + (here.empty() ? key : here + "\\" + key), false)) __builtin_trap();
    Dump(reg, out);
  }
}

std::vector<std::string> DumpAll() {
  TRegistry reg;
  reg.OpenKey("\\", false);
  std::vector<std::string> out;
  Dump(reg, out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const support::TempDir dir("korvidan-registry-fuzz", support::TmpfsOrTemp());
  const std::string file = dir.Write("registry.ini", std::vector<std::uint8_t>(data, data + size));
  SetRegistryFile(file);
  const std::vector<std::string> read = DumpAll();
  if (RegistryStoreError().empty()) {
    // Written back and read again: nothing lost, nothing changed.
    TRegistry reg;
    if (!reg.OpenKey("\\FuzzCheck", true)) __builtin_trap();
    SetRegistryFile(file);
    std::vector<std::string> again = DumpAll(), before = read;
    std::erase(again, "\\FuzzCheck");
    std::erase(before, "\\FuzzCheck");
    if (again != before) __builtin_trap();
  } else if (!read.empty()) {
    __builtin_trap();
  }
  dir.Clear();
  return 0;
}
