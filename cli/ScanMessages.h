// What quillory-scan checks before it lets the engine near a path, and the
// words it gives for the engine's result codes.
#pragma once

#include <string>

#include "foundation/EngineResult.h"

// Why SOURCE cannot be scanned, in words (without the program's name); empty
// when it is a readable regular file or block device of at least one sector.
// Never blocks: the type is known from stat before anything is opened, and
// the open that checks permission does not wait for a FIFO's writer.
std::string RefuseSource(const std::string& source);

// Makes DIR, with its parents, when it is missing (as tsk_recover does).
// Empty when DIR is a folder afterwards; otherwise why not, in words.
std::string PrepareRecoveryFolder(const std::string& dir);

// An engine result code in words, the code itself in parentheses.
std::string DescribeResult(EngineResult result);
