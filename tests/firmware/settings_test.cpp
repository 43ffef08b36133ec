// The settings page: the crystal frequency read at start-up and written by
// the x command, in the flash model, including power lost in the middle of
// a write.
#include <array>

#include "board_fixture.h"

namespace snt_test {
namespace {

using Page = sim::Flash::PageData;

Page page_holding(std::uint32_t value)
{
    Page p;
    p.fill(0xFF);
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(value >> (8 * i));
    return p;
}

std::uint32_t word0(const Page &p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// A fresh board, as after power-on, with the page as the last one left it.
struct PoweredBoard {
    sim::SimBoard board;
    SerialCapture serial{board};
    explicit PoweredBoard(const Page &page) { board.flash().load(page); }
    std::string banner_crystal()
    {
        EXPECT_TRUE(board.run_until_idle(ms(200)));
        return serial.text().substr(0, serial.text().find('\r'));
    }
};

class Settings : public BoardTest {
protected:
    void run_line(const std::string &line)
    {
        send(line);
        const Cycles arrival = board.usart().host_send_done_at();
        board.run_until([&] { return board.now() >= arrival; }, ms(10));
        ASSERT_TRUE(board.run_until_idle(ms(500)));
    }
};

TEST_F(Settings, StartUpUsesTheStoredCrystalOnlyInsideTheWindow)
{
    const struct {
        bool erased;
        std::uint32_t stored;
        const char *banner;
    } cases[] = {
        {true, 0, "25000000"},
        {false, 24000000, "24000000"},
        {false, 31000000, "31000000"},
        {false, 23999999, "25000000"},
        {false, 31000001, "25000000"},
        {false, 0, "25000000"},
        {false, 0xFFFF0000u | (26000000u & 0xFFFF), "25000000"}, // low half of a cut-short write
    };
    for (const auto &c : cases) {
        const Page page = c.erased ? page_holding(0xFFFFFFFF) : page_holding(c.stored);
        PoweredBoard b(page);
        EXPECT_EQ(b.banner_crystal(), c.banner) << c.stored;
        EXPECT_EQ(SNT_FW(b.board.firmware(), xtal), std::stoul(c.banner)) << c.stored;
        EXPECT_EQ(SNT_FW(b.board.firmware(), xtal_freq), std::stoul(c.banner) * 10) << c.stored;
        EXPECT_EQ(b.board.flash().contents(), page) << "the default is not written back";
        EXPECT_EQ(b.board.flash().erases(), 0u);
    }
}

TEST_F(Settings, CrystalCommandRewritesThePageAndSurvivesPowerOff)
{
    boot();
    run_line("x 26000000\r");
    EXPECT_EQ(board.flash().contents(), page_holding(26000000)) << "value low byte first, the rest erased";
    EXPECT_EQ(board.flash().erases(), 1u);
    EXPECT_EQ(board.flash().programs(), 2u) << "two half-words";
    EXPECT_TRUE(board.flash().locked()) << "locked again after the write";
    EXPECT_FALSE(board.flash().key_fault());
    EXPECT_EQ(board.flash().sr() & 0x34u, 0u) << "no error, end of operation cleared";

    run_line("x 26000000\r");
    EXPECT_EQ(board.flash().erases(), 2u) << "the same value is erased and programmed again";
    EXPECT_EQ(board.flash().contents(), page_holding(26000000));

    PoweredBoard after(board.flash().contents());
    EXPECT_EQ(after.banner_crystal(), "26000000");
}

TEST_F(Settings, AnUnlockedControllerGetsNoKeysAndEndsLocked)
{
    boot();
    board.poke(sim::kFlashBase + sim::Flash::kKeyr, sim::Flash::kKey1);
    board.poke(sim::kFlashBase + sim::Flash::kKeyr, sim::Flash::kKey2);
    ASSERT_FALSE(board.flash().locked());
    run_line("x 27000000\r");
    EXPECT_FALSE(board.flash().key_fault()) << "a key written while unlocked would break the sequence";
    EXPECT_EQ(word0(board.flash().contents()), 27000000u);
    EXPECT_TRUE(board.flash().locked());
}

TEST_F(Settings, PowerLostDuringAWriteNeverLeavesAWrongCrystal)
{
    // Cut after the erase, then after the first half-word.
    for (std::uint64_t programs_done : {0u, 1u}) {
        sim::SimBoard first;
        first.flash().load(page_holding(24000000));
        ASSERT_TRUE(first.run_until_idle(ms(200)));
        const std::string line = "x 30000000\r";
        first.usart().host_send(reinterpret_cast<const std::uint8_t *>(line.data()), line.size());
        ASSERT_TRUE(first.run_until(
            [&] { return first.flash().erases() == 1 && first.flash().programs() == programs_done; }, ms(200)));
        const Page left = first.flash().contents();
        EXPECT_EQ(word0(left), programs_done == 0 ? 0xFFFFFFFFu : 0xFFFF0000u | (30000000u & 0xFFFF));

        PoweredBoard next(left);
        EXPECT_EQ(next.banner_crystal(), "25000000") << "cut after " << programs_done << " half-words";
    }
}

} // namespace
} // namespace snt_test
