// The registry under the current user, kept in one UTF-8 text file.
#include "platform/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace {

struct RegValue {
  std::string name;
  TRegDataType type = rdString;
  std::string data;  // string bytes or binary bytes
  std::int32_t integer = 0;
};

struct RegKey {
  std::vector<RegValue> values;
};

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Orders paths as their lower-case forms: one key of a name, whatever its case, and the file's
// keys in the order they have always been written in.
struct PathLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      // The bytes that are alike, eight at a time (paths share long beginnings).
      for (std::uint64_t x = 0, y = 0; i + 8 <= n; i += 8) {
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) break;
      }
      if (i == n) break;
      if (a[i] == b[i]) continue;
      const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
      const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

// By path as created, without a leading backslash; "" is the root.
using KeyMap = std::map<std::string, RegKey, PathLess>;

class FileLock;

struct FileSig {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  long long mtimeNs = 0;
  bool operator==(const FileSig&) const = default;
};

struct Store {
  std::mutex m;
  std::string overridePath;
  std::string loadedFrom;
  bool loaded = false;
  FileSig sig;
  KeyMap keys;
  std::string error;
  std::vector<TRegistryDamage> damage;  // not yet taken by TakeRegistryDamage
  bool failNextWrite = false;
  // An open TRegistryBatch: the thread that owns it, its hold on the file and whether it
  // changed anything yet. Other threads wait for its end (batchEnded).
  std::thread::id batchOwner;
  std::unique_ptr<FileLock> batchLock;
  bool batchDirty = false;
  std::condition_variable batchEnded;
};

// The store, once no other thread's batch is open.
std::unique_lock<std::mutex> Lock(Store& s) {
  std::unique_lock<std::mutex> g(s.m);
  s.batchEnded.wait(g, [&] { return !s.batchLock || s.batchOwner == std::this_thread::get_id(); });
  return g;
}

Store& TheStore() {
  static Store* s = new Store;  // lives to the very end: threads may write during exit
  return *s;
}

std::string LowerPath(const std::string& p) { return LowerCase(p); }

std::string DefaultFile() {
  if (const char* f = std::getenv("KORVIDAN_REGISTRY_FILE"); f && *f) return f;
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) {
    base = x;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : ".") + "/.config";
  }
  return base + "/korvidan/registry.ini";
}

std::string FileOf(const Store& s) { return s.overridePath.empty() ? DefaultFile() : s.overridePath; }

FileSig SigOf(const std::string& file) {
  FileSig g;
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return g;
  g.exists = true;
  g.dev = st.st_dev;
  g.ino = st.st_ino;
  g.size = st.st_size;
  g.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return g;
}

// ---- text form ------------------------------------------------------------------------

int Utf8Len(const std::string& s, std::size_t i) {
  auto b = static_cast<unsigned char>(s[i]);
  int len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
  if (len == 0 || i + static_cast<std::size_t>(len) > s.size()) return 0;
  for (int k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) return 0;
  return len;
}

std::string Quote(const std::string& s) {
  static const char* hex = "0123456789abcdef";
  std::string r = "\"";
  for (std::size_t i = 0; i < s.size();) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b == '\\' || b == '"') {
      r += '\\';
      r += static_cast<char>(b);
      ++i;
    } else if (b >= 0x20 && b < 0x7F) {
      r += static_cast<char>(b);
      ++i;
    } else if (int n = b >= 0x80 ? Utf8Len(s, i) : 0) {
      r.append(s, i, static_cast<std::size_t>(n));
      i += static_cast<std::size_t>(n);
    } else {
      r += "\\x";
      r += hex[b >> 4];
      r += hex[b & 15];
      ++i;
    }
  }
  return r + "\"";
}

int HexDigit(char h) {
  return h >= '0' && h <= '9'   ? h - '0'
         : h >= 'a' && h <= 'f' ? h - 'a' + 10
         : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                : -1;
}

