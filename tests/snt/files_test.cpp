// What the command line reads and writes: sweep CSV files and text files
// read within bounds, output files put in place whole, one file under two
// names, and a plot's format by its name.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "files.h"
#include "shells/snt/file_identity.h"
#include "shells/snt/line_reader.h"
#include "shells/snt/output.h"
#include "shells/snt/plot_layout.h"
#include "shells/snt/sweep_io.h"
#include "temp_dir.h"

namespace snt {
namespace {

using snt_test::read_file;

// A fresh folder of its own for each test, removed afterwards.
struct TempFolder : snt_test::TempDir {
    TempFolder() : TempDir("snt_files") {}
};

std::string reading_refused(const std::string &text)
{
    TempFolder dir;
    const std::string path = dir / "ref.csv";
    std::ofstream(path, std::ios::binary) << text;
    try {
        read_sweep_csv(path, SweepCsv::Reference);
    } catch (const InputError &e) {
        return e.what();
    }
    return "";
}

TEST(SntReference, EndlessAndOversizedInputIsRefusedEarly)
{
    // /dev/zero never ends and has no line ends: refused at its first line.
    try {
        read_sweep_csv("/dev/zero", SweepCsv::Reference);
        FAIL() << "read /dev/zero";
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("line 1 is longer than"), std::string::npos) << e.what();
    }
    EXPECT_NE(reading_refused("frequency_hz,level,db\n" + std::string(5000, '1') + ",1,\n").find("line 2 is longer"),
              std::string::npos);
    // More rows than any sweep has.
    std::string many = "frequency_hz,level,db\n";
    many.reserve(std::size_t{9} * (kMaxPoints + 2));
    for (std::uint32_t i = 0; i <= kMaxPoints; ++i) many += "1000,1,\n";
    EXPECT_NE(reading_refused(many).find("more than 1000000 points"), std::string::npos);
    // A folder is not a file.
    try {
        const TempFolder folder;
        read_sweep_csv(folder.path(), SweepCsv::Reference);
        FAIL();
    } catch (const InputError &e) {
        EXPECT_NE(std::string(e.what()).find("folder"), std::string::npos) << e.what();
    }
}

TEST(SntLineReader, SplitsLinesWithinItsBounds)
{
    TempFolder dir;
    const std::string path = dir / "lines.txt";
    std::ofstream(path, std::ios::binary) << "one\r\ntwo\n\nlast";
    {
        LineReader in(path, {8, 100});
        EXPECT_EQ(in.next(), "one");
        EXPECT_EQ(in.next(), "two");
        EXPECT_EQ(in.next(), "");
        EXPECT_EQ(in.next(), "last") << "the last line needs no end";
        EXPECT_EQ(in.line_number(), 4u);
        EXPECT_EQ(in.next(), std::nullopt);
    }
    std::ofstream(path, std::ios::binary) << "12345678\n123456789\n";
    {
        LineReader in(path, {8, 100});
        EXPECT_EQ(in.next(), "12345678");
        EXPECT_THROW(in.next(), InputError);
    }
    std::ofstream(path, std::ios::binary) << std::string(150, '\n');
    {
        LineReader in(path, {8, 100});
        try {
            while (in.next()) {}
            FAIL() << "read past the size limit";
        } catch (const InputError &e) {
            EXPECT_NE(std::string(e.what()).find("larger than 100 bytes"), std::string::npos) << e.what();
        }
    }
    EXPECT_THROW(LineReader(dir / "missing", {8, 100}), InputError);
}

TEST(SntLineReader, AFifoIsReadOnceItsWriterComes)
{
    TempFolder dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    LineReader in(fifo, {64, 1000}); // opening does not wait for a writer
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(fifo) << "frequency_hz,level,db\nsecond";
    });
    EXPECT_EQ(in.next(), "frequency_hz,level,db");
    EXPECT_EQ(in.next(), "second");
    EXPECT_EQ(in.next(), std::nullopt);
    writer.join();
}

// --- Output files -------------------------------------------------------

