#include "board/bench/one_port_file.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <utility>
#include <vector>

#include "board/bench/dut_text.h"
#include "board/bench/touchstone_lines.h"

namespace sim {

using text::lower;
using text::number;

namespace {

constexpr std::size_t kRecordNumbers = 3;

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
    explicit OnePortReader(std::string where) : lines_(std::move(where)) {}

    void read(const std::string &text)
    {
        lines_.read(text, [this](const std::vector<double> &values, int line) {
            for (double v : values) {
                if (record_.empty()) record_line_ = line;
                record_.push_back(v);
                if (record_.size() == kRecordNumbers) add_point();
            }
        });
    }

    std::unique_ptr<OnePort> finish()
    {
        if (!record_.empty()) {
            throw DutError(lines_.where() + ": the last record has " + std::to_string(record_.size()) +
                           " of its 3 numbers");
        }
        if (hz_.empty()) throw DutError(lines_.where() + ": no data");
        return std::make_unique<TableLoad>(std::move(hz_), std::move(s11_));
    }

private:
    // S11 of the record as the format gives it, against z0.
    std::complex<double> s11() const
    {
        const double a = record_[1], b = record_[2];
        switch (lines_.options().format) {
        case touchstone::Format::MA:
            return std::polar(a, b * kDegree);
        case touchstone::Format::DB:
            return std::polar(std::pow(10.0, a / 20), b * kDegree);
        case touchstone::Format::RI:
            break;
        }
        return {a, b};
    }

    // S11 against 50 ohm from S11 against z0: the same impedance seen anew.
    std::complex<double> renormalised(std::complex<double> g) const
    {
        const double z0 = lines_.options().z0;
        if (z0 == kSystemOhms) return g;
        const double d = z0 - kSystemOhms, s = z0 + kSystemOhms;
        return (d + s * g) / (s + d * g);
    }

    void add_point()
    {
        const double f = lines_.frequency(record_[0], record_line_, hz_.size(), hz_.empty() ? 0.0 : hz_.back());
        const std::complex<double> g = renormalised(s11());
        if (!(std::abs(g) <= kMaxGain)) {
            throw DutError(lines_.at(record_line_) + ": |S11| " + number(std::abs(g)) + " is above the +" +
                           number(kMaxGainDb) + " dB the model takes");
        }
        hz_.push_back(f);
        s11_.push_back(g);
        record_.clear();
    }

    static constexpr double kDegree = 3.14159265358979323846 / 180;

    touchstone::LineReader lines_;
    std::vector<double> hz_, record_;
    std::vector<std::complex<double>> s11_;
    int record_line_ = 0;
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
