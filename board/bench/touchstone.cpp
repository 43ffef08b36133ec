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
using text::printable;

namespace {

// Where a magnitude of 0 goes on the dB scale.
constexpr double kFloorDb = -300.0;

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

// Records of nine numbers (frequency and the four S parameters), which may
// wrap over lines, then perhaps noise parameters, which are skipped.
class TwoPortReader {
public:
    explicit TwoPortReader(std::string where) : lines_(std::move(where)) {}

    void read(const std::string &text)
    {
        lines_.read(text, [this](const std::vector<double> &values, int line) { data(values, line); });
    }

    std::unique_ptr<Dut> finish()
    {
        if (!record_.empty()) {
            throw DutError(lines_.where() + ": the last record has " + std::to_string(record_.size()) +
                           " of its 9 numbers");
        }
        if (hz_.empty()) throw DutError(lines_.where() + ": no data");
        return make_table(std::move(hz_), std::move(db_));
    }

private:
    void data(const std::vector<double> &values, int line)
    {
        // The noise parameters start with a frequency not above the last one.
        if (!noise_ && record_.empty() && !hz_.empty() && values[0] * lines_.options().unit <= hz_.back() &&
            values.size() == 5) {
            noise_ = true;
        }
        if (noise_) {
            if (values.size() != 5) throw DutError(lines_.at(line) + ": a noise parameter line has 5 numbers");
            return;
        }
        for (double v : values) {
            if (record_.empty()) record_line_ = line;
            record_.push_back(v);
            if (record_.size() == 9) add_point();
        }
    }

    // |S21| of the record in dB, as the format gives it.
    double gain_db() const
    {
        switch (lines_.options().format) {
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
        const double f = lines_.frequency(record_[0], record_line_, hz_.size(), hz_.empty() ? 0.0 : hz_.back());
        const double gain = gain_db();
        if (!(gain <= kMaxGainDb)) {
            throw DutError(lines_.at(record_line_) + ": |S21| " + number(record_[3]) + " is above the +" +
                           number(kMaxGainDb) + " dB the model takes");
        }
        hz_.push_back(f);
        db_.push_back(std::max(gain, kFloorDb));
        record_.clear();
    }

    LineReader lines_;
    bool noise_ = false;
    std::vector<double> hz_, db_, record_;
    int record_line_ = 0;
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
    TwoPortReader reader(where(path));
    reader.read(text);
    return reader.finish();
}

} // namespace sim::touchstone