TEST(SntOutputFile, TheFileIsUntouchedUntilCommitThenReplacedWhole)
{
    TempFolder dir;
    const std::string path = dir / "keep.csv";
    std::ofstream(path) << "old\n";
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    {
        OutputFile out("--csv", path);
        out.write("new ");
        out.write("content\n");
        EXPECT_EQ(read_file(path), "old\n");
        EXPECT_EQ(dir.entries().size(), 2u) << "the temporary sits next to the file";
        out.commit();
        EXPECT_EQ(read_file(path), "new content\n");
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"});
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "the file keeps its mode";
}

TEST(SntOutputFile, AnAbandonedOutputLeavesTheOldFileAndNoTemporary)
{
    TempFolder dir;
    const std::string path = dir / "keep.csv";
    std::ofstream(path) << "old\n";
    {
        OutputFile out("--csv", path);
        out.write("half a fi");
    } // an error or Ctrl-C before commit
    EXPECT_EQ(read_file(path), "old\n");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"});
    {
        OutputFile out("--csv", dir / "new.csv");
    }
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.csv"}) << "a new file appears only on commit";
}

TEST(SntOutputFile, ASymbolicLinkStaysAndItsTargetIsReplaced)
{
    TempFolder dir;
    const std::string real = dir / "real.csv";
    const std::string link_path = dir / "link.csv";
    std::ofstream(real) << "old\n";
    ASSERT_EQ(symlink("real.csv", link_path.c_str()), 0);
    OutputFile out("--csv", link_path);
    out.write("new\n");
    out.commit();
    struct stat st {};
    ASSERT_EQ(lstat(link_path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(real), "new\n");
}

TEST(SntOutputFile, ANewFileGetsTheModeTheUmaskGives)
{
    TempFolder dir;
    const mode_t old = umask(027);
    {
        OutputFile out("--csv", dir / "a.csv");
        out.write("x\n");
        out.commit();
    }
    umask(old);
    struct stat st {};
    ASSERT_EQ(stat((dir / "a.csv").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST(SntOutputFile, WhatCannotBeWrittenIsRefusedBeforeAnythingIsCreated)
{
    TempFolder dir;
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere/x.csv", (dir / "dangling.csv").c_str()), 0);
    std::ofstream(dir / "file") << "x";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/nonexistent/dir/a.csv", "No such file or directory"},
        {dir / "sub", "folder"},
        {dir / "sub/", "folder"},
        {dir / "no/such/dir/a.csv", "No such file or directory"},
        {dir / "dangling.csv", "does not exist"},
        {dir / "file/a.csv", "Not a directory"},
    };
    for (const auto &[path, reason] : cases) {
        try {
            OutputFile out("--csv", path);
            ADD_FAILURE() << "accepted " << path;
        } catch (const InputError &e) {
            const std::string m = e.what();
            EXPECT_EQ(m.rfind("--csv " + path, 0), 0u) << m;
            EXPECT_NE(m.find(reason), std::string::npos) << m;
        }
    }
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"dangling.csv", "file", "sub"}));
}

TEST(SntOutputFile, DevicesAreWrittenInPlaceAndTheirFailuresReported)
{
    {
        OutputFile out("--csv", "/dev/null");
        out.write("anything\n");
        EXPECT_NO_THROW(out.commit());
    }
    OutputFile full("--csv", "/dev/full");
    full.write("anything\n");
    try {
        full.commit();
        FAIL() << "/dev/full took the file";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("cannot write /dev/full: No space left on device"), std::string::npos)
            << e.what();
    }
}

TEST(SntOutputFile, IdentityFollowsLinksAndNames)
{
    TempFolder dir;
    std::ofstream(dir / "a") << "x";
    ASSERT_EQ(symlink("a", (dir / "l").c_str()), 0);
    EXPECT_EQ(FileIdentity::of(dir / "a"), FileIdentity::of(dir / "l"));
    EXPECT_EQ(FileIdentity::of(dir / "new"), FileIdentity::of(dir.path() + "/./new"));
    EXPECT_NE(FileIdentity::of(dir / "new"), FileIdentity::of(dir / "a"));
    EXPECT_FALSE(FileIdentity::of("/dev/null"));
    EXPECT_FALSE(FileIdentity::of(dir.path()));
}

TEST(SntPlotter, FormatByExtensionAndTitle)
{
    EXPECT_EQ(plot_format_of("a.png"), PlotFormat::Png);
    EXPECT_EQ(plot_format_of("dir.x/a.SVG"), PlotFormat::Svg);
    EXPECT_THROW(plot_format_of("a.pdf"), InputError);
    EXPECT_THROW(plot_format_of("png"), InputError);
    SweepPlan plan;
    plan.start = 1000000;
    plan.step = 1000000;
    plan.points = 20;
    const SweepResult r(plan, std::vector<std::optional<double>>(20, 1e10));
    EXPECT_EQ(plot_title(r, "lowpass:10M"), "snt sweep 1\u201320 MHz, lowpass:10M");
    EXPECT_EQ(plot_title(r, ""), "snt sweep 1\u201320 MHz");
}

} // namespace
} // namespace snt
