// Fuzz target: the firmware version query from its request to the evaluation of the reply;
// the bytes are what the controller sends after the request. Byte 0 is the size of the pieces
// in which they arrive (1 to 256 bytes); then the retry timer ticks until the query has ended.
// The version is the one the text from the first "korvidan" on says, however the pieces cut
// it; without the marker the query keeps the version it had.
#include <string>

#include "link/KorvidanVersion.h"
#include "tests/link/bus_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  fuzz::TBusBench& bench = fuzz::Bench();
  static TTKorvidanVersion query(*bench.Bus, bench.State);
  const std::string reply(data + 1, data + size);
  int expected = query.GetFirmwareVersion();
  if (const std::size_t marker = reply.find(MarkerVersion);
      marker != std::string::npos &&
      !TTKorvidanVersion::ConvertVersion(TTKorvidanVersion::VersionText(reply.substr(marker)), expected))
    expected = SupportedFirmwareVersion;
  if (!query.StartQuery()) std::abort();
  bench.Play(data + 1, size - 1, 1 + data[0]);
  for (int tick = 0; query.TimerEnabled(); ++tick) {
    if (tick > VersionRetryLimit) __builtin_trap();
    query.GetVersionTimerTimer();
  }
  if (query.GetFirmwareVersion() != expected) __builtin_trap();
  return 0;
}
