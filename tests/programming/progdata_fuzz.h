#pragma once
// One transfer of the programming data against the bytes of the controller, for the fuzz
// targets of the controller's replies: byte 0 chooses the firmware version (bit 0: 2.19, whose
// floats travel byte-reversed, else 2.16) and the size of the pieces in which the bytes arrive
// (the other bits: 1 to 16 bytes, times 1 to 128, so that a dump of 7 KB does not always come a
// byte at a time). After the bytes the transfer's retry timers tick, and the line's time passes
// with them, until it has ended; one that goes on for ever is a fault. Then Ended gets the
// transfer object.
#include <functional>

#include "programming/ProgDataTransfer.h"
#include "tests/link/bus_fuzz.h"

namespace fuzz {

inline void RunProgTransfer(const std::uint8_t* data, std::size_t size,
                            const std::function<bool(TProgData&)>& start,
                            const std::function<TTransferResult(const TProgData&)>& result,
                            const std::function<void(TProgData&)>& ended = nullptr) {
  if (size < 1) return;
  TBusBench& bench = Bench();
  TProgData prog;
  bool timers[3] = {};
  prog.Hooks.DriveTimer = [&](int timer, bool on) { timers[timer] = on; };
  prog.Hooks.FirmwareVersion = [version = data[0] & 1 ? 219 : 216] { return version; };
  prog.Attach(*bench.Bus, bench.State);
  if (!start(prog)) return;
  const unsigned piece = data[0] >> 1;
  bench.Play(data + 1, size - 1, (1 + (piece & 15)) << (piece >> 4));
  for (int tick = 0; result(prog) == TTransferResult::Running; ++tick) {
    if (tick > 100) __builtin_trap();
    for (int timer = 0; timer < 3; ++timer)
      if (timers[timer]) prog.TimerTick(timer);
    // The tick's time passes on the line too: the bus module's reply time-out comes.
    bench.Line->Pass(ProgTransfer::RetryIntervalMs);
    ProcessMessages();
  }
  if (ended) ended(prog);
}

}  // namespace fuzz
