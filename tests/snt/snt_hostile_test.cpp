// snt run as a careless or hostile user would, against a tester that
// misbehaves: outputs that cannot be written or would destroy an input,
// references that never end, devices that never stop talking, bytes that
// do not belong in a message, a virtual device that fails, and a standard
// output that cannot take what is written to it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "board_fixture.h"
#include "child_processes.h"
#include "fake_tester.h"
#include "files.h"
#include "protocol.h"

namespace snt_test {
namespace {

using Clock = std::chrono::steady_clock;
// Far above anything snt should take here: only proves there is no hang.
constexpr auto kNoHang = std::chrono::seconds(20);

// snt through the shell, for redirections and limits: `script` runs with
// $0 set to snt.
ProcessResult snt_in_shell(const std::string &script, double timeout_s = 60)
{
    return run_process({"/bin/sh", "-c", script, built_program("snt")}, "", timeout_s);
}

int lines(const std::string &text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

bool printable_lines(const std::string &text)
{
    return std::all_of(text.begin(), text.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7f); });
}

std::vector<std::string> sweep_on(const FakeTester &tester, const std::string &points, std::vector<std::string> more)
{
    std::vector<std::string> args{"--port", tester.port(), "sweep",    "--start", "1M",
                                  "--stop", "2M",          "--points", points};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

using SntHostile = ReapsOrphans;

// --- Output files ------------------------------------------------------

TEST_F(SntHostile, EveryOutputIsCheckedBeforeTheFirstCommand)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const TempDir dir("snt_hostile");
    const std::string keep = dir / "keep.csv";
    write_file(keep, "old\n");

    const ProcessResult csv = snt(sweep_on(tester, "5", {"--csv", "/nonexistent/dir/a.csv"}));
    EXPECT_EQ(csv.exit_code, 2);
    EXPECT_EQ(csv.err,
              "snt: --csv /nonexistent/dir/a.csv: cannot write in /nonexistent/dir: No such file or "
              "directory\n");

    const ProcessResult plot = snt(sweep_on(tester, "5", {"--csv", keep, "--plot", "/nonexistent/x.png"}));
    EXPECT_EQ(plot.exit_code, 2);
    EXPECT_NE(plot.err.find("--plot /nonexistent/x.png"), std::string::npos) << plot.err;
    EXPECT_EQ(lines(plot.err), 1) << plot.err;

    const ProcessResult ref = snt(sweep_on(tester, "5", {"--save-ref", dir / "no/such/ref.csv", "--csv", keep}));
    EXPECT_EQ(ref.exit_code, 2);
    EXPECT_NE(ref.err.find("--save-ref"), std::string::npos) << ref.err;

    const ProcessResult folder = snt(sweep_on(tester, "5", {"--csv", "/tmp"}));
    EXPECT_EQ(folder.exit_code, 2);
    EXPECT_NE(folder.err.find("folder"), std::string::npos) << folder.err;

    EXPECT_EQ(tester.received(), "") << "not a byte went to the device";
    EXPECT_EQ(read_file(keep), "old\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"});
}

TEST_F(SntHostile, AWriteThatFailsHalfWayLeavesEveryOldFileWhole)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const TempDir dir("snt_hostile");
    write_file(dir / "keep.csv", "old csv\n");
    write_file(dir / "ref.csv", "old ref\n");
    // Files may not grow past 512 bytes; a 200-point CSV is about 6 KB.
    const ProcessResult r = snt_in_shell("trap '' XFSZ; ulimit -f 1; exec \"$0\" --port " + tester.port() +
                                         " sweep --start 1M --stop 2M --points 200 --csv " + dir / "keep.csv" +
                                         " --save-ref " + dir / "ref.csv");
    EXPECT_EQ(r.exit_code, 1) << r.err;
    // The first failure is named; the other file failed as well.
    EXPECT_NE(r.err.find("snt: cannot write " + dir / "ref.csv" + ": File too large\n"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(dir / "keep.csv"), "old csv\n");
    EXPECT_EQ(read_file(dir / "ref.csv"), "old ref\n");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"keep.csv", "ref.csv"})) << "no temporary left";
}

TEST_F(SntHostile, AnOutputThatFailsDoesNotCostTheOthers)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const TempDir dir("snt_hostile");
    ASSERT_EQ(symlink("/dev/full", (dir / "full.png").c_str()), 0);
    const ProcessResult r = snt(sweep_on(tester, "50", {"--plot", dir / "full.png", "--csv", dir / "a.csv"}));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("snt: cannot write " + dir / "full.png" + ": No space left on device\n"), std::string::npos)
        << r.err;
    const std::string csv = read_file(dir / "a.csv");
    EXPECT_EQ(csv.rfind("frequency_hz,level,db\n", 0), 0u);
    EXPECT_EQ(lines(csv), 51) << "the CSV is whole";
    EXPECT_NE(r.out.find("maximum"), std::string::npos) << "and the summary is there";
}

