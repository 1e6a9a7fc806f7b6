// The raw search's answer to the FAT repair's content questions, over the
// registry's shared analyser set (set 1).
#pragma once

#include "foundation/ContentProbes.h"

// Process-wide; the registry is built on the first question, not before.
IFileContentProbes* GetRawContentProbes();
