// The summary of a saved sweep's levels, taken against full scale, as the
// native core gives it, for the WebAssembly module's test to hold its own
// against (the same arithmetic on the same numbers):
//   saved_summary FILE.csv
#include <cstdio>
#include <exception>

#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/analysis/trace.h"
#include "shells/snt/sweep_io.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fputs("usage: saved_summary FILE.csv\n", stderr);
        return 2;
    }
    try {
        const snt::SweepResult saved = snt::read_sweep_csv(argv[1], snt::SweepCsv::Saved);
        const snt::SweepResult db = snt::trace_db(saved.points(), nullptr);
        std::fputs(snt::Summary::of(db).text().c_str(), stdout);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "saved_summary: %s\n", e.what());
        return 1;
    }
}
