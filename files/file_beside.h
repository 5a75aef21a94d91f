#pragma once

// Files replaced whole: written beside their target and renamed into place, so
// a write that fails halfway leaves the earlier file as it was.

#include <sys/stat.h>

#include <string>

namespace files {

// The file `path` names with its links followed, so the file is replaced and
// not the link; the path itself when nothing is there yet.
std::string followLinks(const std::string& path);

// Opens a new file beside `path` (`path`.XXXXXX, named in `temporary`) with the
// mode of the file it is to replace (`replaced`), or what the umask allows when
// there is none: its descriptor, or −1 with errno set.
int openBeside(const std::string& path, const struct stat* replaced, std::string& temporary);

}  // namespace files
