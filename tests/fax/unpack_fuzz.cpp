// Fuzz target: the unpacker decodes every page of arbitrary bytes, line by line, into a
// bitmap and scaled.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fax/Swunpack.h"

namespace {
int Discard(TUnpackFax*, std::uint16_t, const std::uint8_t* data, int len, int) {
  volatile std::uint8_t sink = 0;
  for (int i = 0; i < len; ++i) sink = static_cast<std::uint8_t>(sink ^ data[i]);
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd_create("fxf", 0);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  const std::string name = "/proc/self/fd/" + std::to_string(fd);
  TUnpackFax* up = nullptr;
  if (upInitFaxUnpacker(up, nullptr, Discard) == 0) {
    upOptionsOff(up, ufYield);
    upSetWhitespaceCompression(up, 4, 1);
    upUnpackFile(up, name);
    upOptionsOn(up, ufHalfWidth);
    TMemoryBitmapDesc desc;
    upUnpackPageToBitmap(up, name, 1, true, desc);
    upSetScaling(up, 2, 3, 3, 2);
    upUnpackPage(up, name, 2);
    upDoneFaxUnpacker(up);
  }
  close(fd);
  return 0;
}
