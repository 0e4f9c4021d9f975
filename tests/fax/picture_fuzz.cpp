// Fuzz target: the picture readers (BMP, PCX, DCX, TIFF) convert arbitrary bytes; the
// first byte picks the reader, the rest is the file.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fax/Swbmpcvt.h"
#include "fax/Swpcxcvt.h"
#include "fax/Swtifcvt.h"

namespace {
int Discard(TAbsFaxCvt*, const std::uint8_t*, int, bool, bool) { return 0; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // One file per process, rewritten for every input; its name has an extension, so that
  // the reader's default extension is not added.
  static const std::string name = "/tmp/korvidan_picture_fuzz_" + std::to_string(getpid()) + ".pic";
  const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  const bool written = size < 2 || write(fd, data + 1, size - 1) == static_cast<ssize_t>(size - 1);
  close(fd);
  if (!written) return 0;
  TAbsFaxCvt* cvt = nullptr;
  const int kind = data[0] % 4;
  const int rc = kind == 0   ? bcInitBmpConverter(cvt)
                 : kind == 1 ? pcInitPcxConverter(cvt)
                 : kind == 2 ? dcInitDcxConverter(cvt)
                             : tcInitTiffConverter(cvt);
  if (rc == 0) {
    acOptionsOff(cvt, coYield);
    if (data[0] & 4) acOptionsOn(cvt, coHalfHeight);
    if (data[0] & 8) acSetResolutionWidth(cvt, 2);
    acConvert(cvt, name, Discard);
    switch (kind) {
      case 0:
        bcDoneBmpConverter(cvt);
        break;
      case 1:
        pcDonePcxConverter(cvt);
        break;
      case 2:
        dcDoneDcxConverter(cvt);
        break;
      default:
        tcDoneTiffConverter(cvt);
        break;
    }
  }
  return 0;
}
