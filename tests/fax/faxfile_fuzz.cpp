// Fuzz target: the fax file reader walks every page and every line record of arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fax/Swfaxfmt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TFaxFileReader reader;
  if (reader.OpenMemory(std::span<const std::uint8_t>(data, size)) < 0) return 0;
  static std::uint8_t line[MaxLineRecordLen];
  unsigned pages = reader.Header().PageCount;
  for (unsigned p = 1; p <= pages && p <= 64; ++p) {
    if (reader.SeekPage(p) < 0) break;
    int len = 0;
    if (reader.PageHeader().PageFlags & pfLineLengths) {
      while (reader.ReadLineRecord(line, len) == 0) {
      }
    } else {
      while (reader.ReadPageData(line, sizeof line, len) == 0 && len > 0) {
      }
    }
  }
  return 0;
}
