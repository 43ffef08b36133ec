// What the board tells of a run, one name and one value a line: cycles,
// instructions (where the CPU counts them), every handler that ran
// (irq.NAME.count, .cycles_max, .cycles_mean, NAME as in the vector table),
// overruns of the ADC and the serial receiver, flash stalls.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "board/board.h"

namespace sim {

using Statistics = std::vector<std::pair<std::string, std::string>>;

Statistics statistics(const Board &board);

} // namespace sim
