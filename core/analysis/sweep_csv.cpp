#include "core/analysis/sweep_csv.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/analysis/frequency.h"
#include "core/text/from_chars.h"
#include "core/text/text.h"

namespace snt {

namespace {

// The pieces a text is handed on in, as a file would be read.
constexpr std::size_t kPiece = 65536;

} // namespace

SweepCsvParser::SweepCsvParser(std::string_view name, SweepCsv kind) : name_(printable(name)), kind_(kind) {}

void SweepCsvParser::line(const std::string &text, std::size_t number)
{
    if (!header_) {
        if (text != "frequency_hz,level,db")
            throw InputError(name_ + " is not a sweep CSV (its first line is not frequency_hz,level,db)");
        header_ = true;
        return;
    }
    // Lines starting with '#' are comments, as pandas' read_csv(comment='#') takes them.
    if (text.empty() || text[0] == '#') return;
    const bool as_reference = kind_ == SweepCsv::Reference;
    const std::string at = name_ + " line " + std::to_string(number) + ": ";
    const auto bad = [&] { return InputError(at + "cannot read " + in_quotes(text)); };
    const auto c1 = text.find(',');
    const auto c2 = c1 == std::string::npos ? c1 : text.find(',', c1 + 1);
    if (c2 == std::string::npos || text.find(',', c2 + 1) != std::string::npos) throw bad();
    const char *s = text.data();
    SweepPoint p;
    const auto fr = std::from_chars(s, s + c1, p.frequency);
    if (c1 == 0 || fr.ec != std::errc() || fr.ptr != s + c1) throw bad();
    if (c2 > c1 + 1) {
        double v = 0;
        const auto lr = snt_text::from_chars(s + c1 + 1, s + c2, v);
        if (lr.ptr != s + c2 || (lr.ec != std::errc() && lr.ec != std::errc::result_out_of_range)) throw bad();
        const std::string level = text.substr(c1 + 1, c2 - c1 - 1);
        if (lr.ec != std::errc()) throw InputError(at + "the level " + in_quotes(level) + " is out of range");
        if (!std::isfinite(v)) throw InputError(at + "the level " + in_quotes(level) + " is not a finite number");
        if (v < 0 || (as_reference && v == 0))
            throw InputError(at + "the level " + in_quotes(level) +
                             " is not above 0: a reference needs a positive level at every point (or an empty "
                             "field where the tester could not make the frequency)");
        // A tester reports at most the largest float: dB of any level
        // against this one must stay finite.
        if (as_reference && !std::isfinite(static_cast<double>(std::numeric_limits<float>::max()) / v))
            throw InputError(at + "the level " + in_quotes(level) + " is too small to take dB against");
        p.level = v;
    }
    std::optional<double> db;
    if (c2 + 1 < text.size()) {
        // For a reference the dB are recomputed; the column only has to be a number.
        double v = 0;
        const auto dr = snt_text::from_chars(s + c2 + 1, s + text.size(), v);
        if (dr.ec != std::errc() || dr.ptr != s + text.size() || !std::isfinite(v)) throw bad();
        db = v;
    }
    if (points_.size() == kMaxPoints)
        throw InputError(name_ + " has more than " + std::to_string(kMaxPoints) +
                         " points, more than a sweep can have");
    p.db = as_reference ? decibels(p.level, kFullScaleLevel) : db;
    points_.push_back(p);
}

SweepResult SweepCsvParser::result()
{
    if (!header_) throw InputError(name_ + " is empty: not a sweep CSV");
    if (points_.empty()) throw InputError(name_ + " has no points");
    return SweepResult(std::move(points_));
}

SweepResult parse_sweep_csv(std::string_view text, std::string_view name, SweepCsv kind)
{
    LineSplitter lines(name, kSweepCsvLimits);
    SweepCsvParser parser(name, kind);
    const auto take = [&] {
        while (const auto line = lines.next()) parser.line(*line, lines.line_number());
    };
    for (std::size_t at = 0; at < text.size(); at += kPiece) {
        lines.feed(text.substr(at, kPiece));
        take();
    }
    lines.end();
    take();
    return parser.result();
}

} // namespace snt
