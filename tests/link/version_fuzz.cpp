// Fuzz target: the firmware version query from its request to the evaluation of the reply;
// the bytes are what the controller sends after the request. Byte 0 is the size of the pieces
// in which they arrive (1 to 256 bytes); then the retry timer ticks until the query has ended.
#include "link/KorvidanVersion.h"
#include "tests/link/bus_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  fuzz::TBusBench& bench = fuzz::Bench();
  static TTKorvidanVersion query(*bench.Bus, bench.State);
  if (!query.StartQuery()) std::abort();
  bench.Play(data + 1, size - 1, 1 + data[0]);
  for (int tick = 0; query.TimerEnabled(); ++tick) {
    if (tick > VersionRetryLimit) __builtin_trap();
    query.GetVersionTimerTimer();
  }
  // The version is what the reply said, or the supported one when it said nothing usable.
  if (query.GetFirmwareVersion() < 0) __builtin_trap();
  return 0;
}
