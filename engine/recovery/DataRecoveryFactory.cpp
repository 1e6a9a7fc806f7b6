#include <new>

#include "recovery/DataRecovery.h"

IDataRecovery* CreateDataRecoveryObj() { return new (std::nothrow) CDataRecovery; }
