// Fuzz target: the Kermit engine (packets, their parameters, prefixes, long packets and
// windows) against arbitrary bytes from the other side, or against our own other side on a
// line that loses and delays packets (tests/transfer/protocol_fuzz.h). The option byte chooses
// the check (bits 0-1), long packets (bit 2) and sliding windows (bits 3-5).
#include "tests/transfer/protocol_fuzz.h"
#include "transfer/Swkermit.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fuzz::TEngine engine{
      [](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
        static const TBlockCheckMethod checks[4] = {bcmChecksum, bcmChecksum2, bcmCrcK, bcmChecksum};
        const int r = kpInit(P, port, 0);
        if (r != 0) return r;
        kpSetKermitCheck(*P, checks[o & 3]);
        kpSetMaxLongPacketLen(*P, o & 4 ? kpMaxData : 0);
        return kpSetMaxWindows(*P, (o >> 3) & 7);
      },
      kpTransmit, kpPrepareTransmit, kpReceive, kpPrepareReceive, nullptr};
  return fuzz::RunTransfer(data, size, engine);
}
