#include "shells/serve/virtual_link.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "board/bench/dut.h"
#include "board/cpu/elf_image.h"
#include "core/analysis/frequency.h"
#include "shells/sim/page_file.h"

namespace snt {

namespace {

// The firmware's start-up, banner included, takes a few milliseconds.
constexpr sim::Cycles kStartCycles = sim::kCoreHz;

constexpr ClientTime kCyclesPerMicrosecond = sim::kCoreHz / 1000000;

// A number as snt-sim's options take it: std::stod, all of the text.
bool whole_number_text(const std::string &text, double &v)
{
    try {
        std::size_t used = 0;
        v = std::stod(text, &used);
        return used == text.size();
    } catch (const std::exception &) {
        return false;
    }
}

double crystal_hz(const std::string &text)
{
    double v = 0;
    if (!whole_number_text(text, v) || !std::isfinite(v) || v < 1e6 || v > 50e6)
        throw InputError("--xtal: must be a frequency from 1000000 to 50000000 Hz, not \"" + text + "\"");
    return v;
}

double noise_counts(const std::string &text)
{
    double v = 0;
    if (!whole_number_text(text, v)) throw InputError("--noise: not a number: " + text);
    if (!(v >= 0 && std::isfinite(v))) throw InputError("--noise: must be a number of 0 or more, not " + text);
    return v;
}

std::uint64_t seed_of(const std::string &text)
{
    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
    errno = 0;
    const unsigned long long v = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
    if (!digits || errno != 0) throw InputError("--seed: not a whole number from 0 to 2^64 - 1: " + text);
    return v;
}

// An image must be a regular file: a FIFO or a device is refused without
// waiting on it.
void check_image_file(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw InputError("--image: " + path + ": " + std::strerror(errno));
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular) throw InputError("--image: " + path + ": not a regular file");
}

} // namespace

VirtualLink::VirtualLink(const sim::BoardOptions &options, std::string name) : board_(options), name_(std::move(name))
{
    board_.usart().set_tx_sink([this](std::uint8_t b) { received_ += static_cast<char>(b); });
    board_.run_until_idle(kStartCycles);
}

VirtualLink::~VirtualLink() { board_.usart().set_tx_sink(nullptr); }

void VirtualLink::write(const std::string &bytes)
{
    board_.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
}

std::string VirtualLink::read(ClientTime deadline)
{
    // The board runs on to the end of a line rather than stopping for each
    // byte: the client acts only on whole lines (and on a line that grows
    // too long), and every stop costs a switch between threads.
    const auto line_ends = [this] {
        return received_.find('\r') != std::string::npos || received_.size() > kMaxReplyLine;
    };
    const sim::Cycles until = deadline > 0 ? static_cast<sim::Cycles>(deadline) * kCyclesPerMicrosecond : 0;
    // What the firmware has sent is all `line_ends` reads.
    if (!line_ends() && until > board_.now())
        board_.run_until(line_ends, until - board_.now(), sim::Board::DoneReads::BoardState);
    std::string out;
    out.swap(received_);
    return out;
}

ClientTime VirtualLink::now() { return static_cast<ClientTime>(board_.now()) / kCyclesPerMicrosecond; }

sim::BoardOptions virtual_board_options(const std::vector<std::string> &sim_args)
{
    sim::BoardOptions o;
    for (std::size_t i = 0; i + 1 < sim_args.size(); i += 2) {
        const std::string &option = sim_args[i], &value = sim_args[i + 1];
        if (option == "--dut") {
            o.dut = value;
        } else if (option == "--flash") {
            o.flash_file = value;
        } else if (option == "--noise") {
            o.noise = noise_counts(value);
        } else if (option == "--seed") {
            o.seed = seed_of(value);
        } else if (option == "--xtal") {
            o.synth_xtal_hz = crystal_hz(value);
        } else if (option == "--image") {
            check_image_file(value);
            o.image = value;
        } else {
            throw InputError(option + " is not an option of the virtual board");
        }
    }
    return o;
}

std::unique_ptr<VirtualLink> open_virtual_board(const std::vector<std::string> &sim_args)
{
    const sim::BoardOptions options = virtual_board_options(sim_args);
    try {
        return std::make_unique<VirtualLink>(options);
    } catch (const sim::PageFileError &e) {
        throw InputError(std::string("--flash: ") + e.what());
    } catch (const sim::DutError &e) {
        throw InputError(std::string("--dut: ") + e.what());
    } catch (const sim::ImageError &e) {
        throw InputError(std::string("--image: ") + e.what());
    }
}

} // namespace snt
