#include "app/Localregistry.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <system_error>
#include <variant>

#include "app/UiThread.h"
#include "platform/Registry.h"
#include "platform/Text.h"

namespace {

const std::string kRoot = RegistryRootKey;
const std::string kProgramDirectory = "D:\\Entwicklung\\Projekte\\Zelvanor";

std::string Key(const char* sub) { return "\\" + kRoot + "\\" + sub; }

// Opens the subkey without creating it and reads a string value ("" when either is missing).
std::string ReadKeyString(const char* sub, const char* name) {
  TRegistry reg;
  if (!reg.OpenKey(Key(sub), false)) return {};
  std::string value = reg.ReadString(name);
  reg.CloseKey();
  return value;
}

void WriteKeyString(const char* sub, const char* name, const std::string& value) {
  TRegistry reg;
  if (!reg.OpenKey(Key(sub), true))
    throw ERegistryException("Registry-Schlüssel " + Key(sub) + " kann nicht angelegt werden");
  reg.WriteString(name, value);
  reg.CloseKey();
}

}  // namespace

void InitRegistryDefaults() {
  struct Default {
    const char* sub;
    const char* name;
    std::variant<std::string, int> value;
  };
  const Default defaults[] = {
      {"ProgramDirectory", "Path", kProgramDirectory},
      {"DataBaseDirectory", "Path", kProgramDirectory + "\\DataBase"},
      {"SoundDirectory", "Path", kProgramDirectory + "\\Sound"},
      {"GraphicSource", "GraphicSourceLeft", "Sensor1"},
      {"GraphicSource", "GraphicSourceRight", "Sensor2"},
      {"DataCollectingIntervall", "Intervall", 15},
      {"TapiDevice", "DeviceName", "COM1"},
  };
  // Each default goes where its key or value is missing; a value that is there stays as it
  // is, whatever it holds, so a settings file written by hand keeps what the user put in.
  // All of them in one write of the file, however large it has grown.
  TRegistryBatch batch;
  for (const Default& d : defaults) {
    TRegistry reg;
    if (reg.OpenKey(Key(d.sub), false) && reg.ValueExists(d.name)) continue;
    if (!reg.OpenKey(Key(d.sub), true))
      throw ERegistryException("Registry-Schlüssel " + Key(d.sub) + " kann nicht angelegt werden");
    if (const int* minutes = std::get_if<int>(&d.value))
      reg.WriteInteger(d.name, *minutes);
    else
      reg.WriteString(d.name, std::get<std::string>(d.value));
    reg.CloseKey();
  }
  batch.Commit();
}

void ReportDamagedSettings() {
  for (const TRegistryDamage& d : TakeRegistryDamage()) {
    std::string text =
        "Die Einstellungsdatei \"" + d.File + "\" ist beschädigt und kann nicht gelesen werden.\n";
    text += d.KeptAs.empty() ? "Sie konnte nicht aufbewahrt werden"
                             : "Sie wurde als \"" + d.KeptAs + "\" aufbewahrt";
    text += "; das Programm startet mit den Standardeinstellungen.";
    ShowMessage(text, TMsgKind::Warning, "Einstellungen");
  }
}

std::string ReadSoundDirectory() {
  {
    TRegistry reg;
    if (!reg.OpenKey(Key("SoundDirectory"), false) || !reg.ValueExists("Path")) {
      reg.LazyWrite = false;
      InitRegistryDefaults();
    }
  }
  return ReadKeyString("SoundDirectory", "Path");
}

std::string InstalledDataDirectory(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path program = fs::read_symlink("/proc/self/exe", ec);
  const fs::path folder = ec ? fs::current_path(ec) : program.parent_path();
  const fs::path installed = folder.parent_path() / "share" / "korvidan" / name;
  const fs::path built = folder.parent_path().parent_path() / "share" / "korvidan" / name;
  for (const fs::path& p : {installed, built})
    if (fs::is_directory(p, ec)) return p.string();
  return installed.string();
}

std::string InstalledSoundDirectory() { return InstalledDataDirectory("Sound"); }

std::string SoundDirectory() {
  const std::string stored = ReadSoundDirectory();
  const std::string local = LocalPath(stored);
  std::error_code ec;
  if (SameText(stored, kProgramDirectory + "\\Sound") && !std::filesystem::is_directory(local, ec))
    return InstalledSoundDirectory();
  return local;
}

void WriteGraphicSource(int left, int right) {
  if (left != 0) WriteKeyString("GraphicSource", "GraphicSourceLeft", "Sensor" + IntToStr(left));
  if (right != 0) WriteKeyString("GraphicSource", "GraphicSourceRight", "Sensor" + IntToStr(right));
}

std::string ReadGraphicSourceName(int side) {
  return ReadKeyString("GraphicSource", side == 0 ? "GraphicSourceLeft" : "GraphicSourceRight");
}

int ReadGraphicSourceNumber(int side) {
  std::string name = ReadGraphicSourceName(side);
  return StrToInt(name.size() > 6 ? std::string_view(name).substr(6) : std::string_view());
}

void WriteInterval(int minutes) {
  TRegistry reg;
  if (!reg.OpenKey(Key("DataCollectingIntervall"), true))
    throw ERegistryException("Registry-Schlüssel " + Key("DataCollectingIntervall") +
                             " kann nicht angelegt werden");
  reg.WriteInteger("Intervall", minutes);
  reg.CloseKey();
}

int ReadInterval() {
  TRegistry reg;
  if (reg.OpenKey(Key("DataCollectingIntervall"), false)) {
    try {
      int minutes = reg.ReadInteger("Intervall");
      reg.CloseKey();
      return minutes;
    } catch (const ERegistryException&) {
      // A missing or mistyped value is as good as a missing key.
    }
  }
  ShowMessage("Warnung ! Lokale Registry Variable Interval konnte nicht gelesen werden !", TMsgKind::Warning);
  return 15;
}

void WriteTapiDeviceName(const std::string& name) { WriteKeyString("TapiDevice", "DeviceName", name); }

std::string ReadTapiDeviceName() { return ReadKeyString("TapiDevice", "DeviceName"); }

std::string LocalPath(const std::string& windowsPath) {
  std::string p = windowsPath;
  if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
    p.erase(0, 2);
    if (p.empty() || (p[0] != '\\' && p[0] != '/')) p.insert(0, "/");
  }
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}
