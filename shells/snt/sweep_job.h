// `snt sweep` on a device: one sweep or the mean of several, the offset
// added back and the overloaded points taken out, return loss and SWR when
// asked, the files and the summary with its markers, and the outputs off
// afterwards when asked.
#pragma once

#include <string>
#include <vector>

#include "shells/snt/device.h"
#include "shells/snt/options.h"
#include "shells/snt/sweep_files.h"

namespace snt {

// Runs the sweep `inv` asks for. After an interruption or a lost device
// the points (or the mean of the sweeps) measured so far go to
// FILE.partial, and the error goes on.
void run_sweep(Device &device, const Invocation &inv, SweepFiles &files);

// "wrote PATH" a line for each.
std::string wrote(const std::vector<std::string> &paths);

} // namespace snt
