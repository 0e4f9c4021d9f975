// Fuzz target: the picture readers (BMP, PCX, DCX, TIFF) convert arbitrary bytes into fax
// files. Byte 0: bits 0-1 pick the reader, bit 2 halves the height, bit 3 makes 2048-pixel
// lines, bit 4 doubles and centres small pictures beside a margin as the converter does by
// default; the rest is the file. A picture read as it is (bits 2 and 4 clear), written by the
// unpacker in its own format and read again, gives the same fax pages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fax/Swbmpcvt.h"
#include "fax/Swpcxcvt.h"
#include "fax/Swtifcvt.h"
#include "fax/Swunpimg.h"
#include "serial/Sioexcept.h"
#include "tests/fax/faxlines_fuzz.h"
#include "tests/support/TempDir.h"

namespace {

struct TFormat {
  int (*Init)(TAbsFaxCvt*&);
  void (*Done)(TAbsFaxCvt*&);
  // The unpacker's writer of the format: all pages of a fax file as one picture file.
  int (*Write)(TUnpackFax*, const std::string&, const std::string&);
  const char* Ext;
};

const TFormat Formats[4] = {
    {bcInitBmpConverter, bcDoneBmpConverter, upUnpackFileToBmp, ".bmp"},
    {pcInitPcxConverter, pcDonePcxConverter, upUnpackFileToPcx, ".pcx"},
    {dcInitDcxConverter, dcDoneDcxConverter, upUnpackFileToDcx, ".dcx"},
    {tcInitTiffConverter, tcDoneTiffConverter, upUnpackFileToTiff, ".tif"},
};

int Convert(const TFormat& format, std::uint8_t options, const std::string& in, const std::string& out) {
  TAbsFaxCvt* cvt = nullptr;
  if (format.Init(cvt) != 0) __builtin_trap();
  acOptionsOff(cvt, coYield);
  if (!(options & 16)) {
    acOptionsOff(cvt, coDoubleWidth | coCenterImage);
    acSetMargins(cvt, 0, 0);
  }
  if (options & 4) acOptionsOn(cvt, coHalfHeight);
  if (options & 8) acSetResolutionWidth(cvt, 2);
  const int rc = acConvertToFile(cvt, in, out);
  format.Done(cvt);
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const support::TempDir dir("korvidan-picture-fuzz", support::TmpfsOrTemp());
  // The name has an extension, so that the reader's default extension is not added.
  const std::string in = dir.Write("in.pic", std::vector<std::uint8_t>(data + 1, data + size));
  const std::string fax = dir / "picture.fxf", again = dir / "again.fxf";
  const TFormat& format = Formats[data[0] % 4];
  if (Convert(format, data[0], in, fax) != 0 || (data[0] & 0x14)) return 0;

  fuzz::TLines lines, linesAgain;
  if (fuzz::DecodeLines(fax, 0, lines) != 0) __builtin_trap();
  const std::string picture = dir / (std::string("picture") + format.Ext);
  const int written = format.Write(fuzz::PlainUnpacker(), fax, picture);
  // A picture without rows, and a bitmap too tall for its format, are refused.
  if ((written == ecBadGraphicsFormat && lines.empty()) || (written == ecBmpTooBig && lines.size() >= 32768))
    return 0;
  if (written != 0 || Convert(format, data[0], picture, again) != 0 ||
      fuzz::DecodeLines(again, 0, linesAgain) != 0 || linesAgain != lines)
    __builtin_trap();
  return 0;
}
