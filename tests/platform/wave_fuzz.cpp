// libFuzzer target: the wave reader either returns a consistent result or throws EWaveError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/WavePlayer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    TWaveData w = ParseWave(std::span<const std::uint8_t>(data, size));
    if (w.BlockAlign() == 0 || w.Samples.size() % w.BlockAlign() != 0 || w.Samples.size() > size)
      std::abort();
  } catch (const EWaveError&) {
  }
  return 0;
}
