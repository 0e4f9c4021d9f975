// Fuzz target: the B+ engine against arbitrary bytes from the host. The host leads: its ENQ
// and ESC I are answered and its DLE starts the walk through its "+" and "T" packets, as the
// terminal does; the "T" packet chooses the direction. The option byte chooses what becomes
// of a file that exists.
#include "tests/transfer/protocol_fuzz.h"
#include "transfer/Swbplus.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool inDle = false, escape = false;
  const fuzz::TEngine engine{
      [](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
        const int r = bpInit(P, port, 0);
        if (r == 0) apSetOverwriteOption(*P, o % (wfWriteResume + 1));
        return r;
      },
      bpTransmit, bpPrepareTransmit, bpReceive, bpPrepareReceive,
      [&](TProtocolData& P, TFuzzLine& line, bool& send) {
        for (;;) {
          if (inDle) {
            bool start = false, error = false;
            bpProcessDLE(P, false, start, send, error);
            if (error) inDle = false;
            if (start || !error) return start;
            continue;
          }
          std::uint8_t c = 0;
          if (line.GetChar(c) != 0) return false;
          if (c == bpENQ) {
            bpProcessENQ(P);
          } else if (escape && c == 'I') {
            bpProcessESCI(P, 25, 80);
          } else if (c == bpDLE) {
            std::uint32_t handle = 0;
            inDle = bpPrepareProcessDLE(P, handle) == 0;
          }
          escape = c == bpESC;
        }
      }};
  return fuzz::RunTransfer(data, size, engine);
}
