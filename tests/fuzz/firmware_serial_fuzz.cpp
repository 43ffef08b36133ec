// The firmware's line receiver and command interpreter under hostile serial
// input, driven through the receive interrupt handler as the chip would.
//
// The firmware is compiled into this program (its main renamed, see
// CMakeLists.txt) and runs against FakeChip. Start-up runs once, to the
// main loop's first wait; its globals and the chip's registers are saved
// there and put back before every input, so each input starts from the same
// idle board.
//
// An input is one configuration byte and the bytes on the line:
//   configuration, low four bits: 0, bytes arrive only while the firmware
//       idles; n, one byte also every 8 n^2 register accesses while a
//       command runs (as a host that does not wait for answers)
//   configuration, high four bits: the tone's amplitude, 136 counts a step
//   0xFF 0xFF: the byte 0xFF; 0xFF X: the receiver's error flags of X (bit 0
//       framing, 1 noise, 2 overrun, 3 idle line, 4 character match)
//
// Besides what the sanitizers see, every input is checked against the
// protocol: only lines the host sent, whole and in order of arrival, run,
// and none is lost; `w` answers the identification, `r` one level or `*`
// per point, the others nothing; only `x` touches the settings page, and
// only to leave it as it was or holding the crystal the firmware now uses;
// a receive interrupt never stays pending, a measurement always finishes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fake_chip.h"
#include "main.h"
#include "si5351a.h"
#include "stm32f0xx_it.h"

namespace snt_fuzz {
namespace {

// Register accesses an input may take before a sweep is cut short: a few
// dozen sweep points. Other commands always run to their end.
constexpr std::uint64_t kInputBudget = 60'000;
// Far above anything but a sweep needs (a frequency change with its 100 ms
// settling takes about 25,000); more means the command hangs.
constexpr std::uint64_t kCommandLimit = 2'000'000;
// The longest line the receiver keeps; the rest of a line is dropped.
constexpr std::size_t kLineChars = CMD_BUF_SIZE - 1;

// The firmware's globals, saved once and put back before each input.
class SavedGlobals {
public:
    template <typename T>
    void keep(T &global)
    {
        cells_.push_back({const_cast<void *>(static_cast<const volatile void *>(&global)), sizeof global});
    }
    void save()
    {
        bytes_.clear();
        for (const Cell &c : cells_) {
            const auto *p = static_cast<const std::uint8_t *>(c.at);
            bytes_.insert(bytes_.end(), p, p + c.size);
        }
    }
    void restore() const
    {
        std::size_t from = 0;
        for (const Cell &c : cells_) {
            std::memcpy(c.at, bytes_.data() + from, c.size);
            from += c.size;
        }
    }

private:
    struct Cell {
        void *at;
        std::size_t size;
    };
    std::vector<Cell> cells_;
    std::vector<std::uint8_t> bytes_;
};

// The host's side of the line: sends the input's bytes and keeps its own
// account of the lines it has completed, to hold the firmware to it.
class HostLine final : public LineDuringCommands {
public:
    HostLine(FakeChip &chip, const std::uint8_t *data, std::size_t size) : chip_(chip), pos_(data), end_(data + size)
    {
        collecting_.reserve(kLineChars);
        newest_.reserve(kLineChars);
    }

    bool has_more() const { return pos_ != end_; }

    void deliver_next() override
    {
        if (pos_ == end_) return;
        std::uint8_t byte = *pos_++;
        if (byte == 0xFF && pos_ != end_) {
            const std::uint8_t what = *pos_++;
            if (what != 0xFF) {
                chip_.raise_flags(((what & 1) ? FakeChip::kFE : 0) | ((what & 2) ? FakeChip::kNE : 0) |
                                  ((what & 4) ? FakeChip::kORE : 0) | ((what & 8) ? FakeChip::kIDLE : 0) |
                                  ((what & 16) ? FakeChip::kCMF : 0));
                chip_.serve_usart();
                return;
            }
        }
        if (chip_.receive(byte)) account(byte);
        chip_.serve_usart();
    }

