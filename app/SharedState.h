#pragma once
// Process-wide state of the application that the main window, the modules and the
// acquisition thread share. SensorDataLock comes from the link layer (link/BusShared.h), as
// does TAcquisitionState, which the main window owns and hands to the forms that need it.
#include <atomic>

#include "link/BusShared.h"
#include "platform/Threads.h"

// Guards the temporary tables: the store of current values and the merge. Re-entrant: the
// store still holds it when it calls the merge. Never held together with SensorDataLock.
extern TCriticalSection TempTableLock;

// Further run-time flags of the main window that other modules and threads read and write.
struct TMainWindowFlags {
  std::atomic<bool> FTempDataMerged{true};  // no temporary rows wait to be merged
  std::atomic<bool> FFaxSent{false};        // the alarm fax went out in this run
  std::atomic<bool> FFaxError{false};       // the last fax ended with an error
};
extern TMainWindowFlags MainFlags;