// Reads a quoted text at pos; false when malformed.
bool Unquote(const std::string& line, std::size_t& pos, std::string& out) {
  if (pos >= line.size() || line[pos] != '"') return false;
  ++pos;
  out.clear();
  while (pos < line.size()) {
    char c = line[pos++];
    if (c == '"') return true;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos >= line.size()) return false;
    char e = line[pos++];
    if (e == '\\' || e == '"') {
      out += e;
    } else if (e == 'x') {
      if (pos + 2 > line.size()) return false;
      int v = 0;
      for (int k = 0; k < 2; ++k) {
        int d = HexDigit(line[pos++]);
        if (d < 0) return false;
        v = v * 16 + d;
      }
      out += static_cast<char>(v);
    } else {
      return false;
    }
  }
  return false;
}

std::string Serialize(const KeyMap& keys) {
  static const char* hex = "0123456789abcdef";
  std::string out =
      "; Korvidan registry (current user). Written by the program; keep the format when editing.\n";
  for (const auto& [path, key] : keys) {
    if (path.empty() && key.values.empty()) continue;
    out += "\n[" + path + "]\n";
    for (const auto& v : key.values) {
      out += v.name.empty() ? std::string("@") : Quote(v.name);
      out += '=';
      switch (v.type) {
        case rdInteger:
          out += "dword:" + IntToStr(v.integer);
          break;
        case rdBinary:
          out += "hex:";
          for (std::size_t i = 0; i < v.data.size(); ++i) {
            if (i) out += ',';
            auto b = static_cast<unsigned char>(v.data[i]);
            out += hex[b >> 4];
            out += hex[b & 15];
          }
          break;
        case rdExpandString:
          out += "expand:" + Quote(v.data);
          break;
        default:
          out += "sz:" + Quote(v.data);
          break;
      }
      out += '\n';
    }
  }
  return out;
}

void EnsureKeyPath(KeyMap& keys, const std::string& path);

// Keeps one value of each name (names compare without regard to case): the one read last, at
// the place of the first. Linear in the number of values (a hand-grown file may hold a great
// many under one key).
void DropRepeatedNames(std::vector<RegValue>& values) {
  if (values.size() < 2) return;
  auto hash = [](std::string_view name) {
    std::uint64_t h = 14695981039346656037ull;
    for (char c : name) h = (h ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return h;
  };
  constexpr std::uint32_t kFree = UINT32_MAX;
  std::size_t size = 16;
  while (size < values.size() * 2) size *= 2;
  std::vector<std::uint32_t> slots(size, kFree);  // the index of the first value of a name
  std::vector<bool> repeated(values.size());
  for (std::uint32_t i = 0; i < values.size(); ++i) {
    for (std::size_t at = hash(values[i].name) & (size - 1);; at = (at + 1) & (size - 1)) {
      if (slots[at] == kFree) {
        slots[at] = i;
        break;
      }
      if (SameText(values[slots[at]].name, values[i].name)) {
        values[slots[at]] = std::move(values[i]);
        repeated[i] = true;
        break;
      }
    }
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (!repeated[i]) {
      if (kept != i) values[kept] = std::move(values[i]);
      ++kept;
    }
  values.resize(kept);
}

// Parses the file text; on a fault gives its line number and reason.
bool Parse(const std::string& text, KeyMap& keys, std::string& why) {
  keys.clear();
  keys.try_emplace("");
  RegKey* cur = nullptr;
  std::size_t pos = 0;
  int lineNo = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = end + 1;
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';' || t[0] == '#') continue;
    auto fail = [&](const std::string& r) {
      why = "line " + IntToStr(lineNo) + ": " + r;
      return false;
    };
    if (t[0] == '[') {
      if (t.back() != ']') return fail("key line without ']'");
      std::string path = t.substr(1, t.size() - 2);
      for (char c : path)
        if (static_cast<unsigned char>(c) < 0x20) return fail("control character in key name");
      // Normalise: no empty parts.
      std::string norm;
      std::size_t i = 0;
      while (i <= path.size()) {
        std::size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) norm += (norm.empty() ? "" : "\\") + path.substr(i, j - i);
        i = j + 1;
      }
      EnsureKeyPath(keys, norm);
      cur = &keys.find(norm)->second;
      continue;
    }
    if (!cur) return fail("value outside of a key");
    std::size_t p = 0;
    RegValue v;
    if (t[0] == '@') {
      p = 1;
    } else if (!Unquote(t, p, v.name)) {
      return fail("malformed value name");
    }
    if (p >= t.size() || t[p] != '=') return fail("'=' missing");
    ++p;
    std::string rest = t.substr(p);
    if (rest.rfind("sz:", 0) == 0 || rest.rfind("expand:", 0) == 0) {
      v.type = rest[0] == 's' ? rdString : rdExpandString;
      std::size_t q = rest.find(':') + 1;
      if (!Unquote(rest, q, v.data) || q != rest.size()) return fail("malformed text value");
    } else if (rest.rfind("dword:", 0) == 0) {
      v.type = rdInteger;
      std::string num = rest.substr(6);
      if (num.empty() || num[0] == ' ' || num[0] == '$' || !TryStrToInt(num, v.integer))
        return fail("malformed integer value");
    } else if (rest.rfind("hex:", 0) == 0) {
      v.type = rdBinary;
      std::string h = rest.substr(4);
      std::size_t i = 0;
      while (i < h.size()) {
        if (i + 2 > h.size()) return fail("malformed binary value");
        int hi = HexDigit(h[i]);
        int lo = HexDigit(h[i + 1]);
        if (hi < 0 || lo < 0) return fail("malformed binary value");
        v.data += static_cast<char>(hi * 16 + lo);
        i += 2;
        if (i < h.size()) {
          if (h[i] != ',' || i + 1 == h.size()) return fail("malformed binary value");
          ++i;
        }
      }
    } else {
      return fail("unknown value type");
    }
    cur->values.push_back(std::move(v));  // a name met again is dropped below
  }
  for (auto& [path, key] : keys) DropRepeatedNames(key.values);
  return true;
}

