// The settings page kept in a file, byte for byte as on the chip
// (`snt-sim --flash FILE`): the flash model's store. A missing file is an
// erased page, and the file appears with the first erase or program. Every
// change replaces the file as a whole by a new one written beside it (where
// any symbolic link leads), with the mode and owner it had, so stopping the
// process at any point leaves in the file either the old page or the new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "board/peripherals/flash_store.h"

namespace sim {

// A page file that cannot be used (wrong size, unreadable, unwritable).
class PageFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PageFile final : public FlashStore {
public:
    // Throws PageFileError, with the reason, when the page in `path` could
    // not be kept there: it exists but is not a regular file of exactly one
    // page, is read-only (no write permission bit, or not writable by us),
    // or its folder (the one any symbolic link leads to) takes no new file.
    // Reads nothing and writes nothing.
    static void check(const std::string &path);

    // Checks the file as check() does (PageFileError, and the file is left
    // alone); reads nothing yet.
    explicit PageFile(std::string path);

    const std::string &path() const { return path_; }

    // FlashStore, for the settings page (1024 bytes): PageFileError when the
    // file cannot be read as one page, or not be replaced.
    bool load(std::uint8_t *bytes, std::size_t size) override;
    void store(const std::uint8_t *bytes, std::size_t size) override;

private:
    std::string path_;
    std::string real_path_;      // where path_'s symbolic links lead
    unsigned new_file_mode_ = 0; // 0666 less the umask, for a page file made new
};

} // namespace sim
