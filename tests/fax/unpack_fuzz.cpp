// Fuzz target: the unpacker decodes every page of arbitrary bytes, line by line, into a
// bitmap and scaled. Each page it decodes, encoded again by the converter into a fax file of
// its own, decodes to the same lines (a line narrower than the page's widest comes back
// widened with white).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fax/faxlines_fuzz.h"
#include "tests/support/TempDir.h"

namespace {

int Discard(TUnpackFax*, std::uint16_t, const std::uint8_t* data, int len, int) {
  volatile std::uint8_t sink = 0;
  for (int i = 0; i < len; ++i) sink = static_cast<std::uint8_t>(sink ^ data[i]);
  return 0;
}

void CheckRoundTrip(const std::string& file, unsigned page, const std::string& again) {
  fuzz::TLines lines, decoded;
  std::uint16_t flags = 0;
  if (fuzz::DecodeLines(file, page, lines, &flags) != 0) return;
  fuzz::EncodeLines(lines, flags & pfHighResolution, again);
  if (fuzz::DecodeLines(again, 1, decoded) != 0 || decoded.size() != lines.size()) __builtin_trap();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::vector<std::uint8_t> line = lines[i];
    line.resize(decoded[i].size());
    if (decoded[i].size() < lines[i].size() || line != decoded[i]) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const support::TempDir dir("korvidan-unpack-fuzz", support::TmpfsOrTemp());
  // One unpacker for the process (its decode trees cost more than a page), set up anew.
  static TUnpackFax* up = [] {
    TUnpackFax* u = nullptr;
    if (upInitFaxUnpacker(u, nullptr, Discard) != 0) __builtin_trap();
    return u;
  }();
  const std::string name = dir.Write("in.fxf", std::vector<std::uint8_t>(data, data + size));
  up->Flags = DefUnpackOptions;
  up->FaxHeader = TFaxHeaderRec{};
  upOptionsOff(up, ufYield);
  upSetScaling(up, 1, 1, 1, 1);
  upSetWhitespaceCompression(up, 4, 1);
  upUnpackFile(up, name);
  upOptionsOn(up, ufHalfWidth);
  TMemoryBitmapDesc desc;
  upUnpackPageToBitmap(up, name, 1, true, desc);
  upSetScaling(up, 2, 3, 3, 2);
  upUnpackPage(up, name, 2);
  for (unsigned p = 1; p <= up->FaxHeader.PageCount && p <= 4; ++p)
    CheckRoundTrip(name, p, dir / "again.fxf");
  return 0;
}
