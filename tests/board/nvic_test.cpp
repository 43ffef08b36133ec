// The NVIC model on its own: level lines, priorities and pre-emption.
#include <gtest/gtest.h>

#include "board/peripherals/nvic.h"

namespace snt_test {
namespace {

using sim::Nvic;

TEST(NvicModel, LevelLinesPendOnRisingEdgeOrWhileInactive)
{
    Nvic nvic;
    nvic.reset();
    nvic.write(Nvic::kIser, (1u << 12) | (1u << 27), 4); // enable ADC and USART1
    nvic.write(Nvic::kIpr + 12, 0x00, 4);                // IP[3]: IRQ 12 priority 0
    nvic.write(Nvic::kIpr + 24, 0x40u << 24, 4);         // IP[6]: IRQ 27 priority 1

    nvic.set_irq_level(27, true);
    EXPECT_EQ(nvic.next_to_take(sim::kThreadPriority), sim::kIrqBase + 27);
    nvic.activate(sim::kIrqBase + 27);
    EXPECT_EQ(nvic.next_to_take(0x40), -1) << "the active interrupt is not taken again";

    nvic.set_irq_level(12, true);
    EXPECT_EQ(nvic.next_to_take(0x40), sim::kIrqBase + 12) << "priority 0 pre-empts priority 1";
    nvic.activate(sim::kIrqBase + 12);
    nvic.set_irq_level(12, false);
    nvic.deactivate(sim::kIrqBase + 12);

    nvic.set_irq_level(27, false);
    nvic.set_irq_level(27, true); // a new byte while the handler runs
    nvic.set_irq_level(27, false);
    nvic.deactivate(sim::kIrqBase + 27);
    EXPECT_TRUE(nvic.irq_pending(27)) << "a rising edge while active is latched";

    nvic.activate(sim::kIrqBase + 12);
    nvic.set_irq_level(27, true);
    EXPECT_EQ(nvic.next_to_take(0x00), -1) << "priority 1 never pre-empts priority 0";
}

} // namespace
} // namespace snt_test
