// Reader of the library's string tables.
#include "serial/SioStrRes.h"

#include <algorithm>
#include <cstring>

#include "platform/Resources.h"
#include "platform/Text.h"

namespace {

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// True when the data is a complete "STR0" table: signature, index and every text inside.
bool IsValidTable(std::span<const std::uint8_t> data) {
  if (data.size() < sizeof(TResourceRec) || std::memcmp(data.data(), TSioStringResource::ResID, 4) != 0)
    return false;
  std::uint64_t count = Get32(data.data() + 4);
  if (8 + 12 * count > data.size()) return false;
  for (std::uint64_t k = 0; k < count; ++k) {
    const std::uint8_t* rec = data.data() + 8 + 12 * k;
    std::uint64_t ofs = Get32(rec + 4), len = Get32(rec + 8);
    if (ofs + 2 * len > data.size()) return false;
  }
  return true;
}

// Binary search over the index; the index record of the id, or null.
const std::uint8_t* FindIdent(const std::uint8_t* data, int id) {
  std::int64_t low = 0, high = static_cast<std::int64_t>(Get32(data + 4)) - 1;
  while (low <= high) {
    std::int64_t middle = (low + high) / 2;
    const std::uint8_t* rec = data + 8 + 12 * middle;
    auto entryId = static_cast<std::int32_t>(Get32(rec));
    if (entryId == id) return rec;
    if (entryId < id)
      low = middle + 1;
    else
      high = middle - 1;
  }
  return nullptr;
}

std::u16string TextOf(const std::uint8_t* data, const std::uint8_t* rec) {
  if (!rec) return {};
  std::uint32_t ofs = Get32(rec + 4), len = Get32(rec + 8);
  std::u16string text(len, u'\0');
  for (std::uint32_t k = 0; k < len; ++k)
    text[k] = static_cast<char16_t>(data[ofs + 2 * k] | (data[ofs + 2 * k + 1] << 8));
  return text;
}

// The reader's own message n, formatted with Arg at its %s or %d. Read directly from the
// program's table so that a fault while opening that very table cannot recurse.
std::string ReaderMessage(int id, std::string_view arg = {}) {
  static const char* const fallback[] = {"",
                                         "String not found: %d",
                                         "Cannot lock resource",
                                         "String resource not found: %s",
                                         "Unable to open string resource: %s",
                                         "Invalid SIOString resource"};
  std::string text;
  auto res = FindResource("SIOSRMGR_STRINGS");
  if (res && IsValidTable(*res)) text = Utf16ToUtf8(TextOf(res->data(), FindIdent(res->data(), id)));
  if (text.empty() && id >= 1 && id <= 5) text = fallback[id];
  for (const char* spec : {"%s", "%d"}) {
    auto pos = text.find(spec);
    if (pos != std::string::npos) {
      text.replace(pos, 2, arg);
      break;
    }
  }
  return text;
}

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      ++i;
      out += '?';
      continue;
    }
    out += UnicodeToCp1252(u);
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::optional<std::span<const std::uint8_t>> TSioResourceModule::Find(std::string_view name) const {
  auto it = FResources.find(name);
  if (it == FResources.end()) return std::nullopt;
  return std::span<const std::uint8_t>(it->second.data(), it->second.size());
}

TSioStringResource::TSioStringResource(TSioInstance instance, std::string_view resourceName) {
  srOpenResource(instance, resourceName);
}

TSioStringResource::~TSioStringResource() { srCloseResource(); }

void TSioStringResource::ChangeResource(TSioInstance instance, std::string_view resourceName) {
  srCloseResource();
  if (!resourceName.empty()) srOpenResource(instance, resourceName);
}

void TSioStringResource::srOpenResource(TSioInstance instance, std::string_view name) {
  std::string resName(name.substr(0, 255));
  std::optional<std::span<const std::uint8_t>> found;
  if (instance) found = instance->Find(resName);
  if (!found) found = FindResource(resName);
  if (!found) throw ESioStringResourceError(ReaderMessage(3, resName));
  FResource = found;
  srLock();
  if (!FLocked) {
    FResource.reset();
    throw ESioStringResourceError(ReaderMessage(2));
  }
  bool valid = IsValidTable(*FResource);
  srUnLock();
  if (!valid) {
    FResource.reset();
    throw ESioStringResourceError(ReaderMessage(5));
  }
}

void TSioStringResource::srCloseResource() {
  while (FLockCount > 0) srUnLock();
  FResource.reset();
}

void TSioStringResource::srLock() {
  if (!FResource) return;
  ++FLockCount;
  FLocked = FResource->data();
}

void TSioStringResource::srUnLock() {
  if (FLockCount > 0 && --FLockCount == 0) FLocked = nullptr;
}

const std::uint8_t* TSioStringResource::srFindIdent(int id) const {
  return FResource ? FindIdent(FResource->data(), id) : nullptr;
}

// The table data is immutable once opened, so lookups work on the data pointer without
// touching the object: the process-wide tables are read from several threads.
std::u16string TSioStringResource::GetWide(int id) {
  if (!FResource) return {};
  return TextOf(FResource->data(), srFindIdent(id));
}

std::string TSioStringResource::GetString(int id) { return Utf16ToAnsi(GetWide(id)); }

std::string TSioStringResource::GetUtf8(int id) { return Utf16ToUtf8(GetWide(id)); }

char* TSioStringResource::GetAsciiZ(int id, char* buffer, std::size_t bufSize) {
  if (!buffer || bufSize == 0) return buffer;
  std::u16string text = GetWide(id);
  std::string ansi = Utf16ToAnsi(text);
  while (!text.empty() && ansi.size() >= bufSize) {
    text.pop_back();
    ansi = Utf16ToAnsi(text);
  }
  std::memcpy(buffer, ansi.data(), ansi.size());
  buffer[ansi.size()] = '\0';
  return buffer;
}

char16_t* TSioStringResource::GetWideChar(int id, char16_t* buffer, std::size_t bufChars) {
  if (!buffer || bufChars == 0) return buffer;
  std::u16string text = GetWide(id);
  std::size_t n = std::min(text.size(), bufChars - 1);
  std::copy_n(text.begin(), n, buffer);
  buffer[n] = u'\0';
  return buffer;
}

TSioStringResource& SioResStrings() {
  static TSioStringResource table(nullptr, "SIOSRMGR_STRINGS");
  return table;
}
