#pragma once
// Devices the process may not open itself. A desktop user is usually not
// allowed to read whole disks; the front end can then obtain a read-only
// descriptor from the system (over D-Bus, where the user may be asked for a
// password) and registers here how. With nothing registered a refused open
// stays refused.

#include <functional>
#include <string>

// Given the device path after the plain open was refused (EACCES or EPERM),
// returns a read-only descriptor that the caller then owns, or -1. Called on
// whichever thread opens the device.
using DeviceOpenFallback = std::function<int(const std::string& path)>;

// Replaces the fallback; an empty function removes it.
void SetDeviceOpenFallback(DeviceOpenFallback fallback);
// The fallback's descriptor, or -1 when there is none or it fails.
int OpenThroughFallback(const std::string& path);

// Test seam: the plain open of a path this accepts fails as for a user
// without rights (EACCES). A test running as root has no other way to meet
// a refused open. An empty function restores the plain open.
void SetPlainOpenRefusalForTest(std::function<bool(const std::string& path)> refuse);
bool PlainOpenRefusedForTest(const std::string& path);
