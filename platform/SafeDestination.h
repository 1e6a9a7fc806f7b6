// Writing recovered files under a chosen folder and nowhere else.
//
// Everything below the folder is opened relative to the folder's descriptor,
// one component at a time and never through a symbolic link, so that a link
// planted inside the folder (or a name from disk such as "..") cannot send a
// file elsewhere. Files are only ever created new: a name that is taken gets
// a numbered variant, as "name (1).ext", and nothing existing is replaced.
#pragma once

#include <string>
#include <vector>

namespace safe_destination {

// "name (N).ext" for N >= 1: the number goes before the last extension; a
// name whose only dot leads it (".bashrc") has no extension.
std::string NumberedName(const std::string& name, int n);

// A name from disk as one path component: never empty, "." or "..", and
// without "/" (replaced by "_").
std::string SafeComponent(const std::string& name);

// Opens the folder `components` (each one a single component) beneath the
// folder `rootFd`, creating the missing ones (mode 0755) when `create` is
// set. A component that is a symbolic link, or not a folder, fails the whole
// path. The new descriptor (O_DIRECTORY, close-on-exec), or -1 with errno.
int OpenFolderBeneath(int rootFd, const std::vector<std::string>& components, bool create);

// Creates a new regular file for writing in the folder `dirFd`: `name`, or
// when that is taken the first free "name (N).ext". Never follows a link and
// never opens an existing file. The descriptor and the name used in
// `chosen`, or -1 with errno.
int CreateNewFile(int dirFd, const std::string& name, std::string& chosen);

// Renames `from` in the folder `dirFd` to `to`, or to its first free
// numbered variant, never replacing an existing entry. False with errno.
bool RenameToFreeName(int dirFd, const std::string& from, const std::string& to, std::string& chosen);

}  // namespace safe_destination
