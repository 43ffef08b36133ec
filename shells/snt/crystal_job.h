// `snt crystal`: one crystal or a batch measured by the adaptive search
// (core/analysis/crystal_search.h), each crystal's parameters and its
// time on a real tester printed, a CSV row appended for each, and a batch
// matched by fs at the end.
#pragma once

#include "shells/snt/options.h"

namespace snt {

// Runs `snt crystal` as `inv` asks: on the tester at --port, or on the
// virtual board, which holding a batch (--dut crystals:...) is started
// afresh for each crystal with that one in the fixture. Throws what the
// device or the files throw; Interrupted after saying what was kept.
void run_crystal(const Invocation &inv);

} // namespace snt
