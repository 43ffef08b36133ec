// The virtual board for JavaScript (a page's Web Worker, or Node.js): the
// chip image, handed over as bytes, on the board's Cortex-M0 core, with its
// serial line driven from JavaScript in virtual time. No thread, no file:
// the image, a Touchstone file's text and the settings page come in as
// bytes, serial bytes and the page go out as bytes.
//
//   const board = new Module.Board(options, imageBytes);
//   options: {dut: "bandpass:10.7M:1M", touchstone: TEXT, noise: 2, seed: 1,
//             xtal: 25e6, settings: Uint8Array(1024)}, each optional
//   board.send(bytes)            bytes onto the line now, at its byte rate
//   board.queueLines(bytes)      lines sent one at a time, each when the
//                                firmware waits idle (as snt-sim does with
//                                its standard input)
//   board.runFor(cycles)         lets virtual time pass
//   board.runUntilOutput(max)    true once output is waiting
//   board.runUntilLine(max)      true once a whole line (or more than a
//                                reply's longest) is waiting
//   board.runUntilIdle(max)      true once the firmware waits idle with no
//                                line left to send
//   board.takeOutput()           the bytes the firmware sent since the last call
//   board.now()                  virtual time in 8 MHz core cycles
//   board.settingsPage()         the settings page's 1024 bytes
//   board.statistics()           "name value" lines, as snt-sim --stats
//   board.delete()               frees the board
//   Module.checkBoard(options)   "" when a board could be built with these
//                                options, else the message it would throw
//                                (the --dut parser's, the Touchstone reader's)
//   Module.CORE_HZ
// Every call that fails throws an Error with the board's message.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "board/bench/bench_dut_text.h"
#include "board/bench/dut_text.h"
#include "board/board.h"
#include "board/cpu/chip_cpu.h"
#include "board/cpu/elf_image.h"
#include "board/peripherals/flash_store.h"
#include "board/statistics.h"
#include "core/client/tester_client.h"
#include "shells/wasm/js_values.h"

namespace {

using emscripten::val;
using namespace snt_wasm;

// The settings page held in memory: what the page was given, and every change.
class PageInMemory final : public sim::FlashStore {
public:
    explicit PageInMemory(std::string bytes) : bytes_(std::move(bytes)) {}
    bool load(std::uint8_t *bytes, std::size_t size) override
    {
        if (bytes_.empty()) return false;
        if (bytes_.size() != size) {
            throw std::invalid_argument("settings: a page has exactly " + std::to_string(size) + " bytes, not " +
                                        std::to_string(bytes_.size()));
        }
        std::copy(bytes_.begin(), bytes_.end(), bytes);
        return true;
    }
    void store(const std::uint8_t *bytes, std::size_t size) override { bytes_.assign(bytes, bytes + size); }

private:
    std::string bytes_;
};

template <typename T>
T option(const val &options, const char *name, T fallback)
{
    const val v = options[name];
    return !present(v) ? fallback : v.as<T>();
}

// The board's setup from the options; throws the board's refusals.
sim::BoardSetup setup(const val &options)
{
    sim::BoardSetup s;
    const val touchstone = options["touchstone"];
    const std::string text = present(touchstone) ? touchstone.as<std::string>() : "";
    sim::TextLoader source;
    if (present(touchstone)) source = [&text](const std::string &) { return text; };
    // Every device snt-sim --dut takes: the bench's (amplifiers, bridges,
    // cascades) as well as the plain ones.
    s.dut = sim::parse_bench_dut(option<std::string>(options, "dut", "thru"), source);
    s.noise = option<double>(options, "noise", s.noise);
    if (!(s.noise >= 0 && std::isfinite(s.noise))) throw std::invalid_argument("noise: must be a number of 0 or more");
    const double seed = option<double>(options, "seed", 1);
    if (!(seed >= 0 && seed <= 9007199254740991.0) || seed != std::floor(seed))
        throw std::invalid_argument("seed: a whole number from 0 to 2^53 - 1");
    s.seed = static_cast<std::uint64_t>(seed);
    s.synth_xtal_hz = option<double>(options, "xtal", s.synth_xtal_hz);
    if (!(s.synth_xtal_hz >= 1e6 && s.synth_xtal_hz <= 50e6))
        throw std::invalid_argument("xtal: must be a frequency from 1000000 to 50000000 Hz");
    const std::string settings = option<std::string>(options, "settings", "");
    if (!settings.empty()) s.settings_store = std::make_unique<PageInMemory>(settings);
    return s;
}

std::string check_board(const val &options)
{
    try {
        setup(options);
        return "";
    } catch (const std::exception &e) {
        return e.what();
    }
}

class WebBoard {
public:
    WebBoard(const val &options, const std::string &image)
    try : board_(setup(options), sim::ChipCpu::factory(sim::ElfImage(bytes(image), "the chip image"))) {
        board_.usart().set_tx_sink([this](std::uint8_t b) {
            output_.push_back(static_cast<char>(b));
            line_waiting_ = line_waiting_ || b == '\r' || output_.size() > snt::kMaxReplyLine;
        });
        board_.set_idle_hook([this] { send_next_line(); });
    } catch (const std::exception &e) {
        throw_to_js(e);
    }

