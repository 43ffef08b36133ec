// snt flash as a user runs it: onto the virtual tester with BOOT0 high,
// which is what a curious user rehearses on, and onto a board on a port
// when the job is stopped half-way.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "child_processes.h"
#include "files.h"
#include "protocol.h"
#include "temp_dir.h"

namespace snt_test {
namespace {

const std::string kImage = SNT_CHIP_DIR "/snt-fw";

long lines(const std::string &s) { return std::count(s.begin(), s.end(), '\n'); }

TEST(SntFlash, RefusesABadImageBeforeAnythingStarts)
{
    TempDir dir("snt_flash_refused");
    write_file(dir / "empty.bin", "");
    write_file(dir / "big.bin", std::string(std::size_t{15} * 1024 + 1, '\x55'));
    write_file(dir / "bad.hex", ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF01\n");
    write_file(dir / "odd.hex", ":0400000001020304F2\n:00000001FF\n");
    const struct {
        std::string file, reason;
    } cases[] = {
        {dir / "empty.bin", "empty"},         {dir / "big.bin", "more than the 15360"},
        {dir / "bad.hex", "checksum"},        {dir / "odd.hex", "0x00000000"}, // loads outside flash
        {built_program("snt"), "32-bit ARM"},                                  // an ELF for another machine
        {dir / "missing.elf", "cannot read"},
    };
    for (const auto &c : cases) {
        const ProcessResult r = snt({"--rom", dir / "rom.bin", "flash", c.file});
        EXPECT_EQ(r.exit_code, 2) << c.file << ": " << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_EQ(r.err.rfind("snt: flash: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_FALSE(exists(dir / "rom.bin")) << "no virtual tester was started for " << c.file;
    }
    const ProcessResult both = snt({"--rom", dir / "rom.bin", "--flash", dir / "page.bin", "flash", kImage + ".bin"});
    EXPECT_EQ(both.exit_code, 2) << both.err;
}

TEST(SntFlash, EachFormatRunsAfterwardsWithTheCrystalKeptUnlessErased)
{
    TempDir dir("snt_flash_formats");
    const std::string rom = dir / "rom.bin";
    ASSERT_EQ(snt({"--rom", rom, "--image", kImage + ".elf", "xtal", "25004321"}).exit_code, 0);
    for (const char *format : {".bin", ".hex", ".elf"}) {
        const ProcessResult r = snt({"--rom", rom, "flash", kImage + format});
        EXPECT_EQ(r.exit_code, 0) << format << ": " << r.err;
        EXPECT_NE(r.out.find("the tester answers " ID_TEXT), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("crystal frequency 25004321 Hz"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("verify: 8108 bytes read back as written"), std::string::npos) << r.err;
    }
    const std::string bin = read_file(kImage + ".bin");
    EXPECT_EQ(read_file(rom).substr(0, bin.size()), bin);

    const ProcessResult erased = snt({"--rom", rom, "flash", "--erase-settings", kImage + ".bin"});
    EXPECT_EQ(erased.exit_code, 0) << erased.err;
    EXPECT_NE(erased.out.find("crystal frequency 25000000 Hz"), std::string::npos) << erased.out;
    EXPECT_EQ(read_file(rom).substr(std::size_t{15} * 1024), std::string(1024, '\xFF'));
}

// snt flash on `port`, stopped by SIGTERM as soon as it reports erasing.
ProcessResult flash_stopped_half_way(const std::string &port)
{
    int err[2];
    if (pipe(err) != 0) throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        exec_program({built_program("snt"), "--port", port, "flash", kImage + ".bin"});
    }
    close(err[1]);
    ProcessResult r;
    char buf[512];
    bool signalled = false;
    for (ssize_t n; (n = read(err[0], buf, sizeof buf)) > 0;) {
        r.err.append(buf, static_cast<std::size_t>(n));
        if (!signalled && r.err.find("erase 1 of") != std::string::npos) {
            kill(pid, SIGTERM);
            signalled = true;
        }
    }
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(SntFlash, AJobStoppedHalfWaySaysWhereAndTheNextOneFinishes)
{
    TempDir dir("snt_flash_stopped");
    PtySim board({"--boot0", "--rom", dir / "rom.bin"});
    const ProcessResult stopped = flash_stopped_half_way(board.port());
    EXPECT_EQ(stopped.exit_code, 128 + SIGTERM) << stopped.err;
    EXPECT_NE(stopped.err.find("stopped"), std::string::npos) << stopped.err;
    EXPECT_NE(stopped.err.find("flash again"), std::string::npos) << stopped.err;
    EXPECT_EQ(stopped.err.find("started the image"), std::string::npos) << stopped.err;

    // The bootloader is still there, maybe in the middle of a command.
    const ProcessResult again = snt({"--port", board.port(), "flash", kImage + ".bin"});
    EXPECT_EQ(again.exit_code, 0) << again.err;
    EXPECT_NE(again.out.find("the tester answers " ID_TEXT), std::string::npos) << again.out;
}

} // namespace
} // namespace snt_test
