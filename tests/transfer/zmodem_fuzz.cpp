// Fuzz target: the ZModem engine (headers, data subpackets, repositioning) against arbitrary
// bytes from the other side, or against our own other side on a line that loses and delays
// packets (tests/transfer/protocol_fuzz.h). Option bits: 1 recovery (resume), 2 8K subpackets, 4 file
// management options from the sender overridden.
#include "tests/transfer/protocol_fuzz.h"
#include "transfer/Swzmodem.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fuzz::TEngine engine{
      [](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
        const int r = zpInit(P, port, 0);
        if (r != 0) return r;
        zpSetRecoverOption(*P, o & 1);
        zpSetBigSubpacketOption(*P, o & 2);
        return zpSetFileMgmtOptions(*P, o & 4, false, static_cast<std::uint8_t>((o >> 3) & 7));
      },
      zpTransmit, zpPrepareTransmit, zpReceive, zpPrepareReceive, nullptr};
  return fuzz::RunTransfer(data, size, engine);
}