    void send(const std::string &bytes)
    {
        board_.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size());
    }

    void queue_lines(const std::string &bytes)
    {
        std::size_t from = 0;
        while (from < bytes.size()) {
            const std::size_t cr = bytes.find('\r', from);
            const std::size_t end = cr == std::string::npos ? bytes.size() : cr + 1;
            lines_.push_back(bytes.substr(from, end - from));
            from = end;
        }
        if (board_.firmware_idle()) send_next_line();
    }

    void run_for(double cycles)
    {
        run([] { return false; }, cycles);
    }
    bool run_until_output(double max_cycles)
    {
        return run([this] { return !output_.empty(); }, max_cycles);
    }
    // As snt serve's link to its board: the client acts only on whole lines.
    bool run_until_line(double max_cycles)
    {
        return run([this] { return line_waiting_; }, max_cycles);
    }
    bool run_until_idle(double max_cycles)
    {
        return run([this] { return lines_.empty() && !board_.usart().host_sending() && board_.firmware_idle(); },
                   max_cycles);
    }

    val take_output()
    {
        const val out = bytes_to_js(output_);
        output_.clear();
        line_waiting_ = false;
        return out;
    }
    double now() const { return static_cast<double>(board_.now()); }
    val settings_page()
    {
        const sim::Flash::PageData &page = board_.flash().contents();
        return bytes_to_js(std::string(page.begin(), page.end()));
    }
    std::string statistics() const
    {
        std::string text;
        for (const auto &[name, value] : sim::statistics(board_)) text += name + " " + value + "\n";
        return text;
    }

private:
    static std::vector<std::uint8_t> bytes(const std::string &s) { return {s.begin(), s.end()}; }

    // As a careful host: the next line once the firmware waits for one.
    void send_next_line()
    {
        if (lines_.empty() || board_.usart().host_sending()) return;
        send(lines_.front());
        lines_.pop_front();
    }

    template <typename Done>
    bool run(const Done &done, double max_cycles)
    {
        try {
            if (!(max_cycles >= 0)) throw std::invalid_argument("cycles: a number of 0 or more");
            return board_.run_until(done, static_cast<sim::Cycles>(max_cycles));
        } catch (const std::exception &e) {
            throw_to_js(e);
        }
    }

    sim::Board board_;
    std::string output_;
    bool line_waiting_ = false; // output_ holds a whole line, or more than a reply's longest
    std::deque<std::string> lines_;
};

} // namespace

EMSCRIPTEN_BINDINGS(snt_board)
{
    using emscripten::class_;
    class_<WebBoard>("Board")
        .constructor<const val &, const std::string &>()
        .function("send", &WebBoard::send)
        .function("queueLines", &WebBoard::queue_lines)
        .function("runFor", &WebBoard::run_for)
        .function("runUntilOutput", &WebBoard::run_until_output)
        .function("runUntilLine", &WebBoard::run_until_line)
        .function("runUntilIdle", &WebBoard::run_until_idle)
        .function("takeOutput", &WebBoard::take_output)
        .function("now", &WebBoard::now)
        .function("settingsPage", &WebBoard::settings_page)
        .function("statistics", &WebBoard::statistics);
    emscripten::function("checkBoard", &check_board);
    emscripten::constant("CORE_HZ", static_cast<double>(sim::kCoreHz));
}