TEST_F(SntHostile, AnOutputThatIsTheReferenceIsRefused)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const TempDir dir("snt_hostile");
    const std::string ref = dir / "thru.csv";
    const ProcessResult save = snt(sweep_on(tester, "5", {"--save-ref", ref, "--csv", dir / "first.csv"}));
    ASSERT_EQ(save.exit_code, 0) << save.err;
    const std::string saved = read_file(ref);
    ASSERT_EQ(saved.rfind("frequency_hz,level,db\n1000000,36864000000.00,", 0), 0u) << saved;
    const std::size_t sent = tester.received().size();

    for (const char *option : {"--csv", "--save-ref"}) {
        const ProcessResult r = snt(sweep_on(tester, "5", {"--ref", ref, option, dir / "./thru.csv"}));
        EXPECT_EQ(r.exit_code, 2) << option;
        EXPECT_NE(r.err.find("is the same file as --ref"), std::string::npos) << r.err;
        EXPECT_EQ(read_file(ref), saved) << option;
    }
    EXPECT_EQ(tester.received().size(), sent) << "refused before anything was sent";
}

// --- References --------------------------------------------------------

TEST_F(SntHostile, AReferenceThatNeverEndsIsRefusedAtOnce)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const auto t0 = Clock::now();
    const ProcessResult r = snt(sweep_on(tester, "5", {"--ref", "/dev/zero"}), 30);
    EXPECT_LT(Clock::now() - t0, kNoHang);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "snt: --ref: /dev/zero line 1 is longer than 1024 bytes\n");
}

TEST_F(SntHostile, AReferenceWithoutAPositiveLevelIsRefusedWithItsLine)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const TempDir dir("snt_hostile");
    for (const char *level : {"nan", "inf", "0.00", "-3"}) {
        write_file(dir / "ref.csv",
                   std::string("frequency_hz,level,db\n1000000,3e10,\n1250000,") + level +
                       ",\n1500000,3e10,\n1750000,3e10,\n2000000,3e10,\n");
        const ProcessResult r = snt(sweep_on(tester, "5", {"--ref", dir / "ref.csv"}));
        EXPECT_EQ(r.exit_code, 2) << level;
        EXPECT_NE(r.err.find("line 3: the level \"" + std::string(level) + "\""), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "no nan dB, no sweep";
    }
    EXPECT_EQ(tester.received(), "");
}

// Whether `pid` runs `program` (it has been executed) and has `path` open.
bool has_open(pid_t pid, const std::string &program, const std::string &path)
{
    char exe[4096], real[4096];
    const ssize_t len = readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), exe, sizeof exe - 1);
    if (len <= 0 || !realpath(program.c_str(), real) || std::string(exe, static_cast<std::size_t>(len)) != real)
        return false;
    const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fds.c_str());
    if (!d) return false;
    bool found = false;
    while (const dirent *e = readdir(d)) {
        char target[4096];
        const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) found = true;
    }
    closedir(d);
    return found;
}

