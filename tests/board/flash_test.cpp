// The flash interface and the settings page, driven through their register
// windows as the firmware drives them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <type_traits>
#include <vector>

#include "board/peripherals/flash.h"
#include "board/peripherals/scheduler.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using sim::Flash;

static_assert(std::is_base_of_v<std::runtime_error, sim::PageFileError>);

class FlashModel : public ::testing::Test {
protected:
    sim::Scheduler sched;

    static std::uint32_t rd(Flash &f, std::uint32_t offset) { return f.regs().read(offset, 4); }
    static void wr(Flash &f, std::uint32_t offset, std::uint32_t value) { f.regs().write(offset, value, 4); }
    static void unlock(Flash &f)
    {
        wr(f, Flash::kKeyr, Flash::kKey1);
        wr(f, Flash::kKeyr, Flash::kKey2);
    }
    // Page erase as the firmware starts it; returns once the interface is busy.
    static void start_erase(Flash &f, std::uint32_t address = Flash::kPageAddress)
    {
        wr(f, Flash::kCr, Flash::kPER);
        wr(f, Flash::kAr, address);
        wr(f, Flash::kCr, Flash::kPER | Flash::kSTRT);
    }
    void erase(Flash &f)
    {
        start_erase(f);
        sched.advance_to(sched.now() + Flash::kEraseCycles);
        wr(f, Flash::kCr, 0);
    }
    void program(Flash &f, std::uint32_t offset, std::uint16_t value)
    {
        wr(f, Flash::kCr, Flash::kPG);
        f.page().write(offset, value, 2);
        sched.advance_to(sched.now() + Flash::kProgramCycles);
        wr(f, Flash::kCr, 0);
    }
    static Flash::PageData pattern()
    {
        Flash::PageData d;
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = static_cast<std::uint8_t>(i * 7 + 3);
        return d;
    }
    static Flash::PageData erased()
    {
        Flash::PageData d;
        d.fill(0xFF);
        return d;
    }
};

TEST_F(FlashModel, UnlocksWithTheTwoKeysInOrderAndLocksAgainOnLock)
{
    Flash f(sched);
    EXPECT_EQ(rd(f, Flash::kAcr), 0x30u);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kLOCK);
    EXPECT_EQ(rd(f, Flash::kSr), 0u);
    EXPECT_EQ(rd(f, Flash::kWrpr), 0xFFFFFFFFu);

    wr(f, Flash::kCr, Flash::kPER);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kLOCK) << "a locked CR takes nothing";

    unlock(f);
    EXPECT_FALSE(f.locked());
    EXPECT_FALSE(f.key_fault());
    wr(f, Flash::kCr, Flash::kPER);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kPER);
    wr(f, Flash::kCr, Flash::kPER | Flash::kLOCK);
    EXPECT_TRUE(f.locked());
    wr(f, Flash::kCr, 0);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kPER | Flash::kLOCK) << "only a reset or the keys clear LOCK";

    unlock(f);
    EXPECT_FALSE(f.locked()) << "locking by LOCK allows unlocking again";
    EXPECT_FALSE(f.key_fault());

    f.regs().reset();
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kLOCK) << "reset locks the interface";
}

