// A full disk under SQLite, for tests that cannot mount a small file system of their own: a
// VFS over the system's that, once a directory is marked full, refuses every write that would
// take more room there, as a full tmpfs does. A write that grows a file fails with SQLITE_FULL
// (the system's VFS reports ENOSPC so), a growing shared-memory index fails with
// SQLITE_IOERR_SHMSIZE and errno ENOSPC (as the system's VFS reports it); writes within a
// file's present size, reads and removals go on. Installed as the default VFS of the process.
#pragma once

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <string>

namespace support {

class FullDisk {
 public:
  // Marks a directory full (an empty path: none).
  static void Fill(const std::filesystem::path& dir) {
    Install();
    std::lock_guard<std::mutex> g(Lock());
    Dir() = dir.empty() ? std::string() : std::filesystem::absolute(dir).string() + "/";
  }
  static void Free() { Fill({}); }

 private:
  struct File {
    sqlite3_file base;
    sqlite3_file* real;  // the system VFS's file, right behind this record
    std::string* name;
  };

  static std::mutex& Lock() {
    static std::mutex m;
    return m;
  }
  static std::string& Dir() {
    static std::string d;
    return d;
  }
  static sqlite3_vfs*& Real() {
    static sqlite3_vfs* v = nullptr;
    return v;
  }
  static bool IsFull(const std::string* name) {
    std::lock_guard<std::mutex> g(Lock());
    return name && !Dir().empty() && name->rfind(Dir(), 0) == 0;
  }
  static sqlite3_file* R(sqlite3_file* f) { return reinterpret_cast<File*>(f)->real; }

  static int Close(sqlite3_file* f) {
    File* file = reinterpret_cast<File*>(f);
    int rc = file->real->pMethods ? file->real->pMethods->xClose(file->real) : SQLITE_OK;
    delete file->name;
    file->name = nullptr;
    return rc;
  }
  static int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 at) {
    return R(f)->pMethods->xRead(R(f), p, n, at);
  }
  static int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 at) {
    if (IsFull(reinterpret_cast<File*>(f)->name)) {
      sqlite3_int64 size = 0;
      if (R(f)->pMethods->xFileSize(R(f), &size) != SQLITE_OK || at + n > size) {
        errno = ENOSPC;
        return SQLITE_FULL;
      }
    }
    return R(f)->pMethods->xWrite(R(f), p, n, at);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) { return R(f)->pMethods->xTruncate(R(f), size); }
  static int Sync(sqlite3_file* f, int flags) { return R(f)->pMethods->xSync(R(f), flags); }
  static int FileSize(sqlite3_file* f, sqlite3_int64* size) { return R(f)->pMethods->xFileSize(R(f), size); }
  static int DoLock(sqlite3_file* f, int l) { return R(f)->pMethods->xLock(R(f), l); }
  static int Unlock(sqlite3_file* f, int l) { return R(f)->pMethods->xUnlock(R(f), l); }
  static int CheckReserved(sqlite3_file* f, int* out) {
    return R(f)->pMethods->xCheckReservedLock(R(f), out);
  }
  static int Control(sqlite3_file* f, int op, void* arg) {
    return R(f)->pMethods->xFileControl(R(f), op, arg);
  }
  static int SectorSize(sqlite3_file* f) { return R(f)->pMethods->xSectorSize(R(f)); }
  static int Characteristics(sqlite3_file* f) { return R(f)->pMethods->xDeviceCharacteristics(R(f)); }
  static int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** pp) {
    const std::string* name = reinterpret_cast<File*>(f)->name;
    if (extend && IsFull(name)) {
      struct stat st {};
      const std::string shm = *name + "-shm";
      if (::stat(shm.c_str(), &st) != 0 || st.st_size < static_cast<off_t>(region + 1) * size) {
        errno = ENOSPC;
        return SQLITE_IOERR_SHMSIZE;
      }
    }
    return R(f)->pMethods->xShmMap(R(f), region, size, extend, pp);
  }
  static int ShmLock(sqlite3_file* f, int o, int n, int flags) {
    return R(f)->pMethods->xShmLock(R(f), o, n, flags);
  }
  static void ShmBarrier(sqlite3_file* f) { R(f)->pMethods->xShmBarrier(R(f)); }
  static int ShmUnmap(sqlite3_file* f, int del) { return R(f)->pMethods->xShmUnmap(R(f), del); }
  static int Fetch(sqlite3_file* f, sqlite3_int64 at, int n, void** pp) {
    return R(f)->pMethods->xFetch(R(f), at, n, pp);
  }
  static int Unfetch(sqlite3_file* f, sqlite3_int64 at, void* p) {
    return R(f)->pMethods->xUnfetch(R(f), at, p);
  }

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    static const sqlite3_io_methods methods = {
        3,        Close,         Read,    Write,      Truncate,        Sync,   FileSize, DoLock,
        Unlock,   CheckReserved, Control, SectorSize, Characteristics, ShmMap, ShmLock,  ShmBarrier,
        ShmUnmap, Fetch,         Unfetch};
    File* file = reinterpret_cast<File*>(f);
    file->base.pMethods = nullptr;
    file->real = reinterpret_cast<sqlite3_file*>(file + 1);
    file->name = nullptr;
    const int rc = Real()->xOpen(Real(), name, file->real, flags, outFlags);
    if (rc != SQLITE_OK) return rc;
    file->name = new std::string(name ? name : "");
    file->base.pMethods = &methods;
    return SQLITE_OK;
  }

  static void Install() {
    static std::once_flag once;
    std::call_once(once, [] {
      Real() = sqlite3_vfs_find(nullptr);
      static sqlite3_vfs vfs = *Real();
      vfs.zName = "full-disk";
      vfs.szOsFile = static_cast<int>(sizeof(File)) + Real()->szOsFile;
      vfs.pNext = nullptr;
      vfs.xOpen = Open;
      sqlite3_vfs_register(&vfs, 1);
    });
  }
};

}  // namespace support
