#include "track/pending_file.h"

#include "files/file_beside.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace track {

std::unique_ptr<PendingFile> PendingFile::create(const std::filesystem::path& target, std::string& error)
{
    const std::string path = files::followLinks(target.string());
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
    std::string temporary;
    const int descriptor = files::openBeside(path, exists ? &existing : nullptr, temporary);
    if (descriptor < 0) {
        error = "cannot write " + target.string() + ": " + std::strerror(errno);
        return nullptr;
    }
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
