#include "shells/snt/crystal_job.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/analysis/crystal.h"
#include "core/analysis/crystal_match.h"
#include "core/analysis/crystal_search.h"
#include "core/text/text.h"
#include "shells/snt/device.h"
#include "shells/snt/interrupt.h"
#include "shells/snt/output.h"
#include "shells/snt/serial_port.h"
#include "shells/snt/sim_process.h"

namespace snt {

namespace {

// The CSV the rows are appended to, opened (and its header checked)
// before the first byte goes to the device. Each row goes out as soon as
// its crystal is measured, so an interruption loses none.
class CrystalCsv {
public:
    explicit CrystalCsv(std::string path) : path_(std::move(path))
    {
        const auto refuse = [&](const std::string &why) {
            if (fd_ >= 0) ::close(fd_);
            throw InputError("--csv " + printable(path_) + ": " + why);
        };
        constexpr int kFlags = O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
        fd_ = ::open(path_.c_str(), kFlags);
        if (fd_ < 0 && errno == ENOENT) {
            fd_ = ::open(path_.c_str(), kFlags | O_CREAT | O_EXCL, 0666);
            created_ = fd_ >= 0;
        }
        if (fd_ < 0) refuse(std::strerror(errno));
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) refuse("not a regular file (rows are appended to one)");
        empty_ = st.st_size == 0;
        if (!empty_) {
            const std::string header = kCrystalCsvHeader;
            std::string first(header.size() + 1, '\0');
            const ssize_t n = ::pread(fd_, first.data(), first.size(), 0);
            if (n != static_cast<ssize_t>(first.size()) || first.compare(0, header.size(), header) != 0 ||
                (first.back() != '\n' && first.back() != '\r'))
                refuse("its first line is not " + header + ": not a file of crystals to append to");
        }
    }
    // A file made here and left without a row goes again.
    ~CrystalCsv()
    {
        ::close(fd_);
        if (created_ && empty_) ::unlink(path_.c_str());
    }
    CrystalCsv(const CrystalCsv &) = delete;
    CrystalCsv &operator=(const CrystalCsv &) = delete;

    const std::string &path() const { return path_; }
    void append(const std::string &row)
    {
        const InterruptSetAside set_aside; // a row goes out whole
        const std::string text = (empty_ ? std::string(kCrystalCsvHeader) + "\n" : std::string()) + row + "\n";
        write_all(fd_, text, printable(path_));
        empty_ = false;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool empty_ = true;
    bool created_ = false;
};

// The tester for each crystal: the one at --port, or the virtual board;
// a virtual batch is started afresh with crystal k in the fixture.
class Bench {
public:
    explicit Bench(const Invocation &inv) : inv_(inv), per_crystal_(inv.port.empty() && virtual_batch_size(inv.dut)) {}

    Device &device(std::size_t index)
    {
        if (device_ && !(per_crystal_ && index != index_)) return *device_;
        device_.reset();
        port_.reset();
        sim_.reset();
        index_ = index;
        std::string path = inv_.port;
        if (path.empty()) {
            std::vector<std::string> args = inv_.sim_args;
            for (std::size_t i = 0; i + 1 < args.size(); ++i) {
                if (args[i] == "--dut" && per_crystal_) args[i + 1] = virtual_crystal(inv_.dut, index);
            }
            sim_.emplace(SimProcess::default_program(), args);
            path = sim_->port();
        }
        port_.emplace(path);
        device_.emplace(*port_);
        return *device_;
    }

    // When the virtual device stopped by itself, its own words say more
    // than what became of its port.
    void explain(const std::runtime_error &e)
    {
        if (!sim_) return;
        const bool hung_up = dynamic_cast<const PortClosed *>(&e) != nullptr;
        if (auto why = sim_->failure(hung_up ? SimProcess::kStopGrace : std::chrono::milliseconds(0))) throw *why;
    }

private:
    const Invocation &inv_;
    bool per_crystal_;
    std::size_t index_ = 0;
    std::optional<SimProcess> sim_;
    std::optional<SerialPort> port_;
    std::optional<Device> device_;
};

// Waits for a line on standard input (a terminal or not); false at its end.
bool wait_for_enter()
{
    for (;;) {
        check_interrupt();
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, kInterruptPollMs) <= 0) continue;
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
    }
}

