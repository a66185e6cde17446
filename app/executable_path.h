// Where the running executable lives, as bytes.
//
// The library's path search ignores the directory part of the name it is
// given, and its text conversions drop bytes they cannot decode, so the name
// is searched in "PATH" only when it is bare, and the kernel's own record of
// the running file (/proc/self/exe) stands in whenever the name does not lead
// to an existing file.
#pragma once

#include <string>

// The absolute, normalised path of the executable that was started as
// `startName` (argv[0], possibly empty). "~", environment variables, "." and
// ".." are expanded; symbolic links are kept as they were named. Empty only
// when even /proc/self/exe cannot be read.
std::string FindExecutablePath(const std::string& startName);

// The directory part of `path`, without a trailing '/' ("/" for a file in the
// root, empty when `path` has no directory part).
std::string DirectoryOf(const std::string& path);
