#include "board/bench/one_port_file.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <utility>
#include <vector>

#include "board/bench/dut_text.h"

namespace sim {

using text::lower;
using text::number;
using text::parse_real;
using text::printable;
using text::quoted;

namespace {

constexpr std::size_t kMaxTextBytes = 16u << 20;
constexpr std::size_t kMaxLineChars = 4096;
constexpr std::size_t kMaxPoints = 100'000;
constexpr std::size_t kRecordNumbers = 3;

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

// Points in frequency order, interpolated in real and imaginary parts.
class TableLoad final : public OnePort {
public:
    TableLoad(std::vector<double> hz, std::vector<std::complex<double>> s11) : hz_(std::move(hz)), s11_(std::move(s11))
    {}
    std::complex<double> reflection(double hz) const override
    {
        if (hz <= hz_.front()) return s11_.front();
        if (hz >= hz_.back()) return s11_.back();
        const auto i = static_cast<std::size_t>(std::upper_bound(hz_.begin(), hz_.end(), hz) - hz_.begin());
        const double t = (hz - hz_[i - 1]) / (hz_[i] - hz_[i - 1]);
        return s11_[i - 1] + t * (s11_[i] - s11_[i - 1]);
    }

private:
    std::vector<double> hz_;
    std::vector<std::complex<double>> s11_;
};

class OnePortReader {
public:
    explicit OnePortReader(std::string where) : where_(std::move(where)) {}

    void read(const std::string &text)
    {
        if (text.size() > kMaxTextBytes) {
            throw DutError(where_ + ": more than the " + std::to_string(kMaxTextBytes) +
                           " bytes a Touchstone file may have");
        }
        for (std::size_t pos = 0; pos < text.size();) {
            std::size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            ++line_no_;
            if (end - pos > kMaxLineChars) {
                throw DutError(at(line_no_) + ": longer than " + std::to_string(kMaxLineChars) + " characters");
            }
            read_line(text.substr(pos, end - pos));
            pos = end + 1;
        }
    }

    std::unique_ptr<OnePort> finish()
    {
        if (!record_.empty()) {
            throw DutError(where_ + ": the last record has " + std::to_string(record_.size()) + " of its 3 numbers");
        }
        if (hz_.empty()) throw DutError(where_ + ": no data");
        return std::make_unique<TableLoad>(std::move(hz_), std::move(s11_));
    }

private:
    enum class Format { MA, DB, RI };

    std::string at(int line) const { return where_ + " line " + std::to_string(line); }

    void read_line(std::string line)
    {
        if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
        std::vector<std::string> tokens = words(line);
        if (tokens.empty()) return;
        if (tokens[0][0] == '#') {
            // Only the first option line counts, and only before the data.
            if (options_seen_ || !hz_.empty() || !record_.empty()) return;
            options_seen_ = true;
            tokens[0].erase(0, 1);
            read_options(tokens);
            return;
        }
        if (tokens[0][0] == '[')
            throw DutError(at(line_no_) + ": keywords of Touchstone 2 are not read; use version 1");
        for (const std::string &token : tokens) {
            double v = 0;
            if (!parse_real(token, v)) throw DutError(at(line_no_) + ": " + quoted(token) + " is not a number");
            if (record_.empty()) record_line_ = line_no_;
            record_.push_back(v);
            if (record_.size() == kRecordNumbers) add_point();
        }
    }

    void read_options(const std::vector<std::string> &tokens)
    {
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            const std::string t = lower(tokens[i]);
            if (t.empty() || t == "s") continue;
            if (t == "hz" || t == "khz" || t == "mhz" || t == "ghz") {
                unit_ = t == "hz" ? 1 : t == "khz" ? 1e3 : t == "mhz" ? 1e6 : 1e9;
            } else if (t == "y" || t == "z" || t == "h" || t == "g") {
                throw DutError(at(line_no_) + ": only S parameters are read, not " + printable(tokens[i]));
            } else if (t == "ma" || t == "db" || t == "ri") {
                format_ = t == "ma" ? Format::MA : t == "db" ? Format::DB : Format::RI;
            } else if (t == "r") {
                if (i + 1 >= tokens.size() || !parse_real(tokens[i + 1], z0_) || !(z0_ > 0)) {
                    throw DutError(at(line_no_) + ": R must be followed by the reference impedance in ohms");
                }
                ++i;
            } else {
                throw DutError(at(line_no_) + ": unknown option " + quoted(tokens[i]));
            }
        }
    }

    // S11 of the record as the format gives it, against z0.
    std::complex<double> s11() const
    {
        const double a = record_[1], b = record_[2];
        switch (format_) {
        case Format::MA:
            return std::polar(a, b * kDegree);
        case Format::DB:
            return std::polar(std::pow(10.0, a / 20), b * kDegree);
        case Format::RI:
            break;
        }
        return {a, b};
    }

    // S11 against 50 ohm from S11 against z0: the same impedance seen anew.
    std::complex<double> renormalised(std::complex<double> g) const
    {
        if (z0_ == kSystemOhms) return g;
        const double d = z0_ - kSystemOhms, s = z0_ + kSystemOhms;
        return (d + s * g) / (s + d * g);
    }

    void add_point()
    {
        const std::string here = at(record_line_);
        if (hz_.size() >= kMaxPoints) {
            throw DutError(here + ": more than the " + std::to_string(kMaxPoints) + " points a file may have");
        }
        const double f = record_[0] * unit_;
        if (f < 0) throw DutError(here + ": negative frequency " + number(f) + " Hz");
        if (!std::isfinite(f)) throw DutError(here + ": frequency " + number(record_[0]) + " is out of range");
        if (!hz_.empty() && f <= hz_.back()) {
            throw DutError(here + ": frequencies must increase (" + number(f) + " Hz after " + number(hz_.back()) +
                           " Hz)");
        }
        const std::complex<double> g = renormalised(s11());
        if (!(std::abs(g) <= kMaxGain)) {
            throw DutError(here + ": |S11| " + number(std::abs(g)) + " is above the +" + number(kMaxGainDb) +
                           " dB the model takes");
        }
        hz_.push_back(f);
        s11_.push_back(g);
        record_.clear();
    }

    static constexpr double kDegree = 3.14159265358979323846 / 180;

    std::string where_;
    double unit_ = 1e9, z0_ = kSystemOhms;
    Format format_ = Format::MA;
    bool options_seen_ = false;
    std::vector<double> hz_, record_;
    std::vector<std::complex<double>> s11_;
    int line_no_ = 0, record_line_ = 0;
};

} // namespace

std::unique_ptr<OnePort> parse_one_port(const std::string &text, const std::string &where)
{
    OnePortReader reader(where);
    reader.read(text);
    return reader.finish();
}

bool is_one_port_file(const std::string &path)
{
    return path.size() > 4 && lower(path.substr(path.size() - 4)) == ".s1p";
}

} // namespace sim
