#include "board/bench/touchstone.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "board/bench/dut_text.h"

namespace sim::touchstone {

using text::lower;
using text::number;
using text::parse_real;
using text::printable;
using text::quoted;

namespace {

// Where a magnitude of 0 goes on the dB scale.
constexpr double kFloorDb = -300.0;

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

// True for a file name ending in .sNp with N other than 2.
bool other_port_count(const std::string &path)
{
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
    const std::string ext = lower(path.substr(dot + 1));
    if (ext.size() < 3 || ext.front() != 's' || ext.back() != 'p') return false;
    for (std::size_t i = 1; i + 1 < ext.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(ext[i]))) return false;
    }
    return ext != "s2p";
}

// Reads a version 1 two-port file line by line: the option line, then
// records of nine numbers (frequency and the four S parameters), which may
// wrap over lines, then perhaps noise parameters, which are skipped.
class TouchstoneReader {
public:
    explicit TouchstoneReader(std::string where) : where_(std::move(where)) {}

    void read(const std::string &text)
    {
        if (text.size() > kMaxBytes) {
            throw DutError(where_ + ": more than the " + std::to_string(kMaxBytes) +
                           " bytes a Touchstone file may have");
        }
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            ++line_no_;
            if (end - pos > kMaxLineChars) {
                throw DutError(where_ + " line " + std::to_string(line_no_) + ": longer than " +
                               std::to_string(kMaxLineChars) + " characters");
            }
            read_line(text.substr(pos, end - pos));
            pos = end + 1;
        }
    }

    std::unique_ptr<Dut> finish()
    {
        if (!record_.empty()) {
            throw DutError(where_ + ": the last record has " + std::to_string(record_.size()) + " of its 9 numbers");
        }
        if (hz_.empty()) throw DutError(where_ + ": no data");
        return make_table(std::move(hz_), std::move(db_));
    }

private:
    enum class Format { MA, DB, RI };

    void read_line(std::string line)
    {
        if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
        std::vector<std::string> tokens = words(line);
        if (tokens.empty()) return;
        const std::string at = where_ + " line " + std::to_string(line_no_);
        if (tokens[0][0] == '#') {
            // Only the first option line counts, and only before the data.
            if (options_seen_ || !hz_.empty() || !record_.empty()) return;
            options_seen_ = true;
            tokens[0].erase(0, 1);
            read_options(tokens, at);
            return;
        }
        if (tokens[0][0] == '[') throw DutError(at + ": keywords of Touchstone 2 are not read; use version 1");

        std::vector<double> values(tokens.size());
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!parse_real(tokens[i], values[i])) throw DutError(at + ": " + quoted(tokens[i]) + " is not a number");
        }
        // The noise parameters start with a frequency not above the last one.
        if (!noise_ && record_.empty() && !hz_.empty() && values[0] * unit_ <= hz_.back() && values.size() == 5) {
            noise_ = true;
        }
        if (noise_) {
            if (values.size() != 5) throw DutError(at + ": a noise parameter line has 5 numbers");
            return;
        }
        for (double v : values) {
            if (record_.empty()) record_line_ = line_no_;
            record_.push_back(v);
            if (record_.size() == 9) add_point();
        }
    }

    void read_options(const std::vector<std::string> &tokens, const std::string &at)
    {
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const std::string t = lower(tokens[i]);
            if (t.empty() || t == "s") continue;
            if (t == "hz" || t == "khz" || t == "mhz" || t == "ghz") {
                unit_ = t == "hz" ? 1 : t == "khz" ? 1e3 : t == "mhz" ? 1e6 : 1e9;
            } else if (t == "y" || t == "z" || t == "h" || t == "g") {
                throw DutError(at + ": only S parameters are read, not " + printable(tokens[i]));
            } else if (t == "ma" || t == "db" || t == "ri") {
                format_ = t == "ma" ? Format::MA : t == "db" ? Format::DB : Format::RI;
            } else if (t == "r") {
                double z0 = 0;
                if (i + 1 >= tokens.size() || !parse_real(tokens[i + 1], z0) || !(z0 > 0)) {
                    throw DutError(at + ": R must be followed by the reference impedance in ohms");
                }
                ++i;
            } else {
                throw DutError(at + ": unknown option " + quoted(tokens[i]));
            }
        }
    }

    // |S21| of the record in dB, as the format gives it.
    double gain_db() const
    {
        switch (format_) {
        case Format::MA:
            if (record_[3] != 0) return 20 * std::log10(std::fabs(record_[3]));
            break;
        case Format::DB:
            return record_[3];
        case Format::RI:
            if (const double m = std::hypot(record_[3], record_[4]); m != 0) return 20 * std::log10(m);
            break;
        }
        return kFloorDb;
    }

    void add_point()
    {
        const std::string at = where_ + " line " + std::to_string(record_line_);
        if (hz_.size() >= kMaxPoints) {
            throw DutError(at + ": more than the " + std::to_string(kMaxPoints) + " points a file may have");
        }
        const double f = record_[0] * unit_;
        if (f < 0) throw DutError(at + ": negative frequency " + number(f) + " Hz");
        if (!std::isfinite(f)) throw DutError(at + ": frequency " + number(record_[0]) + " is out of range");
        if (!hz_.empty() && f <= hz_.back()) {
            throw DutError(at + ": frequencies must increase (" + number(f) + " Hz after " + number(hz_.back()) +
                           " Hz)");
        }
        const double gain = gain_db();
        if (!(gain <= kMaxGainDb)) {
            throw DutError(at + ": |S21| " + number(record_[3]) + " is above the +" + number(kMaxGainDb) +
                           " dB the model takes");
        }
        hz_.push_back(f);
        db_.push_back(std::max(gain, kFloorDb));
        record_.clear();
    }

    std::string where_;
    double unit_ = 1e9;
    Format format_ = Format::MA;
    bool options_seen_ = false, noise_ = false;
    std::vector<double> hz_, db_, record_;
    int line_no_ = 0, record_line_ = 0;
};

} // namespace

std::string where(const std::string &path) { return "touchstone: " + printable(path); }

void check_name(const std::string &path)
{
    if (other_port_count(path)) throw DutError(where(path) + ": only two-port files (.s2p) are read");
}

std::unique_ptr<Dut> parse(const std::string &path, const std::string &text)
{
    check_name(path);
    TouchstoneReader reader(where(path));
    reader.read(text);
    return reader.finish();
}

} // namespace sim::touchstone