void EnsureKeyPath(KeyMap& keys, const std::string& path) {
  keys.try_emplace("");
  // From the key towards the root, up to a key that is there (and so are the keys above it);
  // a key there keeps the spelling it was made with.
  for (std::size_t end = path.size(); end > 0;) {
    if (!keys.try_emplace(path.substr(0, end)).second) break;
    const std::size_t slash = path.rfind('\\', end - 1);
    if (slash == std::string::npos) break;
    end = slash;
  }
}

std::string Timestamp() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void Report(Store& s, const std::string& msg) {
  s.error = msg;
  std::fprintf(stderr, "registry: %s\n", msg.c_str());
}

bool MakeDirs(const std::string& dir) {
  if (dir.empty()) return true;
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  auto slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(dir.substr(0, slash))) return false;
  return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

// Writes the whole store: temporary file, fsync, rename, fsync of the directory.
void SaveLocked(Store& s) {
  std::string file = FileOf(s);
  auto slash = file.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  if (!MakeDirs(dir))
    throw ERegistryException("Cannot create the directory \"" + dir + "\": " + std::strerror(errno));
  std::string text = Serialize(s.keys);
  std::string tmp = file + ".tmp-" + IntToStr(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0)
    throw ERegistryException("Cannot write the registry file \"" + tmp + "\": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int e = errno;
      ::close(fd);
      ::unlink(tmp.c_str());
      throw ERegistryException("Cannot write the registry file \"" + tmp + "\": " + std::strerror(e));
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw ERegistryException("Cannot write the registry file \"" + tmp + "\": " + std::strerror(e));
  }
  if (s.failNextWrite) {
    s.failNextWrite = false;
    throw ERegistryException("Registry write of \"" + file + "\" interrupted before the rename");
  }
  if (::rename(tmp.c_str(), file.c_str()) != 0) {
    int e = errno;
    ::unlink(tmp.c_str());
    throw ERegistryException("Cannot replace the registry file \"" + file + "\": " + std::strerror(e));
  }
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  s.sig = SigOf(file);
  s.loadedFrom = file;
}

