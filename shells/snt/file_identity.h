// Which file a path leads to, so that two names of one file (a symbolic
// link, "./x" and "x", a hard link) are known to be the same before
// anything is written.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace snt {

class FileIdentity {
public:
    // The regular file `path` names after symbolic links, or, when nothing
    // is there yet, the name in its (resolved) folder that writing would
    // create. nullopt for devices, pipes, folders and paths that cannot be
    // resolved: writing to those cannot replace a file.
    static std::optional<FileIdentity> of(const std::string &path);
    // The regular file open on `fd` (standard output sent to a file).
    static std::optional<FileIdentity> of_descriptor(int fd);

    bool operator==(const FileIdentity &o) const
    {
        return exists_ == o.exists_ && device_ == o.device_ && inode_ == o.inode_ && name_ == o.name_;
    }
    bool operator!=(const FileIdentity &o) const { return !(*this == o); }

private:
    bool exists_ = false;
    dev_t device_ = 0; // of the file, or of the folder it would be made in
    ino_t inode_ = 0;
    std::string name_; // the name in that folder, when the file does not exist yet
};

} // namespace snt
