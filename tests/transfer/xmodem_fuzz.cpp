// Fuzz target: the XModem engine against arbitrary bytes from the other side, or against our
// own other side on a line that loses and delays packets (tests/transfer/protocol_fuzz.h).
// Option bits: 1 CRC, 2 1K blocks, 4 G (streaming).
#include "tests/transfer/protocol_fuzz.h"
#include "transfer/Swxmodem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fuzz::TEngine engine{
      [](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
        return xpInit(P, port, o & 1, o & 2, o & 4, 0);
      },
      xpTransmit, xpPrepareTransmit, xpReceive, xpPrepareReceive, nullptr};
  // G streams; a reply held back beyond the 5 s block wait passes for a later one.
  return fuzz::RunTransfer(data, size, engine, {.Streaming = 4, .LongestHoldMs = 4000});
}
