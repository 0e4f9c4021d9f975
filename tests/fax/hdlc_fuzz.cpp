// Fuzz target: Class 1 sessions, sending and receiving, against arbitrary bytes from the
// modem: its reply lines and the HDLC frames (DLE-stuffed, ended by DLE ETX) that follow its
// CONNECTs, and the page data of a received page.
#include "tests/fax/fax_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::TFaxBench bench;
  bench.Run(data, size, ctClass1);
  return 0;
}
