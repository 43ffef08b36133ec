#include "sweep.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "frequency.h"
#include "line_reader.h"
#include "text.h"

namespace snt {

namespace {

std::optional<double> db_of(std::optional<double> level, double reference)
{
    if (!level || *level <= 0 || reference <= 0) return std::nullopt;
    return 10.0 * std::log10(*level / reference);
}

// A reference line is at most a frequency, a level and dB (about 45
// bytes from write_csv); the file at most a sweep's worth of them.
constexpr std::size_t kMaxReferenceLine = 1024;
constexpr std::uint64_t kMaxReferenceBytes = std::uint64_t{128} << 20;

std::string range_text()
{
    return format_frequency(kMinFrequency) + " to " + format_frequency(kMaxFrequency);
}

} // namespace

void check_frequency(std::uint32_t hz, const std::string &what)
{
    if (hz < kMinFrequency || hz > kMaxFrequency)
        throw InputError(what + " " + format_frequency(hz) + " is out of range: the tester covers " + range_text());
}

void check_crystal(std::uint32_t hz)
{
    if (hz < kMinCrystal || hz > kMaxCrystal)
        throw InputError("crystal frequency " + std::to_string(hz) + " Hz is out of range: the tester accepts " +
                         std::to_string(kMinCrystal) + " to " + std::to_string(kMaxCrystal) + " Hz");
}

SweepPlan SweepPlan::make(std::uint32_t start, std::uint32_t stop, std::optional<std::uint32_t> points,
                          std::optional<std::uint32_t> step)
{
    check_frequency(start, "start frequency");
    check_frequency(stop, "stop frequency");
    if (stop < start) throw InputError("the stop frequency is below the start frequency");
    if (points.has_value() == step.has_value()) throw InputError("give either --points or --step, not both or neither");
    SweepPlan plan;
    plan.start = start;
    const std::uint32_t span = stop - start;
    if (points) {
        if (*points == 0) throw InputError("--points must be at least 1");
        if (*points > kMaxPoints)
            throw InputError(std::to_string(*points) + " points are too many: at most " + std::to_string(kMaxPoints) +
                             " in one sweep");
        plan.points = *points;
        if (*points == 1) {
            plan.step = 1;
        } else {
            if (span == 0) throw InputError("start and stop are the same: use --points 1");
            const double s = std::round(static_cast<double>(span) / (*points - 1));
            if (s < 1)
                throw InputError("too many points: " + std::to_string(*points) + " points over " +
                                 format_frequency(span) + " would be less than 1 Hz apart");
            plan.step = static_cast<std::uint32_t>(s);
            // Rounding the step up must not take the last point past the range.
            while (plan.points > 1 && static_cast<std::uint64_t>(plan.step) * (plan.points - 1) + start > kMaxFrequency)
                --plan.step;
        }
    } else {
        if (*step == 0) throw InputError("--step must be more than 0 Hz");
        plan.step = *step;
        plan.points = span / *step + 1;  // at most 200 million: fits
    }
    if (plan.points > kMaxPoints)
        throw InputError(std::to_string(plan.points) + " points are too many: at most " + std::to_string(kMaxPoints) +
                         " in one sweep");
    return plan;
}

SweepResult::SweepResult(const SweepPlan &plan, const std::vector<std::optional<double>> &levels)
{
    points_.reserve(levels.size());
    for (std::uint32_t i = 0; i < levels.size(); ++i)
        points_.push_back({plan.frequency(i), levels[i], db_of(levels[i], kFullScaleLevel)});
}

void SweepResult::normalise(const SweepResult &reference)
{
    const auto &ref = reference.points_;
    const std::size_t n = std::min(ref.size(), points_.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (ref[i].frequency != points_[i].frequency)
            throw InputError("the reference does not fit this sweep: its point " + std::to_string(i + 1) + " is at " +
                             std::to_string(ref[i].frequency) + " Hz, this sweep's at " +
                             std::to_string(points_[i].frequency) + " Hz");
    }
    if (ref.size() != points_.size()) {
        const std::string which = ref.size() < points_.size()
                                      ? "this sweep's point at " + std::to_string(points_[n].frequency) + " Hz"
                                      : "its point at " + std::to_string(ref[n].frequency) + " Hz";
        throw InputError("the reference does not fit this sweep: it has " + std::to_string(ref.size()) +
                         " points, this sweep " + std::to_string(points_.size()) + "; the first without a partner is " +
                         which);
    }
    for (std::size_t i = 0; i < n; ++i)
        points_[i].db = ref[i].level ? db_of(points_[i].level, *ref[i].level) : std::nullopt;
}

void SweepResult::write_csv(std::ostream &out) const
{
    out << "frequency_hz,level,db\n";
    char buf[128];
    for (const auto &p : points_) {
        out << p.frequency << ',';
        if (p.level) {
            std::snprintf(buf, sizeof buf, "%.2f", *p.level);
            out << buf;
        }
        out << ',';
        if (p.db) {
            std::snprintf(buf, sizeof buf, "%.3f", *p.db);
            out << buf;
        }
        out << '\n';
    }
}

std::string SweepResult::csv() const
{
    std::ostringstream out;
    write_csv(out);
    return out.str();
}

SweepResult SweepResult::read_csv(const std::string &path)
{
    LineReader in(path, {kMaxReferenceLine, kMaxReferenceBytes});
    const std::string name = printable(path);
    const auto header = in.next();
    if (!header) throw InputError(name + " is empty: not a sweep CSV");
    if (*header != "frequency_hz,level,db")
        throw InputError(name + " is not a sweep CSV (its first line is not frequency_hz,level,db)");
    std::vector<SweepPoint> points;
    while (const auto line = in.next()) {
        if (line->empty()) continue;
        const std::string at = name + " line " + std::to_string(in.line_number()) + ": ";
        const auto bad = [&] { return InputError(at + "cannot read " + in_quotes(*line)); };
        const auto c1 = line->find(',');
        const auto c2 = c1 == std::string::npos ? c1 : line->find(',', c1 + 1);
        if (c2 == std::string::npos || line->find(',', c2 + 1) != std::string::npos) throw bad();
        const char *text = line->data();
        SweepPoint p;
        const auto fr = std::from_chars(text, text + c1, p.frequency);
        if (c1 == 0 || fr.ec != std::errc() || fr.ptr != text + c1) throw bad();
        if (c2 > c1 + 1) {
            double v = 0;
            const auto lr = std::from_chars(text + c1 + 1, text + c2, v);
            if (lr.ptr != text + c2 || (lr.ec != std::errc() && lr.ec != std::errc::result_out_of_range)) throw bad();
            const std::string level = line->substr(c1 + 1, c2 - c1 - 1);
            if (lr.ec != std::errc())
                throw InputError(at + "the level " + in_quotes(level) + " is out of range");
            if (!std::isfinite(v)) throw InputError(at + "the level " + in_quotes(level) + " is not a finite number");
            if (v <= 0)
                throw InputError(at + "the level " + in_quotes(level) +
                                 " is not above 0: a reference needs a positive level at every point (or an empty "
                                 "field where the tester could not make the frequency)");
            p.level = v;
        }
        if (c2 + 1 < line->size()) {
            // The dB are recomputed; the column only has to be a number.
            double db = 0;
            const auto dr = std::from_chars(text + c2 + 1, text + line->size(), db);
            if (dr.ec != std::errc() || dr.ptr != text + line->size()) throw bad();
        }
        if (points.size() == kMaxPoints)
            throw InputError(name + " has more than " + std::to_string(kMaxPoints) +
                             " points, more than a sweep can have");
        p.db = db_of(p.level, kFullScaleLevel);
        points.push_back(p);
    }
    if (points.empty()) throw InputError(name + " has no points");
    return SweepResult(std::move(points));
}

} // namespace snt
