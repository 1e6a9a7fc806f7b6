// The file writer is not written yet: no writer means nothing can be
// recovered, and the controllers answer null.
#include "recovery/RecoveryController.h"

IDataRecovery* CreateDataRecoveryObj() { return nullptr; }
