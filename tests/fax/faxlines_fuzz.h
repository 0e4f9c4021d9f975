#pragma once
// Fax pages as lines for the fax fuzz targets: a page decoded as it is (no doubled lines, no
// blank lines dropped), and lines encoded by the converter as the one page of a new fax file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fax/Swfaxcvt.h"
#include "fax/Swunpack.h"

namespace fuzz {

using TLines = std::vector<std::vector<std::uint8_t>>;

// An unpacker that delivers the lines as they are decoded: no doubled lines, no halved widths,
// no blank lines dropped, no yielding. One for the process: building its decode trees costs
// more than decoding a page.
inline TUnpackFax* PlainUnpacker() {
  static TUnpackFax* up = [] {
    TUnpackFax* u = nullptr;
    if (upInitFaxUnpacker(u, nullptr, nullptr) != 0) __builtin_trap();
    upOptionsOff(u, ufYield | ufDoubleHeight | ufHalfWidth);
    return u;
  }();
  return up;
}

// Page Page (from 1) of the file, or all its pages one after the other (Page 0), decoded; the
// page's flags go to Flags. The unpacker's result.
inline int DecodeLines(const std::string& file, unsigned page, TLines& lines,
                       std::uint16_t* flags = nullptr) {
  lines.clear();
  TUnpackFax* up = PlainUnpacker();
  up->UserData = &lines;
  up->OutputLine = [](TUnpackFax* u, std::uint16_t f, const std::uint8_t* data, int len, int) {
    if (f == 0) static_cast<TLines*>(u->UserData)->emplace_back(data, data + len);
    return 0;
  };
  const int rc = page == 0 ? upUnpackFile(up, file) : upUnpackPage(up, file, page);
  if (flags) *flags = up->PageHeader.PageFlags;
  return rc;
}

// The lines encoded as the one page of a new fax file, without margins, at the resolution
// given and the width of the widest line (1728 pixels without lines).
inline void EncodeLines(const TLines& lines, bool fine, const std::string& file) {
  struct TFeed {
    const TLines& Lines;
    std::size_t Next = 0;
  } feed{lines};
  std::size_t widest = 0;
  for (const auto& line : lines) widest = std::max(widest, line.size());
  TAbsFaxCvt* cvt = nullptr;
  if (acInitFaxConverter(
          cvt, &feed,
          [](TAbsFaxCvt* c, std::uint8_t* data, int& len, bool& endOfPage, bool& morePages) {
            auto& f = *static_cast<TFeed*>(c->UserData);
            morePages = false;
            endOfPage = f.Next == f.Lines.size();
            len = 0;
            if (endOfPage) return 0;
            const std::vector<std::uint8_t>& line = f.Lines[f.Next++];
            std::copy(line.begin(), line.end(), data);
            len = static_cast<int>(line.size());
            return 0;
          },
          nullptr, nullptr, "") != 0)
    __builtin_trap();
  acOptionsOff(cvt, coDoubleWidth | coHalfHeight | coCenterImage | coYield);
  acSetMargins(cvt, 0, 0);
  acSetResolutionMode(cvt, fine ? 1 : 0);
  acSetResolutionWidth(cvt, widest * 8 == WideWidth ? 2 : 1);
  if (acConvertToFile(cvt, file + ".lines", file) != 0) __builtin_trap();
  acDoneFaxConverter(cvt);
}

}  // namespace fuzz
