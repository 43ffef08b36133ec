// What every Touchstone (version 1) file shares, whatever its port count:
// the bounds on its text, its lines, `!` comments, the option line, the
// refusal of version 2 keywords, and the checks on each record's
// frequency. A reader of one kind of file (touchstone.h, one_port_file.h)
// gets the numbers of each data line and makes its records of them.
//
// The option line `# <unit> <parameter> <format> R <z0>` has its fields in
// any order and any case, each optional: unit Hz, kHz, MHz or GHz (GHz when
// left out), parameter S (the only one read), format MA (magnitude and
// angle, the default), DB (decibels and angle) or RI (real and imaginary),
// and R with the reference impedance (50 ohm when left out). Only the first
// option line before the data counts; any later one is ignored.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sim::touchstone {

constexpr std::size_t kMaxBytes = 16u << 20;
constexpr std::size_t kMaxLineChars = 4096;
constexpr std::size_t kMaxPoints = 100'000;

enum class Format { MA, DB, RI };

struct Options {
    double unit = 1e9; // Hz per frequency unit
    Format format = Format::MA;
    double z0 = 50;
};

class LineReader {
public:
    // `where` begins every message ("touchstone: filter.s2p").
    explicit LineReader(std::string where) : where_(std::move(where)) {}

    // The numbers of each data line of `text`, and the line's number, in
    // order. Throws DutError for a text or a line out of bounds, a word
    // that is not a number, a bad option line or a version 2 keyword.
    void read(const std::string &text, const std::function<void(const std::vector<double> &, int)> &data);

    const Options &options() const { return options_; }

    // "WHERE line N", for a message.
    std::string at(int line) const { return where_ + " line " + std::to_string(line); }
    const std::string &where() const { return where_; }

    // The frequency in Hz of a record that began on `line` with `value`,
    // coming after `points` records whose last frequency was `last_hz`.
    // Throws DutError for one too many points, a negative or out of range
    // frequency, or one not above the last.
    double frequency(double value, int line, std::size_t points, double last_hz) const;

private:
    void read_line(std::string line, const std::function<void(const std::vector<double> &, int)> &data);
    void read_options(const std::vector<std::string> &tokens);

    std::string where_;
    Options options_;
    bool options_seen_ = false, data_seen_ = false;
    int line_no_ = 0;
};

} // namespace sim::touchstone
