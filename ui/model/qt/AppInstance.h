#pragma once
// One Quillory per user: a lock file in the user's runtime folder, held for
// the life of the process. A lock left by a process that died is stale and
// taken over; a process that merely has a similar name never counts.

#include <QString>

// True when another process holds the lock at `lockPath`; otherwise this
// process takes it (once per path) and keeps it until it exits.
bool IsAppRunningAt(const QString& lockPath);
// <runtime folder>/quillory.lock
QString AppInstanceLockPath();
