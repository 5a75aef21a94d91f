#include "files/file_beside.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>

namespace files {

namespace {

mode_t modeFor(const struct stat* replaced)
{
    if (replaced) return replaced->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::string followLinks(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;  // nothing there yet, or a folder on the way is missing
    std::string target = resolved;
    std::free(resolved);
    return target;
}

int openBeside(const std::string& path, const struct stat* replaced, std::string& temporary)
{
    temporary = path + ".XXXXXX";
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor >= 0) ::fchmod(descriptor, modeFor(replaced));
    return descriptor;
}

}  // namespace files
