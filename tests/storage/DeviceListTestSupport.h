#pragma once
// Moved to tests/support, where the UI model's tests share it.
#include "support/DeviceListTestSupport.h"
