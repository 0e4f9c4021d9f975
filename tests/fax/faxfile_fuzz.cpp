// Fuzz target: the fax file reader walks every page and every line record of arbitrary bytes,
// from memory and from the file. Both readings agree, and a page extracted into a file of its
// own reads back as it was: same file header (one page, first page at 64), same page header,
// same records up to the same end; a page whose data the file does not hold is not extracted.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fax/SioFaxCvt.h"
#include "fax/Swfaxfmt.h"
#include "tests/support/TempDir.h"

namespace {

struct TPage {
  int Seek = 0;
  std::vector<std::uint8_t> Header;                // as stored
  std::vector<std::vector<std::uint8_t>> Records;  // the line records, or the data in blocks
  int End = 0;                                     // what ended the data: 1 or 0 at its end, else the error
  bool operator==(const TPage&) const = default;
};

TPage ReadPage(TFaxFileReader& reader, unsigned page) {
  static std::uint8_t buffer[MaxLineRecordLen];
  TPage p;
  p.Seek = reader.SeekPage(page);
  if (p.Seek < 0) return p;
  p.Header.resize(PageHeaderSize);
  reader.PageHeader().Store(p.Header.data());
  int len = 0;
  if (reader.PageHeader().PageFlags & pfLineLengths) {
    while ((p.End = reader.ReadLineRecord(buffer, len)) == 0) p.Records.emplace_back(buffer, buffer + len);
  } else {
    while ((p.End = reader.ReadPageData(buffer, sizeof buffer, len)) == 0 && len > 0)
      p.Records.emplace_back(buffer, buffer + len);
  }
  return p;
}

// Whether all of the page's data are in the file.
bool DataComplete(TFaxFileReader& reader, unsigned page) {
  static std::uint8_t buffer[65536];
  if (reader.SeekPage(page) < 0) return false;
  int rc = 0, len = 0;
  while ((rc = reader.ReadPageData(buffer, sizeof buffer, len)) == 0 && len > 0) {
  }
  return rc == 0;
}

std::vector<std::uint8_t> StoredHeader(TFaxHeaderRec header) {
  std::vector<std::uint8_t> raw(FaxHeaderSize);
  header.Store(raw.data());
  return raw;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const support::TempDir dir("korvidan-faxfile-fuzz", support::TmpfsOrTemp());
  const std::string in = dir.Write("in.fxf", std::vector<std::uint8_t>(data, data + size));
  const std::string out = dir / "page.fxf";
  TFaxFileReader memory, file;
  const int opened = memory.OpenMemory(std::span<const std::uint8_t>(data, size));
  if (file.Open(in) != opened) __builtin_trap();
  if (opened < 0) return 0;
  if (StoredHeader(memory.Header()) != StoredHeader(file.Header())) __builtin_trap();

  TFaxHeaderRec single = memory.Header();
  single.PageCount = 1;
  single.FirstPageOffset = DefFirstPageOffset;
  for (unsigned p = 1; p <= memory.Header().PageCount && p <= 64; ++p) {
    const TPage page = ReadPage(memory, p);
    if (ReadPage(file, p) != page) __builtin_trap();
    TFaxFileReader whole;
    if (whole.Open(in) != 0) __builtin_trap();
    const bool complete = DataComplete(whole, p);
    const int rc = upExtractPage(in, out, p);
    if ((rc == 0) != complete) __builtin_trap();
    if (rc != 0) continue;
    TFaxFileReader extracted;
    if (extracted.Open(out) != 0 || StoredHeader(extracted.Header()) != StoredHeader(single) ||
        ReadPage(extracted, 1) != page)
      __builtin_trap();
  }
  return 0;
}