TEST_F(FlashModel, AWrongKeyKeepsTheInterfaceLockedUntilReset)
{
    struct Case {
        const char *what;
        std::vector<std::uint32_t> keys;
    };
    const Case cases[] = {
        {"wrong first key", {0x12345678}},
        {"wrong second key", {Flash::kKey1, 0x12345678}},
        {"keys swapped", {Flash::kKey2, Flash::kKey1}},
        {"first key twice", {Flash::kKey1, Flash::kKey1}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Flash f(sched);
        for (std::uint32_t k : c.keys) wr(f, Flash::kKeyr, k);
        EXPECT_TRUE(f.key_fault());
        EXPECT_TRUE(f.locked());
        unlock(f);
        unlock(f);
        EXPECT_TRUE(f.locked()) << "no key is taken after a wrong one";
        wr(f, Flash::kCr, Flash::kPG);
        EXPECT_EQ(rd(f, Flash::kCr), Flash::kLOCK);

        f.regs().reset();
        EXPECT_FALSE(f.key_fault());
        unlock(f);
        EXPECT_FALSE(f.locked()) << "reset ends the lock-up";
    }

    Flash f(sched);
    unlock(f);
    wr(f, Flash::kKeyr, Flash::kKey1);
    EXPECT_TRUE(f.key_fault()) << "a key written while unlocked is a wrong sequence too";
    EXPECT_TRUE(f.locked());
}

TEST_F(FlashModel, PageEraseIsBusyForTheEraseTimeThenThePageReadsErased)
{
    Flash f(sched);
    f.load(pattern());
    unlock(f);
    const sim::Cycles t0 = sched.now();
    start_erase(f, Flash::kPageAddress + 0x123); // any address inside the page
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kBSY);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kPER | Flash::kSTRT);
    EXPECT_EQ(Flash::kEraseCycles, 240'000u) << "30 ms of the 8 MHz core";

    sched.advance_to(t0 + Flash::kEraseCycles - 1);
    EXPECT_TRUE(f.busy());
    EXPECT_EQ(f.page().read(0, 4), 0x1811'0A03u) << "the old content reads until the erase ends";
    EXPECT_EQ(f.erases(), 0u);
    wr(f, Flash::kAr, 0x08000000);
    EXPECT_EQ(rd(f, Flash::kAr), Flash::kPageAddress + 0x123) << "AR is held while busy";

    sched.advance_to(t0 + Flash::kEraseCycles);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kEOP);
    EXPECT_EQ(rd(f, Flash::kCr), Flash::kPER) << "STRT ends with the erase";
    EXPECT_EQ(f.contents(), erased());
    for (std::uint32_t off = 0; off < Flash::kPageSize; off += 4) ASSERT_EQ(f.page().read(off, 4), 0xFFFFFFFFu);
    EXPECT_EQ(f.erases(), 1u);

    wr(f, Flash::kSr, ~Flash::kEOP);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kEOP) << "writing 0 leaves EOP";
    wr(f, Flash::kSr, Flash::kEOP);
    EXPECT_EQ(rd(f, Flash::kSr), 0u) << "writing 1 clears EOP";

    // Another page: the time passes, this page is untouched.
    program(f, 0, 0x0000);
    wr(f, Flash::kSr, Flash::kEOP);
    int done_calls = 0;
    f.set_on_operation_done([&](Flash::Operation) { ++done_calls; });
    const sim::Cycles t1 = sched.now();
    start_erase(f, 0x08003800);
    sched.advance_to(t1 + Flash::kEraseCycles - 1);
    EXPECT_TRUE(f.busy());
    sched.advance_to(t1 + Flash::kEraseCycles);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kEOP);
    EXPECT_EQ(f.page().read(0, 4), 0xFFFF0000u);
    EXPECT_EQ(f.erases(), 1u);
    EXPECT_EQ(done_calls, 0);

    // STRT without PER or MER starts nothing.
    wr(f, Flash::kCr, Flash::kSTRT);
    EXPECT_FALSE(f.busy());
}

TEST_F(FlashModel, APageEraseHitsTheSettingsPageOnlyForAnAddressInsideIt)
{
    struct Case {
        std::uint32_t address;
        bool hits;
    };
    const std::uint32_t first = Flash::kPageAddress, end = Flash::kPageAddress + Flash::kPageSize;
    const Case cases[] = {
        {first, true},        {first + 1, true},   {end - 2, true}, {end - 1, true},
        {first - 1, false},   {first - 4, false},  {end, false},    {end + 1, false},
        {end + 0x400, false}, {0x08000000, false}, {0, false},      {0xFFFFFFFF, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "erase at 0x" << std::hex << c.address);
        Flash f(sched);
        f.load(pattern());
        unlock(f);
        start_erase(f, c.address);
        EXPECT_TRUE(f.busy()) << "any page erase takes the erase time";
        sched.advance_to(sched.now() + Flash::kEraseCycles);
        EXPECT_FALSE(f.busy());
        EXPECT_EQ(f.contents(), c.hits ? erased() : pattern());
        EXPECT_EQ(f.erases(), c.hits ? 1u : 0u);
    }
}

TEST_F(FlashModel, ProgramsErasedHalfWordsAndRefusesProgrammedOnes)
{
    Flash f(sched);
    unlock(f);
    wr(f, Flash::kCr, Flash::kPG);
    const sim::Cycles t0 = sched.now();
    f.page().write(0x10, 0x5678, 2);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kBSY);
    EXPECT_EQ(Flash::kProgramCycles, 428u) << "53.5 us, the datasheet's typical half-word time";
    sched.advance_to(t0 + Flash::kProgramCycles - 1);
    EXPECT_TRUE(f.busy());
    EXPECT_EQ(f.page().read(0x10, 2), 0xFFFFu) << "the half-word changes when programming ends";
    sched.advance_to(t0 + Flash::kProgramCycles);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kEOP);
    EXPECT_EQ(f.page().read(0x10, 4), 0xFFFF5678u);

    program(f, 0x12, 0x1234);
    EXPECT_EQ(f.page().read(0x10, 4), 0x12345678u) << "low half then high half, little-endian";
    EXPECT_EQ(f.page().read(0x10, 2), 0x5678u);
    EXPECT_EQ(f.page().read(0x11, 1), 0x56u);
    EXPECT_EQ(f.page().read(0x13, 1), 0x12u);
    EXPECT_EQ(f.programs(), 2u);

    wr(f, Flash::kSr, Flash::kEOP);
    program(f, 0x10, 0xAAAA);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kPGERR) << "the half-word was not erased";
    EXPECT_EQ(f.page().read(0x10, 4), 0x12345678u) << "and keeps its value";
    EXPECT_EQ(f.programs(), 2u);
    wr(f, Flash::kSr, 0);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kPGERR) << "writing 0 leaves PGERR";
    wr(f, Flash::kSr, Flash::kPGERR);
    EXPECT_EQ(rd(f, Flash::kSr), 0u) << "writing 1 clears PGERR";

    program(f, 0x12, 0x0000);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kEOP) << "0x0000 may be written over a programmed half-word";
    EXPECT_EQ(f.page().read(0x10, 4), 0x00005678u);
    EXPECT_EQ(f.programs(), 3u);
}

