#include "board/bench/touchstone_lines.h"

#include <cctype>
#include <cmath>
#include <utility>

#include "board/bench/dut.h"
#include "board/bench/dut_text.h"

namespace sim::touchstone {

using text::lower;
using text::number;
using text::parse_real;
using text::printable;
using text::quoted;

namespace {

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) ++i;
        std::size_t j = i;
        while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

} // namespace

void LineReader::read(const std::string &text, const std::function<void(const std::vector<double> &, int)> &data)
{
    if (text.size() > kMaxBytes) {
        throw DutError(where_ + ": more than the " + std::to_string(kMaxBytes) + " bytes a Touchstone file may have");
    }
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++line_no_;
        if (end - pos > kMaxLineChars) {
            throw DutError(at(line_no_) + ": longer than " + std::to_string(kMaxLineChars) + " characters");
        }
        read_line(text.substr(pos, end - pos), data);
        pos = end + 1;
    }
}

void LineReader::read_line(std::string line, const std::function<void(const std::vector<double> &, int)> &data)
{
    if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
    std::vector<std::string> tokens = words(line);
    if (tokens.empty()) return;
    if (tokens[0][0] == '#') {
        // Only the first option line counts, and only before the data.
        if (options_seen_ || data_seen_) return;
        options_seen_ = true;
        tokens[0].erase(0, 1);
        read_options(tokens);
        return;
    }
    if (tokens[0][0] == '[') throw DutError(at(line_no_) + ": keywords of Touchstone 2 are not read; use version 1");
    std::vector<double> values(tokens.size());
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        if (!parse_real(tokens[i], values[i]))
            throw DutError(at(line_no_) + ": " + quoted(tokens[i]) + " is not a number");
    }
    data_seen_ = true;
    data(values, line_no_);
}

void LineReader::read_options(const std::vector<std::string> &tokens)
{
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const std::string t = lower(tokens[i]);
        if (t.empty() || t == "s") continue;
        if (t == "hz" || t == "khz" || t == "mhz" || t == "ghz") {
            options_.unit = t == "hz" ? 1 : t == "khz" ? 1e3 : t == "mhz" ? 1e6 : 1e9;
        } else if (t == "y" || t == "z" || t == "h" || t == "g") {
            throw DutError(at(line_no_) + ": only S parameters are read, not " + printable(tokens[i]));
        } else if (t == "ma" || t == "db" || t == "ri") {
            options_.format = t == "ma" ? Format::MA : t == "db" ? Format::DB : Format::RI;
        } else if (t == "r") {
            if (i + 1 >= tokens.size() || !parse_real(tokens[i + 1], options_.z0) || !(options_.z0 > 0)) {
                throw DutError(at(line_no_) + ": R must be followed by the reference impedance in ohms");
            }
            ++i;
        } else {
            throw DutError(at(line_no_) + ": unknown option " + quoted(tokens[i]));
        }
    }
}

double LineReader::frequency(double value, int line, std::size_t points, double last_hz) const
{
    const std::string here = at(line);
    if (points >= kMaxPoints) {
        throw DutError(here + ": more than the " + std::to_string(kMaxPoints) + " points a file may have");
    }
    const double f = value * options_.unit;
    if (f < 0) throw DutError(here + ": negative frequency " + number(f) + " Hz");
    if (!std::isfinite(f)) throw DutError(here + ": frequency " + number(value) + " is out of range");
    if (points > 0 && f <= last_hz) {
        throw DutError(here + ": frequencies must increase (" + number(f) + " Hz after " + number(last_hz) + " Hz)");
    }
    return f;
}

} // namespace sim::touchstone
