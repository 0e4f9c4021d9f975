#pragma once
// Strings: the string list, Windows-1252 <-> UTF-8, and number conversions that never
// depend on the process locale ('.' is always the decimal separator).
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Bytes in Windows-1252, as on the bus and in the system's files. The user interface is UTF-8.
using AnsiString = std::string;

// A text that is not a number of the asked kind.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// An index outside a string list.
class EStringListError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};
// A file that cannot be opened for reading / created for writing; Error is the system's error
// number of the cause, 0 when none is known.
class EFOpenError : public std::runtime_error {
 public:
  explicit EFOpenError(const std::string& message, int error = 0) : std::runtime_error(message), Error(error) {}
  int Error;
};
class EFCreateError : public std::runtime_error {
 public:
  explicit EFCreateError(const std::string& message, int error = 0)
      : std::runtime_error(message), Error(error) {}
  int Error;
};

class TStringList {
 public:
  TStringList() = default;

  int Count() const { return static_cast<int>(items_.size()); }
  // Appends and returns the new index.
  int Add(std::string s);
  void AddStrings(const TStringList& other);
  void Insert(int index, std::string s);  // 0 <= index <= Count
  void Delete(int index);
  void Clear() { items_.clear(); }
  void Exchange(int a, int b);
  // The index of the first string equal to s without regard to ASCII case, or -1.
  int IndexOf(std::string_view s) const;

  const std::string& Strings(int index) const;
  void SetStrings(int index, std::string s);
  const std::string& operator[](int index) const { return Strings(index); }
  std::string& operator[](int index);

  // All lines, each followed by CR LF.
  std::string Text() const;
  // Splits at CR LF, LF or CR; a last line without a line end counts, an empty text gives none.
  void SetText(std::string_view text);

  // Comma-separated: items holding blanks, commas, quotes or control characters (and empty
  // ones) are put in double quotes, quotes doubled.
  std::string CommaText() const;
  void SetCommaText(std::string_view text);

  // The bytes of the file as they are (no re-encoding); raises EFOpenError / EFCreateError.
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

  const std::vector<std::string>& Items() const { return items_; }

 private:
  void Check(int index) const;
  std::vector<std::string> items_;
};

// Windows-1252 bytes to UTF-8. The five bytes that Windows-1252 leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) become the C1 control characters of the same value, as
// Windows does, so that every byte survives a round trip.
std::string Cp1252ToUtf8(std::string_view cp1252);
// UTF-8 to Windows-1252; characters without a Windows-1252 byte, and bytes that are not
// valid UTF-8, become '?'.
AnsiString Utf8ToCp1252(std::string_view utf8);
// One Windows-1252 byte as a Unicode code point (the five undefined bytes give the C1 control
// characters of the same value).
char32_t Cp1252ToUnicode(unsigned char c);
// A code point as a Windows-1252 byte; '?' where Windows-1252 has none.
char UnicodeToCp1252(char32_t c);
// What a font draws for a Windows-1252 byte: its code point, or 0 for the control characters
// and the five undefined bytes.
char32_t Cp1252Glyph(unsigned char c);
// Appends a code point as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// Numbers. All of these use '.' and ignore the process locale.
std::string IntToStr(std::int64_t v);
std::string IntToHex(std::uint64_t v, int digits);
// Decimal with optional leading blanks and sign; "$" or "0x" start a hexadecimal number.
// Raises EConvertError "'<text>' is not a valid integer value".
int StrToInt(std::string_view s);
std::int64_t StrToInt64(std::string_view s);
int StrToIntDef(std::string_view s, int def);
bool TryStrToInt(std::string_view s, int& out);

// Shortest form with up to 15 significant digits ("7.12", "0.5", "1E20", "1E-5").
std::string FloatToStr(double v);
// Fixed notation with the given number of decimals ("7.10").
std::string FloatToStrFixed(double v, int decimals);
// Format pictures: '0' a digit always shown, '#' a digit shown when significant, '.' the
// decimal point, ',' anywhere in the integer part groups thousands with ','.
// E.g. FormatFloat("0.00", 7.1) = "7.10", FormatFloat("#,##0.0", 12345.67) = "12,345.7".
std::string FormatFloat(std::string_view picture, double v);
// Optional blanks around, optional sign, digits with '.' and an exponent.
// Raises EConvertError "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view s);
double StrToFloatDef(std::string_view s, double def);
bool TryStrToFloat(std::string_view s, double& out);

// printf-like, always with the C locale.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Removes characters up to the blank (control characters and blanks) at the ends.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);
// Removes the given characters at the ends.
std::string Trim(std::string_view s, std::string_view blanks);
// ASCII letters only; other bytes are kept.
std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// Comparison without regard to ASCII case: <0, 0, >0.
int CompareText(std::string_view a, std::string_view b);
bool SameText(std::string_view a, std::string_view b);
