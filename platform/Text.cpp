// String list, code page conversion and locale-independent number conversion.
#include "platform/Text.h"

#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

// ---------------------------------------------------------------------------------------
// TStringList

void TStringList::Check(int index) const {
  if (index < 0 || index >= Count())
    throw EStringListError("List index out of bounds (" + IntToStr(index) + ")");
}

int TStringList::Add(std::string s) {
  items_.push_back(std::move(s));
  return Count() - 1;
}

void TStringList::AddStrings(const TStringList& other) {
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
}

void TStringList::Insert(int index, std::string s) {
  if (index < 0 || index > Count())
    throw EStringListError("List index out of bounds (" + IntToStr(index) + ")");
  items_.insert(items_.begin() + index, std::move(s));
}

void TStringList::Delete(int index) {
  Check(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Exchange(int a, int b) {
  Check(a);
  Check(b);
  std::swap(items_[static_cast<std::size_t>(a)], items_[static_cast<std::size_t>(b)]);
}

int TStringList::IndexOf(std::string_view s) const {
  for (std::size_t i = 0; i < items_.size(); ++i)
    if (SameText(items_[i], s)) return static_cast<int>(i);
  return -1;
}

const std::string& TStringList::Strings(int index) const {
  Check(index);
  return items_[static_cast<std::size_t>(index)];
}

void TStringList::SetStrings(int index, std::string s) {
  Check(index);
  items_[static_cast<std::size_t>(index)] = std::move(s);
}

std::string& TStringList::operator[](int index) {
  Check(index);
  return items_[static_cast<std::size_t>(index)];
}

std::string TStringList::Text() const {
  std::string r;
  for (const auto& s : items_) {
    r += s;
    r += "\r\n";
  }
  return r;
}

void TStringList::SetText(std::string_view text) {
  items_.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t start = i;
    while (i < text.size() && text[i] != '\r' && text[i] != '\n') ++i;
    items_.emplace_back(text.substr(start, i - start));
    if (i < text.size() && text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
}

std::string TStringList::CommaText() const {
  std::string r;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (i) r += ',';
    const std::string& s = items_[i];
    bool quote = s.empty() || std::any_of(s.begin(), s.end(), [](char c) {
                   return static_cast<unsigned char>(c) <= ' ' || c == ',' || c == '"';
                 });
    if (!quote) {
      r += s;
      continue;
    }
    r += '"';
    for (char c : s) {
      if (c == '"') r += '"';
      r += c;
    }
    r += '"';
  }
  return r;
}

void TStringList::SetCommaText(std::string_view t) {
  items_.clear();
  std::size_t i = 0;
  auto skipBlanks = [&] {
    while (i < t.size() && static_cast<unsigned char>(t[i]) <= ' ') ++i;
  };
  skipBlanks();
  while (i < t.size()) {
    std::string item;
    if (t[i] == '"') {
      ++i;
      while (i < t.size()) {
        if (t[i] == '"') {
          if (i + 1 < t.size() && t[i + 1] == '"') {
            item += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        item += t[i++];
      }
    } else {
      while (i < t.size() && t[i] != ',' && static_cast<unsigned char>(t[i]) > ' ') item += t[i++];
    }
    items_.push_back(std::move(item));
    skipBlanks();
    if (i < t.size() && t[i] == ',') {
      ++i;
      skipBlanks();
      if (i == t.size()) items_.emplace_back();  // a trailing comma leaves an empty item
    }
  }
}

void TStringList::LoadFromFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw EFOpenError("Cannot open file \"" + path + "\": " + std::strerror(errno), errno);
  std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (f.bad()) throw EFOpenError("Cannot read file \"" + path + "\"", errno);
  SetText(data);
}

void TStringList::SaveToFile(const std::string& path) const {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw EFCreateError("Cannot create file \"" + path + "\": " + std::strerror(errno), errno);
  std::string t = Text();
  f.write(t.data(), static_cast<std::streamsize>(t.size()));
  f.flush();
  if (!f) throw EFCreateError("Cannot write file \"" + path + "\"", errno);
}

// ---------------------------------------------------------------------------------------
// Windows-1252

namespace {
constexpr char16_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

char32_t Cp1252ToUnicode(unsigned char c) { return c >= 0x80 && c < 0xA0 ? kHigh[c - 0x80] : c; }

char UnicodeToCp1252(char32_t c) {
  if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
  for (int i = 0; i < 32; ++i)
    if (kHigh[i] == c) return static_cast<char>(0x80 + i);
  return '?';
}

char32_t Cp1252Glyph(unsigned char c) {
  if (c < 0x20 || c == 0x7F) return 0;
  const char32_t u = Cp1252ToUnicode(c);
  return u >= 0x80 && u < 0xA0 ? 0 : u;
}

std::string Cp1252ToUtf8(std::string_view in) {
  std::string out;
  out.reserve(in.size() + in.size() / 4);
  for (char ch : in) {
    auto b = static_cast<unsigned char>(ch);
    if (b < 0x80)
      out += ch;
    else if (b < 0xA0)
      AppendUtf8(out, kHigh[b - 0x80]);
    else
      AppendUtf8(out, b);
  }
  return out;
}

AnsiString Utf8ToCp1252(std::string_view in) {
  AnsiString out;
  out.reserve(in.size());
  std::size_t i = 0;
  while (i < in.size()) {
    auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    int len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 && b < 0xE0 ? 2 : 0;
    if (len == 0 || i + static_cast<std::size_t>(len) > in.size()) {
      out += '?';
      ++i;
      continue;
    }
    char32_t c = b & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    bool ok = true;
    for (int k = 1; k < len; ++k) {
      auto cb = static_cast<unsigned char>(in[i + static_cast<std::size_t>(k)]);
      if ((cb & 0xC0) != 0x80) {
        ok = false;
        break;
      }
      c = (c << 6) | (cb & 0x3F);
    }
    // Over-long forms, surrogates and values beyond Unicode are not valid.
    if (ok && ((len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) ||
               (len == 4 && (c < 0x10000 || c > 0x10FFFF))))
      ok = false;
    if (!ok) {
      out += '?';
      ++i;
      continue;
    }
    out += UnicodeToCp1252(c);
    i += static_cast<std::size_t>(len);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Numbers

std::string IntToStr(std::int64_t v) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string IntToHex(std::uint64_t v, int digits) {
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
  std::string s(buf, r.ptr);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (static_cast<int>(s.size()) < digits) s.insert(0, static_cast<std::size_t>(digits) - s.size(), '0');
  return s;
}

namespace {
bool ParseInt64(std::string_view s, std::int64_t& out) {
  std::size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  bool neg = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  std::uint64_t mag = 0;
  auto r = std::from_chars(s.data() + i, s.data() + s.size(), mag, base);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return false;
  if (!neg && mag > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
  if (neg && mag > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1u) return false;
  out = neg ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
  return true;
}
}  // namespace

bool TryStrToInt(std::string_view s, int& out) {
  std::int64_t v;
  if (!ParseInt64(s, v) || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    return false;
  out = static_cast<int>(v);
  return true;
}

int StrToInt(std::string_view s) {
  int v;
  if (!TryStrToInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

std::int64_t StrToInt64(std::string_view s) {
  std::int64_t v;
  if (!ParseInt64(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

int StrToIntDef(std::string_view s, int def) {
  int v;
  return TryStrToInt(s, v) ? v : def;
}

std::string FloatToStr(double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  if (v == 0) return "0";
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
  std::string s(buf, r.ptr);
  auto e = s.find('e');
  if (e == std::string::npos) return s;
  // 1e+20 -> 1E20, 1e-05 -> 1E-5
  std::string mant = s.substr(0, e);
  std::string ex = s.substr(e + 1);
  bool negExp = !ex.empty() && ex[0] == '-';
  if (!ex.empty() && (ex[0] == '+' || ex[0] == '-')) ex.erase(0, 1);
  while (ex.size() > 1 && ex[0] == '0') ex.erase(0, 1);
  return mant + "E" + (negExp ? "-" : "") + ex;
}

std::string FloatToStrFixed(double v, int decimals) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  decimals = std::clamp(decimals, 0, 18);
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return FloatToStr(v);
  std::string s(buf, r.ptr);
  // No "-0.00".
  if (s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
  return s;
}

std::string FormatFloat(std::string_view picture, double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  auto dot = picture.find('.');
  std::string_view ip = picture.substr(0, dot);
  std::string_view fp = dot == std::string_view::npos ? std::string_view() : picture.substr(dot + 1);
  int minInt = static_cast<int>(std::count(ip.begin(), ip.end(), '0'));
  bool group = ip.find(',') != std::string_view::npos;
  int minFrac = 0, maxFrac = 0;
  for (char c : fp) {
    if (c == '0')
      minFrac = ++maxFrac;
    else if (c == '#')
      ++maxFrac;
  }
  std::string s = FloatToStrFixed(std::fabs(v), maxFrac);
  bool neg = v < 0 && s.find_first_not_of("0.") != std::string::npos;
  std::string ipart = s.substr(0, s.find('.'));
  std::string fpart = s.find('.') == std::string::npos ? "" : s.substr(s.find('.') + 1);
  while (static_cast<int>(fpart.size()) > minFrac && fpart.back() == '0') fpart.pop_back();
  ipart.erase(0, std::min(ipart.find_first_not_of('0'), ipart.size()));
  if (static_cast<int>(ipart.size()) < minInt)
    ipart.insert(0, static_cast<std::size_t>(minInt) - ipart.size(), '0');
  if (group && ipart.size() > 3) {
    std::string g;
    int n = static_cast<int>(ipart.size());
    for (int i = 0; i < n; ++i) {
      if (i && (n - i) % 3 == 0) g += ',';
      g += ipart[static_cast<std::size_t>(i)];
    }
    ipart = g;
  }
  std::string r = (neg ? "-" : "") + ipart;
  if (!fpart.empty()) r += "." + fpart;
  if (r.empty() || r == "-") r = "0";
  return r;
}

bool TryStrToFloat(std::string_view s, double& out) {
  std::string_view t = s;
  while (!t.empty() && static_cast<unsigned char>(t.front()) <= ' ') t.remove_prefix(1);
  while (!t.empty() && static_cast<unsigned char>(t.back()) <= ' ') t.remove_suffix(1);
  bool neg = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  // Digits, one '.', an exponent: no "inf", "nan" or hexadecimal forms.
  if (t.empty() || t.find_first_not_of("0123456789.eE+-") != std::string_view::npos) return false;
  if (t[0] != '.' && (t[0] < '0' || t[0] > '9')) return false;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  out = neg ? -v : v;
  return true;
}

double StrToFloat(std::string_view s) {
  double v;
  if (!TryStrToFloat(s, v))
    throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
  return v;
}

double StrToFloatDef(std::string_view s, double def) {
  double v;
  return TryStrToFloat(s, v) ? v : def;
}

std::string Format(const char* fmt, ...) {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  locale_t old = uselocale(cLocale);
  va_list ap;
  va_start(ap, fmt);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  std::string r;
  if (n > 0) {
    r.resize(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(r.data(), r.size(), fmt, ap2);
    r.resize(static_cast<std::size_t>(n));
  }
  va_end(ap2);
  uselocale(old);
  return r;
}

std::string TrimLeft(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
  return std::string(s.substr(i));
}

std::string TrimRight(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= ' ') --n;
  return std::string(s.substr(0, n));
}

std::string Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

std::string Trim(std::string_view s, std::string_view blanks) {
  const std::size_t first = s.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(s.substr(first, s.find_last_not_of(blanks) - first + 1));
}

std::string UpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return r;
}

std::string LowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return r;
}

int CompareText(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto ca = static_cast<unsigned char>(a[i]), cb = static_cast<unsigned char>(b[i]);
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 32);
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 32);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareText(a, b) == 0;
}
