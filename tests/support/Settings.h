#pragma once
// The application's settings as a test reads them back.
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "platform/Text.h"

namespace support {

// The value under "Software\Zelvanor\<key>": a string as it is, an integer as "dword:<n>";
// "<no key>" or "<no value>" when it is missing.
inline std::string Setting(const std::string& key, const std::string& name) {
  TRegistry r;
  if (!r.OpenKey("\\Software\\Zelvanor\\" + key, false)) return "<no key>";
  if (!r.ValueExists(name)) return "<no value>";
  return r.GetDataType(name) == rdInteger ? "dword:" + IntToStr(r.ReadInteger(name)) : r.ReadString(name);
}

// Every default of a fresh account, as Setting gives it.
struct DefaultSetting {
  std::string key, name, text;
};
inline const std::vector<DefaultSetting>& DefaultSettings() {
  static const std::vector<DefaultSetting> all = {
      {"ProgramDirectory", "Path", "D:\\Entwicklung\\Projekte\\Zelvanor"},
      {"DataBaseDirectory", "Path", "D:\\Entwicklung\\Projekte\\Zelvanor\\DataBase"},
      {"SoundDirectory", "Path", "D:\\Entwicklung\\Projekte\\Zelvanor\\Sound"},
      {"GraphicSource", "GraphicSourceLeft", "Sensor1"},
      {"GraphicSource", "GraphicSourceRight", "Sensor2"},
      {"DataCollectingIntervall", "Intervall", "dword:15"},
      {"TapiDevice", "DeviceName", "COM1"},
  };
  return all;
}

}  // namespace support
