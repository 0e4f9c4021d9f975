#include "app/SharedState.h"

TCriticalSection TempTableLock;
TMainWindowFlags MainFlags;
