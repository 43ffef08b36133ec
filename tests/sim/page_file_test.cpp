// The settings page kept in a file (snt-sim --flash): the flash model's
// store, read once and replaced whole on every erase and program.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "board/peripherals/flash.h"
#include "flash_model.h"
#include "shells/sim/page_file.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using sim::Flash;
using sim::PageFile;

static_assert(std::is_base_of_v<std::runtime_error, sim::PageFileError>);

std::unique_ptr<PageFile> file_at(const std::string &path) { return std::make_unique<PageFile>(path); }

// ------------------------------------------------------------ page file

class FlashPageFile : public snt_test::FlashModel {
protected:
    snt_test::TempDir folder{"flash_test"};
    std::string dir = folder.path();
    std::string path = folder / "settings.bin";

    static std::vector<std::uint8_t> file_bytes(const std::string &p)
    {
        std::ifstream in(p, std::ios::binary);
        return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void make_file(const std::string &p, const std::vector<std::uint8_t> &bytes)
    {
        std::ofstream out(p, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static std::vector<std::uint8_t> bytes_of(const Flash::PageData &d) { return {d.begin(), d.end()}; }
    std::vector<std::string> directory() const { return folder.entries(); }
};

TEST_F(FlashPageFile, AMissingFileStartsErasedAndIsWrittenByEveryOperation)
{
    EXPECT_NO_THROW(PageFile::check(path));
    EXPECT_FALSE(fs::exists(path)) << "checking makes no file";
    {
        Flash f(sched, file_at(path));
        EXPECT_EQ(f.contents(), erased());
        unlock(f);
        EXPECT_FALSE(fs::exists(path)) << "the file appears with the first operation";
        erase(f);
        EXPECT_EQ(file_bytes(path), bytes_of(erased()));
        program(f, 0, 0xBBAA);
        program(f, 2, 0xDDCC);
        std::vector<std::uint8_t> expected(1024, 0xFF);
        expected[0] = 0xAA, expected[1] = 0xBB, expected[2] = 0xCC, expected[3] = 0xDD;
        EXPECT_EQ(file_bytes(path), expected);
        EXPECT_EQ(directory(), std::vector<std::string>{"settings.bin"}) << "no temporary file is left";

        program(f, 0, 0x1234); // refused: the file keeps what the page keeps
        EXPECT_EQ(file_bytes(path), expected);
    }
    Flash again(sched, file_at(path));
    EXPECT_EQ(again.page().read(0, 4), 0xDDCCBBAAu) << "the page survives the power cycle";
    EXPECT_EQ(again.page().read(4, 4), 0xFFFFFFFFu);
}

TEST_F(FlashPageFile, AnExistingPageIsLoadedAndOnlyPagesOfExactlyOnePageAreAccepted)
{
    make_file(path, bytes_of(pattern()));
    EXPECT_NO_THROW(PageFile::check(path));
    Flash f(sched, file_at(path));
    EXPECT_EQ(f.contents(), pattern());
    EXPECT_EQ(f.page().read(0x3FC, 4),
              static_cast<std::uint32_t>(pattern()[0x3FC] | pattern()[0x3FD] << 8 | pattern()[0x3FE] << 16 |
                                         pattern()[0x3FF] << 24));

    for (std::size_t size : {0u, 1023u, 1025u}) {
        SCOPED_TRACE(size);
        const std::string bad = dir + "/bad" + std::to_string(size) + ".bin";
        std::vector<std::uint8_t> bytes(size);
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 13 + 1);
        make_file(bad, bytes);
        const auto mtime = fs::last_write_time(bad);

        auto expect_refused = [&](const char *who, const std::function<void()> &open) {
            try {
                open();
                ADD_FAILURE() << who << " accepted it";
            } catch (const sim::PageFileError &e) {
                const std::string msg = e.what();
                EXPECT_NE(msg.find(bad), std::string::npos) << who << ": " << msg;
                EXPECT_NE(msg.find(" " + std::to_string(size) + " bytes"), std::string::npos) << who << ": " << msg;
                EXPECT_EQ(msg.find('\n'), std::string::npos) << who << ": " << msg;
            }
        };
        expect_refused("PageFile::check", [&] { PageFile::check(bad); });
        expect_refused("the constructor", [&] { Flash g(sched, file_at(bad)); });
        EXPECT_EQ(file_bytes(bad), bytes) << "the file is left byte for byte";
        EXPECT_EQ(fs::last_write_time(bad), mtime);
        EXPECT_FALSE(fs::exists(bad + ".tmp"));
    }
}

TEST_F(FlashPageFile, TheOperationHookSeesTheFileAlreadyWritten)
{
    make_file(path, bytes_of(pattern()));
    Flash f(sched, file_at(path));
    struct Seen {
        Flash::Operation op;
        std::vector<std::uint8_t> file;
        std::uint32_t sr;
        std::uint64_t erases, programs;
    };
    std::vector<Seen> seen;
    f.set_on_operation_done([&](Flash::Operation op) {
        seen.push_back({op, file_bytes(path), f.sr(), f.erases(), f.programs()});
    });
    unlock(f);
    erase(f);
    program(f, 0x20, 0x0201);
    program(f, 0x22, 0x0403);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].op, Flash::Operation::Erase);
    EXPECT_EQ(seen[0].file, bytes_of(erased()));
    EXPECT_EQ(seen[0].sr, Flash::kEOP) << "not busy any more";
    EXPECT_EQ(seen[0].erases, 1u);

    Flash::PageData after = erased();
    after[0x20] = 1, after[0x21] = 2;
    EXPECT_EQ(seen[1].op, Flash::Operation::Program);
    EXPECT_EQ(seen[1].file, bytes_of(after));
    EXPECT_EQ(seen[1].programs, 1u);
    after[0x22] = 3, after[0x23] = 4;
    EXPECT_EQ(seen[2].op, Flash::Operation::Program);
    EXPECT_EQ(seen[2].file, bytes_of(after));
    EXPECT_EQ(seen[2].programs, 2u);
}

} // namespace
