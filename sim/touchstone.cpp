#include "touchstone.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "dut_text.h"

namespace sim {

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

// What a Touchstone file may hold here: anything larger is not a two-port
// measurement but a mistake (a device, an endless file) that would only eat
// memory.
constexpr std::size_t kMaxFileBytes = 16u << 20;
constexpr std::size_t kMaxLineChars = 4096;
constexpr std::size_t kMaxPoints = 100'000;

std::string read_whole_file(const std::string &path, const std::string &where)
{
    // Not blocking on the open: a FIFO is refused at once, not waited on.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw DutError(where + ": cannot open it: " + std::strerror(errno));
    std::string text;
    std::string error;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = std::string("cannot read it: ") + std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        error = std::string("cannot read it: ") + std::strerror(EISDIR);
    } else if (!S_ISREG(st.st_mode)) {
        error = "not a regular file";
    } else if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileBytes) {
        error = std::to_string(st.st_size) + " bytes; a Touchstone file may have at most " +
                std::to_string(kMaxFileBytes);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    char buf[65536];
    while (error.empty()) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) error = std::string("cannot read it: ") + std::strerror(errno);
        if (n <= 0) break;
        text.append(buf, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileBytes) {
            error = "more than the " + std::to_string(kMaxFileBytes) + " bytes a Touchstone file may have";
        }
    }
    ::close(fd);
    if (!error.empty()) throw DutError(where + ": " + error);
    return text;
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

} // namespace

std::unique_ptr<Dut> load_touchstone(const std::string &path)
{
    const std::string where = "touchstone: " + printable(path);
    if (other_port_count(path)) throw DutError(where + ": only two-port files (.s2p) are read");
    const std::string text = read_whole_file(path, where);

    enum class Format { MA, DB, RI };
    double unit = 1e9;
    Format format = Format::MA;
    bool options_seen = false, noise = false;
    std::vector<double> hz, db, record;
    int line_no = 0, record_line = 0;

    const auto add_point = [&] {
        const std::string at = where + " line " + std::to_string(record_line);
        if (hz.size() >= kMaxPoints) {
            throw DutError(at + ": more than the " + std::to_string(kMaxPoints) + " points a file may have");
        }
        const double f = record[0] * unit;
        if (f < 0) throw DutError(at + ": negative frequency " + number(f) + " Hz");
        if (!std::isfinite(f)) throw DutError(at + ": frequency " + number(record[0]) + " is out of range");
        if (!hz.empty() && f <= hz.back()) {
            throw DutError(at + ": frequencies must increase (" + number(f) + " Hz after " + number(hz.back()) +
                           " Hz)");
        }
        double gain_db = kFloorDb;
        switch (format) {
        case Format::MA:
            if (record[3] != 0) gain_db = 20 * std::log10(std::fabs(record[3]));
            break;
        case Format::DB:
            gain_db = record[3];
            break;
        case Format::RI:
            if (const double m = std::hypot(record[3], record[4]); m != 0) gain_db = 20 * std::log10(m);
            break;
        }
        if (!(gain_db <= kMaxGainDb)) {
            throw DutError(at + ": |S21| " + number(record[3]) + " is above the +" + number(kMaxGainDb) +
                           " dB the model takes");
        }
        hz.push_back(f);
        db.push_back(std::max(gain_db, kFloorDb));
        record.clear();
    };

    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        ++line_no;
        if (end - pos > kMaxLineChars) {
            throw DutError(where + " line " + std::to_string(line_no) + ": longer than " +
                           std::to_string(kMaxLineChars) + " characters");
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (const std::size_t bang = line.find('!'); bang != std::string::npos) line.erase(bang);
        std::vector<std::string> tokens = words(line);
        if (tokens.empty()) continue;
        const std::string at = where + " line " + std::to_string(line_no);

        if (tokens[0][0] == '#') {
            if (options_seen || !hz.empty() || !record.empty()) continue; // only the first, before the data
            options_seen = true;
            tokens[0].erase(0, 1);
            for (std::size_t i = 0; i < tokens.size(); ++i) {
                const std::string t = lower(tokens[i]);
                if (t.empty()) continue;
                if (t == "hz" || t == "khz" || t == "mhz" || t == "ghz") {
                    unit = t == "hz" ? 1 : t == "khz" ? 1e3 : t == "mhz" ? 1e6 : 1e9;
                } else if (t == "s") {
                } else if (t == "y" || t == "z" || t == "h" || t == "g") {
                    throw DutError(at + ": only S parameters are read, not " + printable(tokens[i]));
                } else if (t == "ma" || t == "db" || t == "ri") {
                    format = t == "ma" ? Format::MA : t == "db" ? Format::DB : Format::RI;
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
            continue;
        }
        if (tokens[0][0] == '[') throw DutError(at + ": keywords of Touchstone 2 are not read; use version 1");

        std::vector<double> values(tokens.size());
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (!parse_real(tokens[i], values[i])) throw DutError(at + ": " + quoted(tokens[i]) + " is not a number");
        }
        // The noise parameters start with a frequency not above the last one.
        if (!noise && record.empty() && !hz.empty() && values[0] * unit <= hz.back() && values.size() == 5) {
            noise = true;
        }
        if (noise) {
            if (values.size() != 5) throw DutError(at + ": a noise parameter line has 5 numbers");
            continue;
        }
        for (double v : values) {
            if (record.empty()) record_line = line_no;
            record.push_back(v);
            if (record.size() == 9) add_point();
        }
    }
    if (!record.empty()) {
        throw DutError(where + ": the last record has " + std::to_string(record.size()) + " of its 9 numbers");
    }
    if (hz.empty()) throw DutError(where + ": no data");
    return make_table(std::move(hz), std::move(db));
}

} // namespace sim
