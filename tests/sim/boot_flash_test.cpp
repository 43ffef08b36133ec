// Firmware updates over the serial line onto the virtual board, with
// stm32flash as the host: a client written elsewhere, used as any owner of
// a USB-serial adapter would use it. The board starts with BOOT0 high and
// its flash in a rom file; what stm32flash writes and verifies is then what
// runs, after its Go and after a reset from that rom file.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "child_processes.h"
#include "files.h"
#include "pseudo_terminal.h"
#include "temp_dir.h"

namespace snt_test {
namespace {

const std::string kStm32flash = "/usr/bin/stm32flash";
const std::string kIdentification = "1.3;VORN";
// The same image with another version in its identification, of the same length.
const std::string kPatchedIdentification = "9.7;VORN";

// The tester's line on a port: 115200 8N1, raw; nothing that arrived
// before is thrown away.
class Terminal {
public:
    explicit Terminal(const std::string &path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC))
    {
        if (fd_ < 0) throw std::runtime_error("cannot open " + path);
        make_raw(fd_);
        termios tio{};
        tcgetattr(fd_, &tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Terminal() { ::close(fd_); }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // What arrives until `text` has come, or two seconds have passed.
    std::string read_until(const std::string &text)
    {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (got.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            char buf[256];
            const ssize_t n = ::read(fd_, buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    // The identification the board answers to `w`.
    std::string identify()
    {
        if (::write(fd_, "w\r", 2) != 2) return "";
        const std::string line = read_until("\r");
        return line.substr(0, line.find('\r'));
    }

private:
    int fd_;
};

std::string patched_image(const TempDir &dir)
{
    std::string bin = read_file(SNT_CHIP_BIN);
    const std::size_t at = bin.find(kIdentification);
    if (at == std::string::npos || bin.find(kIdentification, at + 1) != std::string::npos)
        throw std::runtime_error("the image holds its identification once");
    bin.replace(at, kPatchedIdentification.size(), kPatchedIdentification);
    std::string path = dir / "patched.bin";
    write_file(path, bin);
    return path;
}

// stm32flash writing, verifying and starting `image` on the port. A
// pseudo-terminal has no parity to set (Linux keeps 8 bits without parity
// whatever is asked), so stm32flash is told the pty's format, 8N1; its own
// baud rate stays, and the board takes it from the port's settings.
ProcessResult stm32flash(const std::string &image, const std::string &port)
{
    return run_process({kStm32flash, "-m", "8n1", "-w", image, "-v", "-g", "0x0", port}, "", 120);
}

TEST(BootFlash, Stm32flashWritesAnImageThatRunsAndKeepsTheCrystal)
{
    ASSERT_EQ(access(kStm32flash.c_str(), X_OK), 0) << "stm32flash is installed by scripts/install-deps.sh";
    TempDir dir("snt_boot_flash");
    const std::string rom = dir / "rom.bin", image = patched_image(dir);
    {
        // A tester as it left the factory, whose owner then stored the crystal
        // frequency he counted.
        PtySim board({"--rom", rom, "--image", SNT_CHIP_IMAGE});
        const ProcessResult x = snt({"--port", board.port(), "xtal", "25001234"});
        ASSERT_EQ(x.exit_code, 0) << x.err;
    }
    {
        PtySim board({"--boot0", "--rom", rom});
        const ProcessResult r = stm32flash(image, board.port());
        ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("Device ID    : 0x0444"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Wrote and verified address 0x08001f"), std::string::npos) << r.out;
        // After Go the new image answers on the same line (its banner may
        // have gone out while stm32flash still held the port).
        Terminal t(board.port());
        t.read_until(kPatchedIdentification + "\r");
        EXPECT_EQ(t.identify(), kPatchedIdentification);
    }
    const std::string flashed = read_file(rom);
    ASSERT_EQ(flashed.size(), std::size_t{16} * 1024);
    EXPECT_EQ(flashed.substr(0, read_file(image).size()), read_file(image));
    {
        // A reset with BOOT0 low: the image starts from the rom file and
        // announces the crystal kept in its settings page.
        PtySim board({"--rom", rom});
        Terminal t(board.port());
        const std::string banner = t.read_until(kPatchedIdentification + "\r");
        EXPECT_EQ(banner, "25001234\r" + kPatchedIdentification + "\r");
        EXPECT_EQ(t.identify(), kPatchedIdentification);
    }
}

TEST(BootFlash, BoardFromAnErasedOrGarbledRomStopsCleanly)
{
    // No image, or noise, in flash: the core runs into an address nothing
    // answers or a fault; snt-sim says so in one line and exits 1.
    TempDir dir("snt_boot_erased");
    std::string noise(std::size_t{16} * 1024, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    write_file(dir / "noise.bin", noise);
    for (const std::string &rom : {dir / "missing.bin", dir / "noise.bin"}) {
        const ProcessResult r = snt_sim({"--rom", rom}, "w\r", 30);
        EXPECT_EQ(r.exit_code, 1) << rom << ": " << r.err;
        EXPECT_EQ(r.err.rfind("snt-sim: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
} // namespace snt_test
