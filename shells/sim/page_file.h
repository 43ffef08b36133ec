// Flash kept in a file, byte for byte as on the chip: the settings page
// (`snt-sim --flash FILE`, 1 KB) or the whole program flash (`--rom FILE`,
// 16 KB: the image and the settings page). The flash model's store. A
// missing file is erased flash, and the file appears with the first erase or
// program. Every change replaces the file as a whole by a new one written
// beside it (where any symbolic link leads), with the mode and owner it had,
// so stopping the process at any point leaves in the file either the old
// content or the new.
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

// What a file holds: its size, and what messages call it.
struct FlashFileKind {
    std::size_t size;
    const char *what;
};
inline constexpr FlashFileKind kSettingsPageFile{1024, "settings page file"};
inline constexpr FlashFileKind kRomFile{std::size_t{16} * 1024, "rom file"};

class PageFile final : public FlashStore {
public:
    // Throws PageFileError, with the reason, when the flash in `path` could
    // not be kept there: it exists but is not a regular file of exactly the
    // kind's size, is read-only (no write permission bit, or not writable
    // by us), or its folder (the one any symbolic link leads to) takes no
    // new file. Reads nothing and writes nothing.
    static void check(const std::string &path, FlashFileKind kind = kSettingsPageFile);

    // Checks the file as check() does (PageFileError, and the file is left
    // alone); reads nothing yet.
    explicit PageFile(std::string path, FlashFileKind kind = kSettingsPageFile);

    const std::string &path() const { return path_; }

    // FlashStore, for the kind's size: PageFileError when the file cannot
    // be read as that, or not be replaced.
    bool load(std::uint8_t *bytes, std::size_t size) override;
    void store(const std::uint8_t *bytes, std::size_t size) override;

private:
    FlashFileKind kind_;
    std::string path_;
    std::string real_path_;      // where path_'s symbolic links lead
    unsigned new_file_mode_ = 0; // 0666 less the umask, for a page file made new
};

} // namespace sim
