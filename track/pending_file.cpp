#include "track/pending_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace track {

namespace {

std::string followLinks(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;  // nothing there yet, or a folder on the way is missing
    std::string target = resolved;
    std::free(resolved);
    return target;
}

// The mode a new file gets: the replaced file's, else what the umask allows.
mode_t modeFor(const struct stat* replaced)
{
    if (replaced) return replaced->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::unique_ptr<PendingFile> PendingFile::create(const std::filesystem::path& target, std::string& error)
{
    const std::string path = followLinks(target.string());
    struct stat existing {};
    const bool exists = ::stat(path.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        error = "cannot write " + target.string() + ": it is a folder";
        return nullptr;
    }
    // Renaming over a device or a pipe would replace it rather than write to it.
    if (exists && !S_ISREG(existing.st_mode)) {
        error = "cannot write " + target.string() + ": it is not a regular file";
        return nullptr;
    }
    std::string temporary = path + ".XXXXXX";
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0) {
        error = "cannot write " + target.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    ::fchmod(descriptor, modeFor(exists ? &existing : nullptr));
    std::FILE* stream = ::fdopen(descriptor, "w");
    if (!stream) {
        error = "cannot write " + target.string() + ": " + std::strerror(errno);
        ::close(descriptor);
        ::unlink(temporary.c_str());
        return nullptr;
    }
    return std::unique_ptr<PendingFile>(new PendingFile(stream, std::move(temporary), path));
}

PendingFile::PendingFile(std::FILE* stream, std::string temporary, std::string target)
    : stream_(stream), temporary_(std::move(temporary)), target_(std::move(target))
{
}

PendingFile::~PendingFile()
{
    if (committed_) return;
    if (stream_) std::fclose(stream_);
    ::unlink(temporary_.c_str());
}

bool PendingFile::commit(std::string& error)
{
    errno = 0;
    bool written = std::fflush(stream_) == 0 && !std::ferror(stream_) && ::fsync(::fileno(stream_)) == 0;
    int reason = errno;
    if (std::fclose(stream_) != 0 && written) {
        written = false;
        reason = errno;
    }
    stream_ = nullptr;
    if (written && ::rename(temporary_.c_str(), target_.c_str()) != 0) {
        written = false;
        reason = errno;
    }
    if (!written) {
        error = "cannot write " + target_ + ": " + std::strerror(reason ? reason : EIO);
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace track
