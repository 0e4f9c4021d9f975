// Fuzz target: loading a programming-data file of arbitrary bytes. A file that is taken is
// exactly what the image and the socket table then hold; one that is refused changes nothing.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "programming/ProgDataTransfer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static TProgData* prog = [] {
    LinkHooks().MessageBox = [](const std::string&, const std::string&, TBoxKind) {};
    return new TProgData;
  }();
  const int fd = memfd_create("prg", 0);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != static_cast<ssize_t>(size)) {
    close(fd);
    return 0;
  }
  ProgrammingImage.Bytes.fill(0x55);
  const TProgrammingImage before = ProgrammingImage;
  if (prog->LoadFromFile("/proc/self/fd/" + std::to_string(fd))) {
    using namespace ProgTransfer;
    if (size < FileSize || !ProgrammingImage.HasEndMarker() ||
        std::memcmp(ProgrammingImage.Bytes.data(), data + FileImageOffset, ProgLayout::ImageSize) != 0 ||
        std::memcmp(SocketTable.Bytes.data(), data + FileSocketOffset, ProgLayout::SocketTableSize) != 0)
      __builtin_trap();
  } else if (ProgrammingImage.Bytes != before.Bytes) {
    __builtin_trap();
  }
  close(fd);
  return 0;
}
