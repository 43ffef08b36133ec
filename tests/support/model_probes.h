// Small stand-ins for what a model is wired to on the board, for suites that
// test one model alone.
#pragma once

#include <vector>

#include "board/peripherals/peripheral.h"

namespace snt_test {

// Records each interrupt line's level and counts SysTick pends.
struct IrqProbe : sim::IrqSink {
    std::vector<bool> level = std::vector<bool>(32, false);
    int systick_pends = 0;
    void set_irq_level(int irq, bool high) override { level[irq] = high; }
    void pend_systick() override { ++systick_pends; }
};

} // namespace snt_test
