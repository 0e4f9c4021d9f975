#pragma once
// The application's settings under the current user's key "Software\Zelvanor".
//
// One subkey per setting; every reader and writer opens its subkey, reads or writes one
// value and closes it again. Paths are kept as the Windows paths the settings have always
// held; LocalPath() turns one into a path of this system.
#include <string>

inline constexpr const char* RegistryRootKey = "Software\\Zelvanor";

// Writes each default whose key or value is missing ("Path" of the program, database and
// sound directories, the two graphic sources, the interval, the telephony device), all in one
// write of the settings file; a value that is there is never written over.
void InitRegistryDefaults();

// A box for each settings file that was found damaged and set aside since the last call,
// naming the file and the copy kept of it.
void ReportDamagedSettings();

// "Path" under "SoundDirectory"; writes the missing defaults first when the value is missing.
std::string ReadSoundDirectory();

// The folder the alarm sounds are played from, as a path here: the stored sound directory;
// when that is still the default path of a fresh account and no such folder exists here, the
// sounds installed with the program (InstalledSoundDirectory).
std::string SoundDirectory();
// A folder of files that come with the program: "share/korvidan/<name>" one or two folders
// above the program's own folder (installed: bin/../share; built: build/app/exe/../../share),
// the first that exists; the installed place when neither does.
std::string InstalledDataDirectory(const std::string& name);
// The alarm sounds that come with the program (InstalledDataDirectory "Sound").
std::string InstalledSoundDirectory();

// Writes "Sensor<n>" as the left / right preview chart source for each number that is not 0.
void WriteGraphicSource(int left, int right);
// The source name of the left (side 0) or right (side 1) preview chart; empty when missing.
std::string ReadGraphicSourceName(int side);
// The sensor number of that name ("Sensor3" gives 3); EConvertError when it holds none.
int ReadGraphicSourceNumber(int side);

// The acquisition interval in minutes.
void WriteInterval(int minutes);
// The interval in minutes; 15 with a warning box when it cannot be read.
int ReadInterval();

// The telephony device of the fax modem; empty when missing.
void WriteTapiDeviceName(const std::string& name);
std::string ReadTapiDeviceName();

// A settings path of the Windows form ("D:\Daten\Sound\error.wav") as a path here:
// backslashes become slashes and a drive letter stands for the root directory
// ("/Daten/Sound/error.wav"); a path without a drive starting with a backslash also starts
// at the root, as it did on the current drive.
std::string LocalPath(const std::string& windowsPath);