TEST_F(FlashModel, WritesThatDoNotProgramChangeNothing)
{
    Flash f(sched);
    const Flash::PageData before = f.contents();

    f.page().write(0, 0x1234, 2); // locked, no PG
    unlock(f);
    f.page().write(2, 0x1234, 2); // unlocked, no PG
    wr(f, Flash::kCr, Flash::kPG | Flash::kLOCK);
    f.page().write(4, 0x1234, 2); // PG set but locked again
    EXPECT_EQ(f.ignored_writes(), 3u);

    f.regs().reset();
    unlock(f);
    wr(f, Flash::kCr, Flash::kPG);
    f.page().write(6, 0x34, 1);
    f.page().write(8, 0x12345678, 4);
    f.page().write(11, 0x1234, 2); // odd address
    wr(f, Flash::kCr, Flash::kPG | Flash::kPER);
    f.page().write(12, 0x1234, 2); // PG with PER
    EXPECT_EQ(f.ignored_writes(), 7u);
    EXPECT_FALSE(f.busy());
    sched.advance_to(sched.now() + Flash::kEraseCycles);
    EXPECT_EQ(f.contents(), before);
    EXPECT_EQ(f.programs(), 0u);

    wr(f, Flash::kCr, Flash::kPG);
    f.page().write(14, 0x1111, 2);
    f.page().write(16, 0x2222, 2); // while busy with the first
    EXPECT_EQ(f.ignored_writes(), 8u);
    sched.advance_to(sched.now() + Flash::kProgramCycles);
    EXPECT_EQ(f.page().read(14, 4), 0xFFFF1111u);

    // A reset in the middle of an operation leaves the page as it was.
    f.page().write(16, 0x2222, 2);
    sched.advance_to(sched.now() + Flash::kProgramCycles / 2);
    f.regs().reset();
    sched.advance_to(sched.now() + Flash::kProgramCycles);
    EXPECT_EQ(f.page().read(16, 2), 0xFFFFu);
    EXPECT_EQ(f.programs(), 1u);
    EXPECT_FALSE(f.busy());

    // A write-protected sector is left alone.
    f.set_write_protection(~(1u << 3));
    unlock(f);
    program(f, 18, 0x3333);
    EXPECT_EQ(rd(f, Flash::kSr), Flash::kWRPRTERR);
    erase(f);
    EXPECT_EQ(f.page().read(14, 4), 0xFFFF1111u);
    wr(f, Flash::kSr, Flash::kWRPRTERR);
    EXPECT_EQ(rd(f, Flash::kSr), 0u) << "writing 1 clears WRPRTERR";
}

// ------------------------------------------------------------ page file

class FlashPageFile : public FlashModel {
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
    EXPECT_NO_THROW(Flash::check_page_file(path));
    EXPECT_FALSE(fs::exists(path)) << "checking makes no file";
    {
        Flash f(sched, path);
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
    Flash again(sched, path);
    EXPECT_EQ(again.page().read(0, 4), 0xDDCCBBAAu) << "the page survives the power cycle";
    EXPECT_EQ(again.page().read(4, 4), 0xFFFFFFFFu);
}

TEST_F(FlashPageFile, AnExistingPageIsLoadedAndOnlyPagesOfExactlyOnePageAreAccepted)
{
    make_file(path, bytes_of(pattern()));
    EXPECT_NO_THROW(Flash::check_page_file(path));
    Flash f(sched, path);
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
        expect_refused("check_page_file", [&] { Flash::check_page_file(bad); });
        expect_refused("the constructor", [&] { Flash g(sched, bad); });
        EXPECT_EQ(file_bytes(bad), bytes) << "the file is left byte for byte";
        EXPECT_EQ(fs::last_write_time(bad), mtime);
        EXPECT_FALSE(fs::exists(bad + ".tmp"));
    }
}

TEST_F(FlashPageFile, TheOperationHookSeesTheFileAlreadyWritten)
{
    make_file(path, bytes_of(pattern()));
    Flash f(sched, path);
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