    // After the main loop's TakeLine(): `took` and what it copied.
    void check_take(int took) const
    {
        if (!took) {
            if (!newest_taken_) fail("the line \"%s\" was complete but the main loop found none", newest_.c_str());
            return;
        }
        if (newest_taken_) fail("the main loop took a line the host never completed (\"%.49s\")", cmd_buf);
        if (std::memchr(cmd_buf, 0, CMD_BUF_SIZE) == nullptr) fail("the line taken has no terminator");
        if (newest_ != cmd_buf) {
            fail("the host's newest line was \"%s\" but \"%s\" is about to run", newest_.c_str(), cmd_buf);
        }
    }
    void taken() { newest_taken_ = true; }

    void check_all_taken() const
    {
        if (!newest_taken_) fail("the line \"%s\" was never taken", newest_.c_str());
    }

private:
    // What the receiver should make of a byte that reached it.
    void account(std::uint8_t byte)
    {
        if (byte == '\r') {
            // As a C string: a NUL byte inside the line ends what runs.
            newest_.assign(collecting_, 0, collecting_.find('\0'));
            newest_taken_ = false;
            collecting_.clear();
        } else if (collecting_.size() < kLineChars) {
            collecting_.push_back(static_cast<char>(byte));
        }
    }

    FakeChip &chip_;
    const std::uint8_t *pos_, *end_;
    std::string collecting_, newest_;
    bool newest_taken_ = true;
};

// The point count of an `r` line as the protocol reads it: a number, the
// byte that ends it, spaces and commas, a second number; unsigned decimal
// digits wrapping modulo 2^32, taken as signed.
std::int32_t sweep_points(const char *line)
{
    const auto number = [&line] {
        std::uint32_t v = 0;
        while (*line >= '0' && *line <= '9') v = v * 10u + static_cast<std::uint32_t>(*line++ - '0');
        if (*line != 0) ++line;
        return v;
    };
    ++line;
    while (*line == ' ' || *line == ',') ++line;
    number();
    while (*line == ' ' || *line == ',') ++line;
    return static_cast<std::int32_t>(number());
}

// One reply line of a sweep: a level with two decimals or "*".
bool is_point_reply(const std::string &text, std::size_t begin, std::size_t end)
{
    if (end - begin == 1 && text[begin] == '*') return true;
    std::size_t i = begin;
    if (i < end && text[i] == '-') ++i;
    const std::size_t digits = i;
    while (i < end && text[i] >= '0' && text[i] <= '9') ++i;
    if (i == digits || i + 3 != end || text[i] != '.') return false;
    return text[i + 1] >= '0' && text[i + 1] <= '9' && text[i + 2] >= '0' && text[i + 2] <= '9';
}

void check_reply(char letter, const std::string &reply, const char *line)
{
    if (letter == 'w') {
        if (reply != ID_TEXT "\r") fail("w answered \"%s\"", reply.c_str());
        return;
    }
    if (letter != 'r') {
        if (!reply.empty()) fail("the silent line \"%s\" answered \"%s\"", line, reply.c_str());
        return;
    }
    const std::int32_t points = sweep_points(line);
    std::int64_t lines = 0;
    std::size_t begin = 0;
    for (std::size_t cr; (cr = reply.find('\r', begin)) != std::string::npos; begin = cr + 1, ++lines) {
        if (!is_point_reply(reply, begin, cr)) {
            fail("\"%s\" answered the line \"%s\"", reply.substr(begin, cr - begin).c_str(), line);
        }
    }
    if (begin != reply.size()) fail("the sweep \"%s\" left an unfinished reply line", line);
    if (lines != (points > 0 ? points : 0)) {
        fail("the sweep \"%s\" answered %lld lines for %d points", line, static_cast<long long>(lines),
             static_cast<int>(points));
    }
}

bool xtal_in_window(std::uint32_t hz) { return hz >= XTAL_MIN && hz <= XTAL_MAX; }

class Harness {
public:
    Harness()
    {
        host_attach(&chip_);
        chip_.set_stop_at_main_loop(true);
        try {
            snt_firmware_main();
            fail("the firmware's main returned");
        } catch (const ReachedMainLoop &) {}
        chip_.set_stop_at_main_loop(false);
        const std::string banner = chip_.take_output();
        if (banner != "25000000\r" ID_TEXT "\r") fail("start-up sent \"%s\"", banner.c_str());

        globals_.keep(cmd_buf);
        globals_.keep(xtal);
        globals_.keep(freq);
        globals_.keep(measure_stage);
        globals_.keep(nstep);
        globals_.keep(last_val);
        globals_.keep(Q0);
        globals_.keep(Q1);
        globals_.keep(Q2);
        globals_.keep(coeff);
        globals_.keep(VCOFreq_Max);
        globals_.keep(VCOFreq_Min);
        globals_.keep(VCOFreq_Mid);
        globals_.keep(power0);
        globals_.keep(power1);
        globals_.keep(power2);
        globals_.keep(freq0);
        globals_.keep(freq1);
        globals_.keep(freq2);
        globals_.keep(freq0_div);
        globals_.keep(freq1_div);
        globals_.keep(freq2_div);
        globals_.keep(freq0_rdiv);
        globals_.keep(freq1_rdiv);
        globals_.keep(freq2_rdiv);
        globals_.keep(xtal_freq);
        globals_.keep(freq_pll_b);
        globals_.keep(clk_on_xtal);
        globals_.keep(SystemCoreClock);
        globals_.save();
        chip_at_idle_ = chip_.state();
    }

