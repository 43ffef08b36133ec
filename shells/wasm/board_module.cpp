// The virtual board as a WebAssembly module for JavaScript (a browser's Web
// Worker, or Node.js): the chip image, handed over as bytes, on the board's
// Cortex-M0 core, with its serial line driven from JavaScript in virtual
// time. No thread, no file: the image, a Touchstone file's text and the
// settings page come in as bytes, serial bytes and the page go out as
// bytes. Also the core's summary of a sweep, the same text as snt's.
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
//   board.runUntilIdle(max)      true once the firmware waits idle with no
//                                line left to send
//   board.takeOutput()           the bytes the firmware sent since the last call
//   board.now()                  virtual time in 8 MHz core cycles
//   board.settingsPage()         the settings page's 1024 bytes
//   board.statistics()           "name value" lines, as snt-sim --stats
//   board.delete()               frees the board
//   Module.summary(frequencies, levels, dbs)   the summary text of a sweep
//                                (NaN: no level or no dB at that point)
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

#include "board/bench/dut_text.h"
#include "board/board.h"
#include "board/cpu/chip_cpu.h"
#include "board/cpu/elf_image.h"
#include "board/peripherals/flash_store.h"
#include "board/statistics.h"
#include "core/analysis/summary.h"

namespace {

using emscripten::val;

[[noreturn]] void throw_to_js(const std::exception &e)
{
    val::global("Error").new_(std::string(e.what())).throw_();
    __builtin_unreachable();
}

val bytes_to_js(const std::string &bytes)
{
    const auto view = emscripten::typed_memory_view(bytes.size(), reinterpret_cast<const std::uint8_t *>(bytes.data()));
    return val::global("Uint8Array").new_(view); // a copy: the view dies with `bytes`
}

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
    return v.isUndefined() || v.isNull() ? fallback : v.as<T>();
}

class WebBoard {
public:
    WebBoard(const val &options, const std::string &image)
    try : board_(setup(options), sim::ChipCpu::factory(sim::ElfImage(bytes(image), "the chip image"))) {
        board_.usart().set_tx_sink([this](std::uint8_t b) { output_.push_back(static_cast<char>(b)); });
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
    bool run_until_idle(double max_cycles)
    {
        return run([this] { return lines_.empty() && !board_.usart().host_sending() && board_.firmware_idle(); },
                   max_cycles);
    }

    val take_output()
    {
        const val out = bytes_to_js(output_);
        output_.clear();
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

    static sim::BoardSetup setup(const val &options)
    {
        sim::BoardSetup s;
        const std::string touchstone = option<std::string>(options, "touchstone", "");
        s.dut = sim::parse_dut(option<std::string>(options, "dut", "thru"),
                               [&touchstone](const std::string &) { return touchstone; });
        s.noise = option<double>(options, "noise", s.noise);
        s.seed = static_cast<std::uint64_t>(option<double>(options, "seed", 1));
        s.synth_xtal_hz = option<double>(options, "xtal", s.synth_xtal_hz);
        const std::string settings = option<std::string>(options, "settings", "");
        if (!settings.empty()) s.settings_store = std::make_unique<PageInMemory>(settings);
        return s;
    }

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
    std::deque<std::string> lines_;
};

std::optional<double> present(const val &array, unsigned i)
{
    const double v = array[i].isNull() ? NAN : array[i].as<double>();
    return std::isnan(v) ? std::nullopt : std::optional<double>(v);
}

std::string summary(const val &frequencies, const val &levels, const val &dbs)
{
    const unsigned n = frequencies["length"].as<unsigned>();
    std::vector<snt::SweepPoint> points(n);
    for (unsigned i = 0; i < n; ++i) {
        points[i].frequency = frequencies[i].as<std::uint32_t>();
        points[i].level = present(levels, i);
        points[i].db = present(dbs, i);
    }
    return snt::Summary::of(snt::SweepResult(std::move(points))).text();
}

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
        .function("runUntilIdle", &WebBoard::run_until_idle)
        .function("takeOutput", &WebBoard::take_output)
        .function("now", &WebBoard::now)
        .function("settingsPage", &WebBoard::settings_page)
        .function("statistics", &WebBoard::statistics);
    emscripten::function("summary", &summary);
    emscripten::constant("CORE_HZ", static_cast<double>(sim::kCoreHz));
}
