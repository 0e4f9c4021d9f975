#pragma once
// Process-wide state of the application that the main window, the modules and the
// acquisition thread share.
#include <atomic>

#include "platform/Threads.h"

// Guards the values, types, oxygen modes and limits of every sensor.
extern TCriticalSection SensorDataLock;
// Guards the temporary tables: the store of current values and the merge. Re-entrant: the
// store still holds it when it calls the merge. Never held together with SensorDataLock.
extern TCriticalSection TempTableLock;

// Run-time flags of the main window that other modules and threads read and write.
struct TMainWindowFlags {
  std::atomic<bool> FDataCollecting{false};  // acquisition thread running
  std::atomic<bool> FTempDataMerged{true};   // no temporary rows wait to be merged
  std::atomic<bool> FDataReceived{false};    // a controller answered since start
  std::atomic<bool> FFaxSent{false};         // the alarm fax went out in this run
  std::atomic<bool> FFaxError{false};        // the last fax ended with an error
  std::atomic<int> FIntervalSeconds{900};    // acquisition interval in seconds
};
extern TMainWindowFlags MainFlags;
