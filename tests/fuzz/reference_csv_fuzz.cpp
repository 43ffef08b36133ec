// Reference sweeps as `snt sweep --ref FILE` reads them, the input as the
// text of the file (the reader's bounds and refusals are the file's). A
// text is refused with a one-line message, or gives points that a sweep can
// be normalised against: at most a sweep's worth, every level present
// finite and above 0.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/analysis/frequency.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_csv.h"

namespace {

[[noreturn]] void fail(const char *what, std::size_t point)
{
    std::fprintf(stderr, "reference point %zu: %s\n", point + 1, what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    try {
        snt::SweepResult ref = snt::parse_sweep_csv(text, "ref.csv", snt::SweepCsv::Reference);
        const auto &points = ref.points();
        if (points.empty() || points.size() > snt::kMaxPoints) fail("the point count is out of bounds", points.size());
        for (std::size_t i = 0; i < points.size(); ++i) {
            const auto &p = points[i];
            if (p.level && !(std::isfinite(*p.level) && *p.level > 0)) fail("a level that is not positive", i);
            if (p.level.has_value() != p.db.has_value()) fail("dB without a level or a level without dB", i);
            if (p.db && !std::isfinite(*p.db)) fail("dB that are not finite", i);
        }
        // Against itself: 0 dB wherever there is a level.
        snt::SweepResult same = ref;
        same.normalise(ref);
        for (std::size_t i = 0; i < points.size(); ++i) {
            const auto &p = same.points()[i];
            if (p.level.has_value() != p.db.has_value() || (p.db && *p.db != 0)) fail("not 0 dB against itself", i);
        }
        // The levels a tester can send (floats with two decimals: 0.01 up to
        // the largest float) have finite dB against every reference point.
        for (const double level : {0.01, static_cast<double>(std::numeric_limits<float>::max())}) {
            std::vector<snt::SweepPoint> measured;
            measured.reserve(points.size());
            for (const auto &p : points) measured.push_back({p.frequency, level, std::nullopt});
            snt::SweepResult sweep(std::move(measured));
            sweep.normalise(ref);
            for (std::size_t i = 0; i < points.size(); ++i) {
                const auto &db = sweep.points()[i].db;
                if (points[i].level.has_value() != db.has_value() || (db && !std::isfinite(*db))) {
                    fail("a level the tester can send has no finite dB against it", i);
                }
            }
        }
    } catch (const snt::InputError &e) {
        if (*e.what() == 0) std::abort(); // snt escapes the text as it prints it
    }
    return 0;
}