// Reads the file again when it is not the one we know. A batch's changes not yet written
// stay (the batch holds the file: nobody else writes it meanwhile).
void RefreshLocked(Store& s) {
  if (s.loaded && s.batchLock) return;
  std::string file = FileOf(s);
  FileSig sig = SigOf(file);
  if (s.loaded && s.loadedFrom == file && sig == s.sig) return;
  s.loaded = true;
  s.loadedFrom = file;
  s.sig = sig;
  s.keys.clear();
  s.keys.try_emplace("");
  if (!sig.exists) return;
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) {
    Report(s, "cannot read \"" + file + "\": " + std::strerror(errno) + "; working with an empty registry");
    return;
  }
  std::string text;
  text.reserve(static_cast<std::size_t>(sig.size));
  char buf[8192];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool readErr = std::ferror(f) != 0;
  std::fclose(f);
  if (readErr) {
    Report(s, "cannot read \"" + file + "\"; working with an empty registry");
    return;
  }
  KeyMap keys;
  std::string why;
  if (Parse(text, keys, why)) {
    s.keys = std::move(keys);
    return;
  }
  std::string aside = file + ".corrupt-" + Timestamp();
  if (::rename(file.c_str(), aside.c_str()) == 0) {
    Report(s, "\"" + file + "\" is damaged (" + why + "); kept as \"" + aside +
                  "\", starting with an empty registry");
    s.damage.push_back(TRegistryDamage{file, aside});
  } else {
    Report(s, "\"" + file + "\" is damaged (" + why + ") and could not be set aside (" +
                  std::strerror(errno) + "); starting with an empty registry");
    s.damage.push_back(TRegistryDamage{file, {}});
  }
  try {
    SaveLocked(s);
  } catch (const ERegistryException& e) {
    Report(s, e.what());
  }
}

// "a\b" relative to the open key, or from the root when it starts with '\'.
std::optional<std::string> Resolve(const std::string& current, const std::string& key) {
  std::string base = !key.empty() && key[0] == '\\' ? std::string() : current;
  std::string r = base;
  std::size_t i = 0;
  while (i <= key.size()) {
    std::size_t j = key.find('\\', i);
    if (j == std::string::npos) j = key.size();
    if (j > i) {
      std::string part = key.substr(i, j - i);
      for (char c : part)
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      r += (r.empty() ? "" : "\\") + part;
    }
    i = j + 1;
  }
  return r;
}

