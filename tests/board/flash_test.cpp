// The flash interface and the settings page, driven through their register
// windows as the firmware drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "board/peripherals/flash.h"
#include "board/peripherals/flash_store.h"
#include "board/peripherals/scheduler.h"
#include "flash_model.h"

namespace {

using sim::Flash;
using snt_test::FlashModel;

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

// A store in memory, as the browser keeps the page: what it is given and
// when.
class PageStore final : public sim::FlashStore {
public:
    explicit PageStore(std::vector<std::uint8_t> kept) : kept_(std::move(kept)) {}
    bool load(std::uint8_t *bytes, std::size_t size) override
    {
        if (kept_.empty()) return false;
        if (kept_.size() != size) throw std::invalid_argument("not one page");
        std::copy(kept_.begin(), kept_.end(), bytes);
        return true;
    }
    void store(const std::uint8_t *bytes, std::size_t size) override
    {
        kept_.assign(bytes, bytes + size);
        ++stores;
    }
    const std::vector<std::uint8_t> &kept() const { return kept_; }
    int stores = 0;

private:
    std::vector<std::uint8_t> kept_;
};

TEST_F(FlashModel, TheStoreGivesThePageAndKeepsEveryCompletedChange)
{
    const Flash::PageData first = pattern(), blank = erased();
    auto owned = std::make_unique<PageStore>(std::vector<std::uint8_t>(first.begin(), first.end()));
    PageStore &store = *owned;
    Flash f(sched, std::move(owned));
    EXPECT_EQ(f.contents(), pattern()) << "the page is what the store holds";
    unlock(f);
    erase(f);
    EXPECT_EQ(store.stores, 1);
    EXPECT_EQ(store.kept(), std::vector<std::uint8_t>(blank.begin(), blank.end()));
    program(f, 4, 0xBEEF);
    EXPECT_EQ(store.stores, 2);
    EXPECT_EQ(store.kept()[4], 0xEF);
    EXPECT_EQ(store.kept()[5], 0xBE);
    program(f, 4, 0x1234); // refused: not erased
    EXPECT_EQ(store.stores, 2) << "a refused program changes nothing to keep";

    Flash empty(sched, std::make_unique<PageStore>(std::vector<std::uint8_t>{}));
    EXPECT_EQ(empty.contents(), erased()) << "a store holding nothing gives an erased page";
    EXPECT_THROW(Flash(sched, std::make_unique<PageStore>(std::vector<std::uint8_t>(10))), std::invalid_argument);
}

} // namespace
