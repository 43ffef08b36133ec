#include "board/statistics.h"

#include <cstdio>

#include "board/peripherals/memory_map.h"

namespace sim {

Statistics statistics(const Board &board)
{
    const Cpu &cpu = board.cpu();
    Statistics s;
    s.emplace_back("cycles", std::to_string(board.now()));
    if (const auto instructions = cpu.instructions()) s.emplace_back("instructions", std::to_string(*instructions));
    for (int e = 0; e < kExceptionCount; ++e) {
        const HandlerFigures h = cpu.handler(e);
        if (h.count == 0) continue;
        const char *known = exception_name(e);
        const std::string name = std::string("irq.") + (known ? known : "exception" + std::to_string(e));
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.1f", static_cast<double>(h.cycles_total) / static_cast<double>(h.count));
        s.emplace_back(name + ".count", std::to_string(h.count));
        s.emplace_back(name + ".cycles_max", std::to_string(h.cycles_max));
        s.emplace_back(name + ".cycles_mean", mean);
    }
    s.emplace_back("adc.overruns", std::to_string(board.adc().overruns()));
    s.emplace_back("usart.overruns", std::to_string(board.usart().overruns()));
    s.emplace_back("flash.stall_cycles", std::to_string(cpu.flash_stall_cycles()));
    return s;
}

} // namespace sim
