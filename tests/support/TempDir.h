#pragma once
// A temporary directory that is removed with everything in it at the end of its scope, and the
// whole-file reads and writes that tests keep needing.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace support {

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline std::vector<std::uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const fs::path& p, const void* data, std::size_t size) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!f) throw std::runtime_error("cannot write " + p.string());
}
inline void WriteFile(const fs::path& p, const std::string& data) { WriteFile(p, data.data(), data.size()); }
inline void WriteFile(const fs::path& p, const std::vector<std::uint8_t>& data) {
  WriteFile(p, data.data(), data.size());
}

// A memory file system where the machine has one (fast, and a killed process leaves it as it
// is), else the usual temporary directory.
inline fs::path TmpfsOrTemp() {
  std::error_code ec;
  if (fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return fs::temp_directory_path();
}

class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "korvidan", const fs::path& base = fs::temp_directory_path()) {
    std::string tmpl = (base / (prefix + "XXXXXX")).string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp " + tmpl);
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The full name of a file in the directory.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Writes a file in the directory and gives its full name.
  std::string Write(const std::string& name, const std::string& data) const {
    WriteFile(path_ / name, data);
    return (path_ / name).string();
  }
  std::string Write(const std::string& name, const std::vector<std::uint8_t>& data) const {
    WriteFile(path_ / name, data);
    return (path_ / name).string();
  }
  std::string Write(const std::string& name, std::initializer_list<std::uint8_t> bytes) const {
    return Write(name, std::vector<std::uint8_t>(bytes));
  }
  std::string Read(const std::string& name) const { return ReadFile(path_ / name); }
  // Removes everything in the directory.
  void Clear() const {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path_, ec)) fs::remove_all(entry.path(), ec);
  }

 private:
  fs::path path_;
};

}  // namespace support
