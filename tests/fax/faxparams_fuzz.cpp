// Fuzz target: Class 2 and Class 2.0 sessions, sending and receiving, against arbitrary bytes
// from the modem: its reply lines with the +F session parameters, station identities, page
// status and hang-up codes, and the page data of a received page. Bit 7 of byte 0 chooses
// Class 2.0.
#include "tests/fax/fax_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzz::TFaxBench bench;
  if (size > 0) bench.Run(data, size, data[0] & 0x80 ? ctClass2_0 : ctClass2);
  return 0;
}
