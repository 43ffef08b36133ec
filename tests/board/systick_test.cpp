// The SysTick model on its own: the reload period, COUNTFLAG and its
// interrupt.
#include <gtest/gtest.h>

#include "board/peripherals/scheduler.h"
#include "board/peripherals/systick.h"
#include "model_probes.h"

namespace snt_test {
namespace {

TEST(SysTickModel, WrapsOncePerReloadPeriodAndTheFlagClearsOnRead)
{
    sim::Scheduler sched;
    IrqProbe irq;
    sim::SysTick st(sched, irq);
    st.reset();
    st.write(sim::SysTick::kLoad, 7999, 4);
    st.write(sim::SysTick::kVal, 0, 4);
    st.write(sim::SysTick::kCtrl, sim::SysTick::kEnable | sim::SysTick::kClkSource, 4);

    sched.advance_to(7999);
    EXPECT_EQ(st.read(sim::SysTick::kCtrl, 4) & sim::SysTick::kCountFlag, 0u) << "no wrap before one full period";
    sched.advance_to(8000);
    EXPECT_NE(st.read(sim::SysTick::kCtrl, 4) & sim::SysTick::kCountFlag, 0u);
    EXPECT_EQ(st.read(sim::SysTick::kCtrl, 4) & sim::SysTick::kCountFlag, 0u) << "reading CTRL clears the flag";
    EXPECT_EQ(irq.systick_pends, 0) << "no interrupt without TICKINT";

    st.write(sim::SysTick::kCtrl, sim::SysTick::kEnable | sim::SysTick::kClkSource | sim::SysTick::kTickInt, 4);
    constexpr sim::Cycles kPeriod = 8000; // LOAD + 1
    sched.advance_to(kPeriod * 5);
    EXPECT_EQ(st.wraps(), 5u);
    EXPECT_EQ(irq.systick_pends, 4);
    sched.advance_to(kPeriod * 5 + 1000);
    EXPECT_EQ(st.read(sim::SysTick::kVal, 4), 7999u - 999u) << "VAL counts down from LOAD";
}

} // namespace
} // namespace snt_test
