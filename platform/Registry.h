#pragma once
// The registry under the current user, kept in one text file.
//
// File: $KORVIDAN_REGISTRY_FILE when set, else $XDG_CONFIG_HOME/korvidan/registry.ini
// (XDG_CONFIG_HOME defaults to ~/.config); SetRegistryFile() overrides both (tests).
// UTF-8, INI-like, one section per key, typed values:
//   [Software\Zelvanor\DataCollectingIntervall]
//   "Intervall"=dword:15
//   "Path"=sz:"D:\\Entwicklung\\Projekte\\Zelvanor"
//   "Blob"=hex:01,ff,20
// (@ names the default value). Strings are stored byte for byte: bytes that are not valid
// UTF-8 and control characters are written as \xHH escapes.
//
// Every change rewrites the file at once (temporary file in the same directory, fsync,
// rename, fsync of the directory), so nothing written is lost at exit and a crash leaves
// either the old or the new file; the changes of a TRegistryBatch are written together. A change that cannot
// be written raises ERegistryException and is not kept. All TRegistry objects of the process share one store;
// a file changed by another process is read again at the next access.
//
// A file that cannot be parsed is reported on stderr, through RegistryStoreError() and
// TakeRegistryDamage(), set aside as <file>.corrupt-<YYYYMMDD-HHMMSS> and replaced by an
// empty store, so the caller's defaults get written again.
//
// Key names are backslash paths and compare without regard to case, as do value names.
// A path that starts with a backslash is taken from the root, otherwise from the open key.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Text.h"

class ERegistryException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using HKEY = std::uintptr_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;

enum TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

class TRegistry {
 public:
  TRegistry();
  ~TRegistry();
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  HKEY RootKey() const { return HKEY_CURRENT_USER; }
  // Only HKEY_CURRENT_USER exists here; another root raises ERegistryException.
  void SetRootKey(HKEY root);
  // Kept for callers that switch it; every change is written at once either way.
  bool LazyWrite = true;

  // Opens the key (relative to the open key unless it starts with '\'); with canCreate the
  // missing keys along the path are created. False when it does not exist (or cannot be
  // created). The key stays current until CloseKey or the next OpenKey.
  bool OpenKey(const std::string& key, bool canCreate);
  bool OpenKeyReadOnly(const std::string& key);
  void CloseKey();
  // The open key's full path without a leading backslash ("" for the root).
  std::string CurrentPath() const { return current_; }
  bool HasCurrentKey() const { return open_; }

  bool KeyExists(const std::string& key);
  bool CreateKey(const std::string& key);
  // Deletes the key with everything under it.
  bool DeleteKey(const std::string& key);
  bool HasSubKeys();

  bool ValueExists(const std::string& name);
  bool DeleteValue(const std::string& name);
  TRegDataType GetDataType(const std::string& name);
  // Bytes of the value's data, -1 when the value does not exist.
  int GetDataSize(const std::string& name);

  // Like the class library: an empty text when the value does not exist; a value of another
  // type raises ERegistryException.
  std::string ReadString(const std::string& name);
  void WriteString(const std::string& name, const std::string& value);
  void WriteExpandString(const std::string& name, const std::string& value);
  // A missing value or one of another type raises ERegistryException.
  int ReadInteger(const std::string& name);
  void WriteInteger(const std::string& name, int value);
  bool ReadBool(const std::string& name) { return ReadInteger(name) != 0; }
  void WriteBool(const std::string& name, bool v) { WriteInteger(name, v ? 1 : 0); }
  // Copies at most bufSize bytes; a missing value, another type or a too small buffer raise
  // ERegistryException. Returns the number of bytes.
  int ReadBinaryData(const std::string& name, void* buffer, int bufSize);
  std::vector<std::uint8_t> ReadBinaryData(const std::string& name);
  void WriteBinaryData(const std::string& name, const void* buffer, int size);

  // Names of the open key's values / subkeys, in the order they were created.
  void GetValueNames(TStringList& out);
  void GetKeyNames(TStringList& out);

 private:
  std::string current_;
  bool open_ = false;
  bool readOnly_ = false;
};

// Groups the changes made by this thread while it lives into one write of the file (the
// defaults of a start, say), so that a large file is not written once per change. It holds
// the file against other processes' changes, and other threads of this process wait for its
// end; Commit writes the changes (raising ERegistryException, with none of them kept, when
// they cannot be written), and an end without Commit drops them. A batch made within another
// of the same thread is part of that one.
class TRegistryBatch {
 public:
  TRegistryBatch();
  ~TRegistryBatch();
  TRegistryBatch(const TRegistryBatch&) = delete;
  TRegistryBatch& operator=(const TRegistryBatch&) = delete;
  void Commit();

 private:
  bool owner_ = false;
};

// The file the registry lives in (see above).
std::string RegistryFile();
// Uses another file from now on ("" returns to the default); the store is read again.
void SetRegistryFile(const std::string& path);
// The last problem with the store file (unreadable, corrupt and set aside, not writable),
// "" when there was none.
std::string RegistryStoreError();

// A settings file found damaged: the file, and the name it was kept under (empty when it
// could not be set aside).
struct TRegistryDamage {
  std::string File;
  std::string KeptAs;
};
// The damaged files met since the last call (reading the file now, if that has not been
// done), oldest first; each is handed out once, so that the user hears of it once.
std::vector<TRegistryDamage> TakeRegistryDamage();

// Test aid: the next write of the file stops after the temporary file was written and
// synced, before the rename, as if the process had died there; the change raises.
void RegistryFailNextWriteBeforeRename();
