// Fuzz target: a read of the programming data from its request to the parse of the dump; the
// bytes are what the controller sends after the request. A dump that is taken gives an image
// with its end marker.
#include "tests/programming/progdata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::RunProgTransfer(
      data, size, [](TProgData& prog) { return prog.ReadProgrammingData(); },
      [](const TProgData& prog) {
        if (prog.ReadResult() == TTransferResult::Ok && !ProgrammingImage.HasEndMarker()) __builtin_trap();
        return prog.ReadResult();
      });
  return 0;
}
