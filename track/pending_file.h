#pragma once

// A file written beside its target and put in its place only once it is whole:
// a run that fails or stops halfway leaves the earlier file as it was. A link
// at the target is followed, so the file it names is replaced, not the link.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace track {

class PendingFile {
public:
    // Null with `error` ("cannot write FILE: reason") when the target cannot be written:
    // a folder or a device stands there, or its folder refuses a new file.
    static std::unique_ptr<PendingFile> create(const std::filesystem::path& target, std::string& error);
    // Removes the unfinished file unless commit() succeeded.
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Where to write; owned by this object until commit().
    std::FILE* stream() const { return stream_; }
    // Flushes, syncs and renames into place; false with `error` when any step fails.
    bool commit(std::string& error);

private:
    PendingFile(std::FILE* stream, std::string temporary, std::string target);

    std::FILE* stream_;
    std::string temporary_;
    std::string target_;
    bool committed_ = false;
};

}  // namespace track