    void run(const std::uint8_t *data, std::size_t size)
    {
        reset();
        if (size == 0) return;
        const unsigned every = 8u * (data[0] & 15u) * (data[0] & 15u);
        chip_.set_tone_amplitude(136 * (data[0] >> 4));
        HostLine line(chip_, data + 1, size - 1);
        chip_.start_input(kInputBudget);
        try {
            while (line.has_more() && !chip_.over_budget()) {
                line.deliver_next();
                main_loop(line, every);
            }
            main_loop(line, every);
            if (!line.has_more()) line.check_all_taken();
        } catch (const WorkLimitReached &) {}
    }

private:
    // Back to the board as start-up left it. The receiver's own indexes are
    // not globals we can reach: a carriage return and the main loop's take
    // bring them to a line boundary with nothing pending, which is all the
    // receiver remembers that matters.
    void reset()
    {
        globals_.restore();
        chip_.state() = chip_at_idle_;
        chip_.start_input(~std::uint64_t{0});
        chip_.receive('\r');
        chip_.serve_usart();
        TakeLine();
        std::memset(rx_lines, 0, sizeof rx_lines);
        std::memset(cmd_buf, 0, sizeof cmd_buf);
        chip_.take_output();
    }

    // The main loop's passes while a line is flagged.
    void main_loop(HostLine &line, unsigned every)
    {
        while (rx_byte_f != 0) {
            const int took = TakeLine();
            line.check_take(took);
            if (!took) continue;
            line.taken();
            run_command(line, every);
        }
    }

    void run_command(HostLine &line, unsigned every)
    {
        const char letter = cmd_buf[0];
        std::memcpy(running_, cmd_buf, sizeof running_);
        const FakeChip::Page page_before = chip_.page();
        const std::uint64_t start = chip_.accesses();
        if (!chip_.take_output().empty()) fail("output outside any command");

        chip_.set_may_cut(letter == 'r');
        if (every != 0) chip_.set_line_during_commands(&line, every);
        ParseCommand();
        chip_.set_line_during_commands(nullptr, 0);
        chip_.set_may_cut(false);

        if (chip_.accesses() - start > kCommandLimit)
            fail("\"%s\" took more than %llu register accesses", running_,
                 static_cast<unsigned long long>(kCommandLimit));
        check_reply(letter, chip_.take_output(), running_);
        check_page(letter, page_before);
    }

    void check_page(char letter, const FakeChip::Page &before) const
    {
        if (!xtal_in_window(xtal)) fail("\"%s\" left the crystal at %u Hz", running_, static_cast<unsigned>(xtal));
        const FakeChip::Page &now = chip_.page();
        if (now == before) return;
        if (letter != 'x') fail("\"%s\" changed the settings page", running_);
        const std::uint32_t word = chip_.page_word0();
        if (word != xtal)
            fail("\"%s\" stored %u Hz while the firmware uses %u", running_, static_cast<unsigned>(word),
                 static_cast<unsigned>(xtal));
        for (std::size_t i = 4; i < now.size(); ++i) {
            if (now[i] != 0xFF) fail("\"%s\" left byte %zu of the page programmed", running_, i);
        }
    }

    FakeChip chip_;
    SavedGlobals globals_;
    FakeChip::State chip_at_idle_;
    char running_[CMD_BUF_SIZE] = {};
};

Harness &harness()
{
    static Harness h;
    return h;
}

} // namespace
} // namespace snt_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    snt_fuzz::harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    snt_fuzz::harness().run(data, size);
    return 0;
}
