// Everything snt writes: standard output, and the files of a sweep, each
// prepared before the first command goes to the device and put in place
// whole or not at all.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace snt {

// Writes all of `bytes` to `fd`, waiting (and watching for Ctrl-C) while
// it cannot take more. Throws std::runtime_error "cannot write NAME:
// reason" when the system refuses.
void write_all(int fd, std::string_view bytes, const std::string &name);

// Standard output, unbuffered, every write checked.
void print(std::string_view text);
// Throws InputError unless standard output is open for writing.
void check_standard_output();

// One output file of a sweep. The constructor checks that the path can be
// written and reserves a temporary file for it: next to the file it leads
// to (after symbolic links), or, for a device or a pipe, in $TMPDIR. The
// content goes to the temporary file; commit() then renames it over the
// real file, keeping that file's mode, or copies it into the device or
// pipe. Until then the file is untouched, and a failed or abandoned output
// leaves it as it was and no temporary behind.
class OutputFile {
public:
    // `option` (--csv, --plot, ...) names the file in messages. Throws
    // InputError with the system's reason when the path cannot be written.
    OutputFile(std::string option, std::string path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    const std::string &option() const { return option_; }
    const std::string &path() const { return path_; }
    // Appends to the temporary file.
    void write(std::string_view bytes);
    // Puts the content in place. Throws std::runtime_error with the reason;
    // the file is then as it was before.
    void commit();

private:
    std::string describe() const;
    [[noreturn]] void fail(const std::string &what) const;

    std::string option_, path_;
    std::string target_;              // the real file (regular) or the path (device, pipe)
    bool replace_ = true;             // regular file: rename; otherwise copy into it
    std::optional<mode_t> keep_mode_; // of the file being replaced
    std::string scratch_;
    int fd_ = -1;
    bool committed_ = false;
};

} // namespace snt