TEST_F(SntHostile, StopSignalsEndAWaitForAReference)
{
    const TempDir dir("snt_hostile");
    const std::string fifo = dir / "slow.csv";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC); // a writer that never writes
    ASSERT_GE(writer, 0);
    const std::string exe = built_program("snt");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = fork();
        if (pid == 0) {
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl(exe.c_str(), exe.c_str(), "--port", "/dev/null", "sweep", "--start", "1M", "--stop", "2M", "--points",
                  "5", "--ref", fifo.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        // Only once it is reading: a signal before its handlers are in
        // place would prove nothing.
        const auto t0 = Clock::now();
        while (!has_open(pid, exe, fifo) && Clock::now() - t0 < kNoHang)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(has_open(pid, exe, fifo)) << "snt never opened the reference";
        kill(pid, sig);
        int status = 0;
        pid_t got = 0;
        const auto t1 = Clock::now();
        while ((got = waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() - t1 < kNoHang)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (got == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "snt did not stop on signal " << sig;
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(status), 128 + sig);
    }
    close(writer);
}

// --- Devices that misbehave -------------------------------------------

TEST_F(SntHostile, ADeviceThatNeverStopsTalkingIsRefusedInTime)
{
    for (const char *chatter : {"25000000\r", "25000000\r" ID_TEXT "\r", "0.00\r", "AAAAAAAAAAAAAAAA"}) {
        FakeTester tester;
        tester.start(FakeTester::firmware, chatter, kNoHang);
        const auto t0 = Clock::now();
        const ProcessResult r = snt({"--port", tester.port(), "id"}, 60);
        EXPECT_LT(Clock::now() - t0, kNoHang) << chatter;
        EXPECT_EQ(r.exit_code, 1) << r.err;
        EXPECT_EQ(lines(r.err), 1) << r.err;
        EXPECT_TRUE(printable_lines(r.err)) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(SntHostile, BytesFromTheDeviceAreShownEscaped)
{
    FakeTester tester;
    tester.start(
        [](const std::string &line) { return line == "w" ? std::string("1.2\0X\x85\x1b[2J\r", 11) : std::string(); });
    const ProcessResult id = snt({"--port", tester.port(), "id"});
    EXPECT_EQ(id.exit_code, 1);
    EXPECT_EQ(id.err, "snt: unexpected identification: \"1.2\\x00X\\x85\\x1b[2J\" (expected \"" ID_TEXT "\")\n");

    FakeTester raw_tester;
    raw_tester.start([](const std::string &line) {
        if (line == "w") return std::string(ID_TEXT "\r");
        return line == "q" ? std::string("a\0b\x85\r", 5) : std::string();
    });
    const ProcessResult raw = snt({"--port", raw_tester.port(), "raw", "q"});
    EXPECT_EQ(raw.exit_code, 0) << raw.err;
    EXPECT_EQ(raw.out, "a\\x00b\\x85\n");
}

TEST_F(SntHostile, AnEmptyPortIsRefusedNotTakenForTheVirtualDevice)
{
    const ProcessResult r = snt({"--port", "", "id"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "snt: --port was given an empty value\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(no_children_left());
}

// --- The virtual device failing on its own ----------------------------

// A stand-in for snt-sim: the real one, stopped under snt's feet once its
// port is up, then `last_words` on standard error and `end`.
std::string failing_sim(const TempDir &dir, const std::string &last_words, const std::string &end)
{
    std::string path = dir / "failing-sim";
    write_file(path,
               "#!/bin/sh\n"
               "'" +
                   built_program("snt-sim") +
                   "' \"$@\" &\n"
                   "sim=$!\n"
                   "while [ ! -e \"$2\" ]; do sleep 0.01; done\n"
                   "sleep 0.5\n"
                   "kill -KILL $sim\n"
                   "wait $sim 2>/dev/null\n" +
                   last_words + "\n" + end + "\n");
    chmod(path.c_str(), 0755);
    return path;
}

TEST_F(SntHostile, TheVirtualDevicesOwnErrorIsPassedOn)
{
    const TempDir dir("snt_hostile");
    const std::string sim =
        failing_sim(dir, "echo 'snt-sim: --flash page.bin: cannot write: No space left on device' >&2", "exit 1");
    // A long raw sweep: the virtual device stops in the middle of it (or,
    // on a slow machine, before snt is connected; the message is the same).
    const ProcessResult r =
        run_process({"/usr/bin/env", "SNT_SIM=" + sim, built_program("snt"), "raw", "r 1000 100000"}, "", 60);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "snt: snt-sim: --flash page.bin: cannot write: No space left on device\n");

    const std::string killed = failing_sim(dir, "", "kill -KILL $$");
    const ProcessResult k =
        run_process({"/usr/bin/env", "SNT_SIM=" + killed, built_program("snt"), "raw", "r 1000 100000"}, "", 60);
    EXPECT_EQ(k.exit_code, 1);
    EXPECT_NE(k.err.find("stopped, killed by signal 9"), std::string::npos) << k.err;
    EXPECT_EQ(lines(k.err), 1) << k.err;
    EXPECT_TRUE(no_children_left());
}

TEST_F(SntHostile, TheVirtualDevicesMessageIsEscaped)
{
    const TempDir dir("snt_hostile");
    const std::string path = dir / "rude-sim";
    write_file(path, "#!/bin/sh\nprintf 'snt-sim: bad \\033[2J\\001\\200 value\\n' >&2\nexit 2\n");
    chmod(path.c_str(), 0755);
    const ProcessResult r = run_process({"/usr/bin/env", "SNT_SIM=" + path, built_program("snt"), "id"}, "", 60);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "snt: snt-sim: bad \\x1b[2J\\x01\\x80 value\n");
}

// --- Standard output --------------------------------------------------

TEST_F(SntHostile, StandardOutputThatCannotBeWrittenIsAnError)
{
    FakeTester tester;
    tester.start(FakeTester::firmware);
    const std::string port = " --port " + tester.port();
    const std::string full = "snt: cannot write to standard output: No space left on device\n";

    const ProcessResult id = snt_in_shell("exec \"$0\"" + port + " id > /dev/full");
    EXPECT_EQ(id.exit_code, 1);
    EXPECT_EQ(id.err, full);
    const ProcessResult help = snt_in_shell("exec \"$0\" --help > /dev/full");
    EXPECT_EQ(help.exit_code, 1);
    EXPECT_EQ(help.err, full);
    const ProcessResult sweep =
        snt_in_shell("exec \"$0\"" + port + " sweep --start 1M --stop 2M --points 5 > /dev/full");
    EXPECT_EQ(sweep.exit_code, 1);
    EXPECT_EQ(sweep.err, "snt: 5 points, 250 kHz apart: about 0.4 s on a real tester (4 PLL resets)\n" + full);
    const ProcessResult raw = snt_in_shell("exec \"$0\"" + port + " raw w > /dev/full");
    EXPECT_EQ(raw.exit_code, 1);
    EXPECT_EQ(raw.err, full);

    const std::size_t sent = tester.received().size();
    const ProcessResult closed = snt_in_shell("exec \"$0\"" + port + " id >&-");
    EXPECT_EQ(closed.exit_code, 2);
    EXPECT_EQ(closed.err, "snt: standard output is closed\n");
    EXPECT_EQ(tester.received().size(), sent) << "refused before anything was sent";
}

} // namespace
} // namespace snt_test
