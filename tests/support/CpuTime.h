#pragma once
// The CPU time this process has used so far, all its threads together: a wait that spins
// shows here while the wall clock alone cannot tell it from one that sleeps.
#include <time.h>

namespace support {

inline double ProcessCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace support