// Holds an exclusive lock on "<file>.lock" so that two processes changing the registry at
// the same time do not overwrite each other's changes.
class FileLock {
 public:
  explicit FileLock(const std::string& file) {
    auto slash = file.find_last_of('/');
    if (slash != std::string::npos) MakeDirs(file.substr(0, slash ? slash : 1));
    fd_ = ::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

// Forgets what the store holds: the next access reads the file again.
void Forget(Store& s) {
  s.loaded = false;
  s.keys.clear();
}

// Applies a change to the latest file contents and writes it; on failure the store is as
// before (read again from the file, which the failed write left as it was: no copy of a
// large store is kept for it) and the error raises. Within a batch the change is written
// with the batch's others when it ends.
template <class F>
void Change(Store& s, F&& f) {
  if (s.batchLock) {
    RefreshLocked(s);
    f();
    s.batchDirty = true;
    return;
  }
  FileLock lock(FileOf(s));
  RefreshLocked(s);  // another process may have written meanwhile
  f();
  try {
    SaveLocked(s);
  } catch (const ERegistryException& e) {
    Forget(s);
    RefreshLocked(s);
    s.error = e.what();
    throw;
  }
}

}  // namespace

TRegistry::TRegistry() = default;
TRegistry::~TRegistry() = default;

void TRegistry::SetRootKey(HKEY root) {
  if (root != HKEY_CURRENT_USER) throw ERegistryException("Only the current user's registry is available");
  CloseKey();
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  auto path = Resolve(open_ ? current_ : std::string(), key);
  if (!path) return false;
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  if (!s.keys.count(*path)) {
    if (!canCreate) return false;
    try {
      Change(s, [&] { EnsureKeyPath(s.keys, *path); });
    } catch (const ERegistryException&) {
      return false;
    }
  }
  current_ = s.keys.find(*path)->first;
  open_ = true;
  readOnly_ = false;
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  bool ok = OpenKey(key, false);
  if (ok) readOnly_ = true;
  return ok;
}

void TRegistry::CloseKey() {
  current_.clear();
  open_ = false;
  readOnly_ = false;
}

bool TRegistry::KeyExists(const std::string& key) {
  auto path = Resolve(open_ ? current_ : std::string(), key);
  if (!path) return false;
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  return s.keys.count(*path) > 0;
}

bool TRegistry::CreateKey(const std::string& key) {
  auto path = Resolve(open_ ? current_ : std::string(), key);
  if (!path || path->empty()) return false;
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  if (s.keys.count(*path)) return true;
  try {
    Change(s, [&] { EnsureKeyPath(s.keys, *path); });
  } catch (const ERegistryException&) {
    return false;
  }
  return true;
}

bool TRegistry::DeleteKey(const std::string& key) {
  auto path = Resolve(open_ ? current_ : std::string(), key);
  if (!path || path->empty()) return false;
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  const std::string lower = LowerPath(*path);
  auto within = [&](const std::string& p) {
    const std::string l = LowerPath(p);
    return l == lower || l.rfind(lower + "\\", 0) == 0;
  };
  if (!s.keys.count(*path)) return false;
  try {
    Change(s, [&] {
      for (auto it = s.keys.begin(); it != s.keys.end();) {
        if (within(it->first))
          it = s.keys.erase(it);
        else
          ++it;
      }
    });
  } catch (const ERegistryException&) {
    return false;
  }
  if (open_ && within(current_)) CloseKey();
  return true;
}

bool TRegistry::HasSubKeys() {
  TStringList l;
  GetKeyNames(l);
  return l.Count() > 0;
}

namespace {
// The value in the open key (root when none), or nullptr. Store lock held.
RegValue* FindValue(Store& s, const std::string& keyPath, const std::string& name) {
  auto it = s.keys.find(keyPath);
  if (it == s.keys.end()) return nullptr;
  for (auto& v : it->second.values)
    if (SameText(v.name, name)) return &v;
  return nullptr;
}

std::string Where(const std::string& keyPath, const std::string& name) {
  return "'" + name + "' in '" + (keyPath.empty() ? std::string("\\") : keyPath) + "'";
}
}  // namespace

bool TRegistry::ValueExists(const std::string& name) {
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  return FindValue(s, current_, name) != nullptr;
}

bool TRegistry::DeleteValue(const std::string& name) {
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  if (!FindValue(s, current_, name)) return false;
  try {
    Change(s, [&] {
      auto it = s.keys.find(current_);
      if (it != s.keys.end())
        std::erase_if(it->second.values, [&](const RegValue& v) { return SameText(v.name, name); });
    });
  } catch (const ERegistryException&) {
    return false;
  }
  return true;
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  auto* v = FindValue(s, current_, name);
  return v ? v->type : rdUnknown;
}

int TRegistry::GetDataSize(const std::string& name) {
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  auto* v = FindValue(s, current_, name);
  if (!v) return -1;
  if (v->type == rdInteger) return 4;
  if (v->type == rdBinary) return static_cast<int>(v->data.size());
  return static_cast<int>(v->data.size()) + 1;  // with its terminating NUL, as stored there
}

namespace {
void Put(bool readOnly, const std::string& keyPath, RegValue v) {
  if (readOnly)
    throw ERegistryException("Failed to set data for " + Where(keyPath, v.name) + ": key opened read-only");
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  if (!s.keys.count(keyPath))
    throw ERegistryException("Failed to set data for " + Where(keyPath, v.name) +
                             ": the key no longer exists");
  Change(s, [&] {
    EnsureKeyPath(s.keys, keyPath);  // in case another process removed it just now
    auto& vals = s.keys.find(keyPath)->second.values;
    for (auto& old : vals)
      if (SameText(old.name, v.name)) {
        v.name = old.name;  // keeps the spelling it was created with
        old = std::move(v);
        return;
      }
    vals.push_back(std::move(v));
  });
}

RegValue Get(const std::string& keyPath, const std::string& name, TRegDataType want, bool required) {
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  auto* v = FindValue(s, keyPath, name);
  if (!v) {
    if (!required) return RegValue{name, rdUnknown, {}, 0};
    throw ERegistryException("Registry value " + Where(keyPath, name) + " does not exist");
  }
  bool ok = want == rdString ? (v->type == rdString || v->type == rdExpandString) : v->type == want;
  if (!ok) throw ERegistryException("Invalid data type for " + Where(keyPath, name));
  return *v;
}
}  // namespace

std::string TRegistry::ReadString(const std::string& name) {
  return Get(current_, name, rdString, false).data;
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  Put(readOnly_, current_, RegValue{name, rdString, value, 0});
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
  Put(readOnly_, current_, RegValue{name, rdExpandString, value, 0});
}

int TRegistry::ReadInteger(const std::string& name) { return Get(current_, name, rdInteger, true).integer; }

void TRegistry::WriteInteger(const std::string& name, int value) {
  Put(readOnly_, current_, RegValue{name, rdInteger, {}, value});
}

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int bufSize) {
  RegValue v = Get(current_, name, rdBinary, true);
  if (bufSize < 0 || v.data.size() > static_cast<std::size_t>(bufSize))
    throw ERegistryException("Buffer too small for " + Where(current_, name));
  if (!v.data.empty()) std::memcpy(buffer, v.data.data(), v.data.size());
  return static_cast<int>(v.data.size());
}

