// Build-time tool: turns a string-table text source into the binary "STR0" layout.
// Usage: strgen SOURCE.txt OUT.str0
//
// Source: one entry a line, `<id> "<text>"` (the text runs to the last double quote of the
// line, UTF-8); empty lines and lines starting with '#' are skipped.
// Output (little-endian): "STR0", entry count (u32), count index records of 12 bytes
// (id i32, offset of the text from the start u32, length in UTF-16 units u32) sorted by id,
// then the texts in UTF-16LE without terminators.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

bool DecodeUtf8(const std::string& s, std::u16string& out) {
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      n = 3;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      n = 4;
    } else
      return false;
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += n;
  }
  return true;
}

void Put32(std::vector<unsigned char>& b, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.push_back(static_cast<unsigned char>(v >> (8 * k)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: strgen SOURCE.txt OUT.str0\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "strgen: cannot read %s\n", argv[1]);
    return 1;
  }
  std::map<int32_t, std::u16string> texts;
  std::string line;
  int lineNo = 0;
  while (std::getline(in, line)) {
    ++lineNo;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t sp = line.find(' ');
    size_t q1 = line.find('"');
    size_t q2 = line.rfind('"');
    if (sp == std::string::npos || q1 != sp + 1 || q2 == q1 || q2 + 1 != line.size()) {
      std::fprintf(stderr, "%s:%d: expected <id> \"<text>\"\n", argv[1], lineNo);
      return 1;
    }
    std::string idText = line.substr(0, sp);
    if (idText.empty() || idText.find_first_not_of("0123456789") != std::string::npos || idText.size() > 9) {
      std::fprintf(stderr, "%s:%d: bad id '%s'\n", argv[1], lineNo, idText.c_str());
      return 1;
    }
    int32_t id = std::stoi(idText);
    std::u16string text;
    if (!DecodeUtf8(line.substr(q1 + 1, q2 - q1 - 1), text)) {
      std::fprintf(stderr, "%s:%d: text is not valid UTF-8\n", argv[1], lineNo);
      return 1;
    }
    if (!texts.emplace(id, std::move(text)).second) {
      std::fprintf(stderr, "%s:%d: id %d given twice\n", argv[1], lineNo, id);
      return 1;
    }
  }
  std::vector<unsigned char> out{'S', 'T', 'R', '0'};
  Put32(out, static_cast<uint32_t>(texts.size()));
  uint32_t offset = static_cast<uint32_t>(8 + 12 * texts.size());
  for (const auto& [id, text] : texts) {
    Put32(out, static_cast<uint32_t>(id));
    Put32(out, offset);
    Put32(out, static_cast<uint32_t>(text.size()));
    offset += static_cast<uint32_t>(2 * text.size());
  }
  for (const auto& entry : texts)
    for (char16_t u : entry.second) {
      out.push_back(static_cast<unsigned char>(u & 0xFF));
      out.push_back(static_cast<unsigned char>(u >> 8));
    }
  std::ofstream o(argv[2], std::ios::binary);
  o.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  return o ? 0 : 1;
}
