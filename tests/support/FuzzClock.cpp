// The library's pauses in a fuzz target (every target is linked with --wrap for DelayMS): the
// library's clock moves on at once instead of the thread sleeping, and the fuzz line goes on
// as its dispatch thread would (tests/support/FuzzLine.h). A run thus costs no waiting, and
// the time-outs of the machine under test still come in their order.
#include <cstdint>

#include "serial/SioMisc.h"
#include "tests/support/FuzzLine.h"

extern "C" std::uint32_t __wrap__Z7DelayMSj(std::uint32_t ms) {
  if (TFuzzLine* line = TFuzzLine::Pausing())
    line->Pause(ms);
  else
    SioSetClockOffset(SioClockOffset() + ms);
  return ms;
}
