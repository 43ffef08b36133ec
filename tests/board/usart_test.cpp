// The USART1 model on its own: byte timing, receive flags and their clears,
// and the transmitter's data and shift registers.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "board/peripherals/scheduler.h"
#include "board/peripherals/usart.h"
#include "model_probes.h"

namespace snt_test {
namespace {

using sim::Cycles;

constexpr Cycles kByte = 690; // one frame at BRR 69

class UsartModel : public ::testing::Test {
protected:
    sim::Scheduler sched;
    IrqProbe irq;
    sim::Usart usart{sched, irq, 27};
    std::vector<std::pair<Cycles, int>> sent;

    void SetUp() override
    {
        usart.reset();
        usart.write(sim::Usart::kBrr, 69, 4);
        usart.write(sim::Usart::kCr1, sim::Usart::kUE | sim::Usart::kRE | sim::Usart::kTE | sim::Usart::kRXNEIE, 4);
        usart.set_tx_sink([this](std::uint8_t b) { sent.emplace_back(sched.now(), b); });
    }
    void host(std::vector<std::uint8_t> bytes) { usart.host_send(bytes.data(), bytes.size()); }
};

TEST_F(UsartModel, ReceivesOneByteTimeApartAndOverrunsWhenNotRead)
{
    EXPECT_EQ(usart.byte_cycles(), 690u) << "BRR 69: 115,942 baud, 86.25 us a byte";
    host({'a', 'b', 'c'});
    sched.advance_to(689);
    EXPECT_FALSE(usart.isr() & sim::Usart::kRXNE);
    sched.advance_to(690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kRXNE);
    EXPECT_TRUE(irq.level[27]);
    EXPECT_EQ(usart.read(sim::Usart::kRdr, 4), unsigned('a'));
    EXPECT_FALSE(usart.isr() & sim::Usart::kRXNE) << "reading RDR empties it";
    EXPECT_FALSE(irq.level[27]);

    sched.advance_to(3 * kByte); // 'b' and then 'c' arrive while nobody reads
    EXPECT_TRUE(usart.isr() & sim::Usart::kORE);
    EXPECT_EQ(usart.read(sim::Usart::kRdr, 4), unsigned('b')) << "the older byte stays, the newer is lost";
    EXPECT_TRUE(irq.level[27]) << "a pending overrun keeps the receive interrupt raised";
    usart.write(sim::Usart::kIcr, sim::Usart::kORE, 4);
    EXPECT_FALSE(irq.level[27]);
}

TEST_F(UsartModel, IdleAndCharacterMatchFlags)
{
    host({0x00});
    sched.advance_to(690);
    EXPECT_TRUE(usart.isr() & sim::Usart::kCMF) << "a zero byte matches the reset value of CR2.ADD";
    usart.read(sim::Usart::kRdr, 4);
    EXPECT_FALSE(usart.isr() & sim::Usart::kIDLE);
    sched.advance_to(2 * kByte);
    EXPECT_TRUE(usart.isr() & sim::Usart::kIDLE) << "idle one frame after the last byte";
    usart.write(sim::Usart::kIcr, sim::Usart::kIDLE | sim::Usart::kCMF, 4);
    EXPECT_FALSE(usart.isr() & (sim::Usart::kIDLE | sim::Usart::kCMF));

    const std::uint8_t noisy = 'n';
    usart.host_send(&noisy, 1, sim::Usart::kNoise);
    sched.advance_to(4 * kByte);
    EXPECT_TRUE(usart.isr() & sim::Usart::kNE);
    EXPECT_EQ(usart.read(sim::Usart::kRdr, 4), unsigned('n')) << "a byte with noise is still received";
}

TEST_F(UsartModel, TransmitterHasDataAndShiftRegisters)
{
    EXPECT_TRUE(usart.tx_idle());
    usart.write(sim::Usart::kTdr, 'x', 4);
    EXPECT_TRUE(usart.isr() & sim::Usart::kTXE) << "the first byte moves straight to the shift register";
    EXPECT_FALSE(usart.isr() & sim::Usart::kTC);
    usart.write(sim::Usart::kTdr, 'y', 4);
    EXPECT_FALSE(usart.isr() & sim::Usart::kTXE);
    sched.advance_to(690);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], std::make_pair(Cycles(690), int('x')));
    EXPECT_TRUE(usart.isr() & sim::Usart::kTXE);
    sched.advance_to(1380);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].second, 'y');
    EXPECT_TRUE(usart.tx_idle());
}

} // namespace
} // namespace snt_test
