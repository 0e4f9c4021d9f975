#include "app/SharedState.h"

TCriticalSection SensorDataLock;
TCriticalSection TempTableLock;
TMainWindowFlags MainFlags;