std::string seconds_text(double s)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

// One crystal through the search; its parameters, or nullopt after saying why not.
std::optional<CrystalParameters> measure(Device &device, const CrystalJob &job, const std::string &label)
{
    CrystalSearchOptions o;
    o.nominal_hz = job.nominal_hz;
    o.fixture_ohms = job.fixture_ohms;
    o.parallel = job.parallel;
    CrystalSearch search(o);
    while (const auto plan = search.next_sweep()) {
        std::fprintf(stderr, "snt: %s: %s, %u points\n", label.c_str(), search.stage_text().c_str(), plan->points);
        std::vector<std::optional<double>> levels;
        levels.reserve(plan->points);
        device.sweep_frequencies(plan->frequencies(), [&](std::uint32_t, Device::Level level) {
            levels.push_back(level);
            return true;
        });
        search.feed(levels);
    }
    std::string out = label + ":\n";
    if (search.result()) out += search.result()->text();
    for (const auto &note : search.notes()) out += "note: " + note + "\n";
    out += "device time " + seconds_text(search.device_seconds()) + " on a real tester (" +
        std::to_string(search.points()) + " points in " + std::to_string(search.sweeps()) + " sweeps)\n";
    print(out);
    return search.result();
}

// "1 crystal", "3 crystals".
std::string count_of(std::size_t n) { return std::to_string(n) + (n == 1 ? " crystal" : " crystals"); }

struct Measured {
    std::vector<std::string> labels;
    std::vector<double> fs;
};

void print_matches(const CrystalJob &job, const Measured &done)
{
    if (!job.match_hz || done.fs.size() < 2) return;
    print(match_text(match_crystals(done.fs, *job.match_hz), done.labels, done.fs, *job.match_hz));
}

} // namespace

void run_crystal(const Invocation &inv)
{
    const CrystalJob &job = inv.crystal;
    std::optional<CrystalCsv> csv;
    if (!job.csv.empty()) csv.emplace(job.csv);
    Bench bench(inv);
    Measured done;
    std::size_t failed = 0;
    try {
        for (std::uint32_t i = 0; i < job.batch; ++i) {
            const std::string label = "X" + std::to_string(i + 1);
            if (job.batch > 1) {
                std::fprintf(stderr, "snt: insert crystal %u of %u (%s) and press Enter\n", i + 1, job.batch,
                             label.c_str());
                if (!wait_for_enter()) {
                    std::fprintf(stderr, "snt: no more input: stopped after %s\n", count_of(done.fs.size()).c_str());
                    break;
                }
            }
            std::optional<CrystalParameters> p;
            try {
                p = measure(bench.device(i), job, label);
            } catch (const Interrupted &) {
                throw;
            } catch (const std::runtime_error &e) {
                bench.explain(e);
                throw;
            }
            if (!p) {
                ++failed;
                continue;
            }
            if (csv) csv->append(p->csv_row(label));
            done.labels.push_back(label);
            done.fs.push_back(p->fs_hz);
        }
    } catch (const std::runtime_error &) {
        const InterruptSetAside set_aside;
        std::fprintf(stderr, "snt: %s measured before this%s\n", count_of(done.fs.size()).c_str(),
                     csv && !done.fs.empty() ? (", their rows are in " + printable(csv->path())).c_str() : "");
        print_matches(job, done);
        throw;
    }
    if (csv && !done.fs.empty())
        print("appended " + std::to_string(done.fs.size()) + (done.fs.size() == 1 ? " row" : " rows") + " to " +
              printable(csv->path()) + "\n");
    print_matches(job, done);
    if (failed > 0)
        throw std::runtime_error(std::to_string(failed) + " of " + std::to_string(failed + done.fs.size()) +
                                 " crystals measured gave no parameters (see the notes above)");
}

} // namespace snt
