// Fuzz target: the controller's checksum reply at the end of a programming write; the bytes
// are what the controller sends once the blocks are out. Byte 0 is the checksum that was sent,
// the rest as for every transfer of the programming data.
#include "tests/programming/progdata_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  fuzz::RunProgTransfer(
      data + 1, size - 1,
      [sum = data[0]](TProgData& prog) {
        // Where the write stands when its last pair has gone out.
        prog.FChecksum = sum;
        prog.FWaitingChecksum = true;
        prog.FTriggerHandle = fuzz::Bench().Bus->ArmMarker(MarkerCheckSum);
        return true;
      },
      [](const TProgData&) { return TTransferResult::None; });
  return 0;
}