std::vector<std::uint8_t> TRegistry::ReadBinaryData(const std::string& name) {
  RegValue v = Get(current_, name, rdBinary, true);
  return std::vector<std::uint8_t>(v.data.begin(), v.data.end());
}

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int size) {
  if (size < 0 || (size > 0 && !buffer)) throw ERegistryException("Invalid binary data for '" + name + "'");
  std::string data(static_cast<const char*>(buffer), static_cast<std::size_t>(size));
  Put(readOnly_, current_, RegValue{name, rdBinary, std::move(data), 0});
}

void TRegistry::GetValueNames(TStringList& out) {
  out.Clear();
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  auto it = s.keys.find(current_);
  if (it == s.keys.end()) return;
  for (const auto& v : it->second.values) out.Add(v.name);
}

void TRegistry::GetKeyNames(TStringList& out) {
  out.Clear();
  Store& s = TheStore();
  auto g = Lock(s);
  RefreshLocked(s);
  std::string prefix = current_.empty() ? std::string() : current_ + "\\";
  for (const auto& [path, key] : s.keys) {
    if (path.size() < prefix.size() || !SameText(std::string_view(path).substr(0, prefix.size()), prefix))
      continue;
    std::string rest = path.substr(prefix.size());
    if (rest.empty() || rest.find('\\') != std::string::npos) continue;
    out.Add(rest);
  }
}

std::string RegistryFile() {
  Store& s = TheStore();
  auto g = Lock(s);
  return FileOf(s);
}

void SetRegistryFile(const std::string& path) {
  Store& s = TheStore();
  auto g = Lock(s);
  s.overridePath = path;
  s.loaded = false;
  s.error.clear();
  s.damage.clear();
}

std::string RegistryStoreError() {
  Store& s = TheStore();
  auto g = Lock(s);
  return s.error;
}

std::vector<TRegistryDamage> TakeRegistryDamage() {
  Store& s = TheStore();
  auto g = Lock(s);
  // A file damaged before anyone asked is met now, at the first reading.
  RefreshLocked(s);
  return std::exchange(s.damage, {});
}

void RegistryFailNextWriteBeforeRename() {
  Store& s = TheStore();
  auto g = Lock(s);
  s.failNextWrite = true;
}

TRegistryBatch::TRegistryBatch() {
  Store& s = TheStore();
  auto g = Lock(s);
  if (s.batchLock) return;  // within a batch of this thread: part of it
  s.batchLock = std::make_unique<FileLock>(FileOf(s));
  s.batchOwner = std::this_thread::get_id();
  s.batchDirty = false;
  owner_ = true;
  RefreshLocked(s);
}

namespace {
void EndBatch(Store& s) {
  s.batchLock.reset();
  s.batchOwner = {};
  s.batchDirty = false;
  s.batchEnded.notify_all();
}
}  // namespace

TRegistryBatch::~TRegistryBatch() {
  if (!owner_) return;
  Store& s = TheStore();
  auto g = Lock(s);
  if (s.batchDirty) Forget(s);  // not committed: the file still holds what was there
  EndBatch(s);
}

void TRegistryBatch::Commit() {
  if (!owner_) return;
  owner_ = false;
  Store& s = TheStore();
  auto g = Lock(s);
  try {
    if (s.batchDirty) SaveLocked(s);
  } catch (const ERegistryException& e) {
    Forget(s);
    s.error = e.what();
    EndBatch(s);
    throw;
  }
  EndBatch(s);
}
