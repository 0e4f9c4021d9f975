// Fuzz target: the B+ engine against arbitrary bytes from the host. The host leads: its ENQ
// and ESC I are answered and its DLE starts the walk through its "+" and "T" packets, as the
// terminal does; the "T" packet chooses the direction. The option byte chooses what becomes
// of a file that exists. A download comes to the same whatever pieces the host's bytes come
// in: the same answers on the line, the same file, the same finish and log.
#include "tests/transfer/bplus_start.h"
#include "tests/transfer/protocol_fuzz.h"

namespace {

fuzz::TOutcome Run(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  fuzz::TBPlusStart start;
  const fuzz::TEngine engine{
      [](TProtocolData*& P, TSioCustomComPort* port, std::uint8_t o) {
        const int r = bpInit(P, port, 0);
        if (r == 0) apSetOverwriteOption(*P, o % (wfWriteResume + 1));
        return r;
      },
      bpTransmit,
      bpPrepareTransmit,
      bpReceive,
      bpPrepareReceive,
      [&](TProtocolData& P, TFuzzLine& line, bool& send) { return start.Take(P, line, send); }};
  return fuzz::RunAgainstBytes(data, size, engine, piece);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const fuzz::TOutcome pieces = Run(data, size, 0);
  if (pieces.Started && !pieces.Send && Run(data, size, size) != pieces) __builtin_trap();
  return 0;
}
