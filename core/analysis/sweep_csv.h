// Sweeps as write_csv writes them (frequency_hz,level,db, with a fourth
// column `overload` when a point clipped at the ADC), read back from
// text: as a reference to take dB against, or as a saved sweep to draw
// again. The text comes line by line from whoever has it (a file read
// within bounds, a buffer in memory); every refusal is an InputError that
// names the text and the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/analysis/line_splitter.h"
#include "core/analysis/sweep.h"

namespace snt {

enum class SweepCsv {
    // Every level a finite number above 0 (or empty for a gap), small
    // enough to take dB against; the db column is recomputed.
    Reference,
    // The db column as it is in the text; a level may be 0.
    Saved,
};

// A reference line is at most a frequency, a level and dB (about 45 bytes
// from write_csv); the text at most a sweep's worth of them.
constexpr LineSplitter::Limits kSweepCsvLimits{1024, std::uint64_t{128} << 20};

// The header of a sweep with points that clipped at the ADC: those have
// "1" in the last column and no dB.
constexpr const char *kOverloadCsvHeader = "frequency_hz,level,db,overload";

class SweepCsvParser {
public:
    // `name` names the text in messages (shown printable).
    SweepCsvParser(std::string_view name, SweepCsv kind);

    // The next line, without its end, and its number from 1. Lines
    // starting with '#' are comments. Throws InputError.
    void line(const std::string &text, std::size_t number);
    // The sweep read; InputError when there was no header or no point.
    SweepResult result();

private:
    std::string name_;
    SweepCsv kind_;
    bool header_ = false;
    bool overload_column_ = false;
    std::vector<SweepPoint> points_;
};

// The whole text at once, within kSweepCsvLimits, with the refusals of a
// file read piece by piece.
SweepResult parse_sweep_csv(std::string_view text, std::string_view name, SweepCsv kind);

} // namespace snt
