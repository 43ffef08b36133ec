// The virtual board for JavaScript (a page's Web Worker, or Node.js): the
// chip image, handed over as bytes, on the board's Cortex-M0 core, with its
// serial line driven from JavaScript in virtual time. No thread, no file:
// the image, a Touchstone file's text and the settings page come in as
// bytes, serial bytes and the page go out as bytes.
//
//   const board = new Module.Board(options, imageBytes);
//   options: {dut: "bandpass:10.7M:1M", touchstone: TEXT, noise: 2, seed: 1,
//             xtal: 25e6, settings: Uint8Array(1024), rom: Uint8Array(16384),
//             boot0: false}, each optional
//   With `rom` the board keeps its whole flash (image and settings page)
//   there and runs what the flash holds, as snt-sim --rom does; a rom that
//   holds no image yet gets the chip image first. With `boot0` it starts as
//   the chip does with BOOT0 high: its bootloader on USART1 (8E1) until Go
//   starts what the flash holds.
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
//   board.idle()                 the same, now, without running
//   board.takeOutput()           the bytes the firmware sent since the last call
//   board.now()                  virtual time in 8 MHz core cycles
//   board.settingsPage()         the settings page's 1024 bytes
//   board.rom()                  with `rom`: its 16384 bytes as kept now
//   board.romChanges()           how often the rom was written so far
//   board.setLine(line)          what the host's port is set to, as Web
//                                Serial's open() takes it ({baudRate,
//                                dataBits, parity: "none" | "even" | "odd",
//                                stopBits}); a byte sent in another format
//                                reaches the chip as a line error would
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
#include "board/boot/boot_cpu.h"
#include "board/cpu/chip_cpu.h"
#include "board/cpu/elf_image.h"
#include "board/peripherals/flash_store.h"
#include "board/statistics.h"
#include "core/client/tester_client.h"
#include "core/flash/bootloader_protocol.h"
#include "core/flash/image.h"
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
    void store(const std::uint8_t *bytes, std::size_t size) override
    {
        bytes_.assign(bytes, bytes + size);
        ++stores_;
    }
    const std::string &bytes() const { return bytes_; }
    unsigned stores() const { return stores_; }

private:
    std::string bytes_;
    unsigned stores_ = 0;
};

// Pages 0 to 14 of a rom hold no image: erased, or never written.
bool without_image(const std::string &rom) { return rom.find_first_not_of('\xFF', 0) >= snt::boot::kImageLimit; }

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
    const std::string rom = option<std::string>(options, "rom", "");
    if (!rom.empty()) {
        if (!settings.empty()) throw std::invalid_argument("a rom holds the settings page too: give rom or settings");
        if (rom.size() != snt::boot::kFlashSize)
            throw std::invalid_argument("rom: the whole flash has exactly " + std::to_string(snt::boot::kFlashSize) +
                                        " bytes, not " + std::to_string(rom.size()));
        s.settings_store = std::make_unique<PageInMemory>(rom);
        s.store_region = sim::Flash::Region::WholeFlash;
    }
    return s;
}

// The board's setup and CPU: the chip image on the core; or, with a rom or
// BOOT0 high, what the flash holds (the chip image programmed first into a
// rom without one), behind the bootloader with BOOT0 high.
struct Parts {
    sim::BoardSetup setup;
    sim::CpuFactory cpu;
    PageInMemory *rom = nullptr; // owned by the board's flash
};

Parts parts_of(const val &options, const std::vector<std::uint8_t> &image)
{
    Parts p;
    p.setup = setup(options);
    const bool boot0 = option<bool>(options, "boot0", false);
    if (p.setup.store_region != sim::Flash::Region::WholeFlash && !boot0) {
        p.cpu = sim::ChipCpu::factory(sim::ElfImage(image, "the chip image"));
        return p;
    }
    sim::ElfImage elf(image, "the chip image");
    if (p.setup.store_region == sim::Flash::Region::WholeFlash) {
        p.rom = static_cast<PageInMemory *>(p.setup.settings_store.get());
        if (without_image(p.rom->bytes())) p.setup.program = snt::flash::read_elf(image).bytes;
    } else {
        p.setup.program = snt::flash::read_elf(image).bytes;
    }
    if (!boot0) {
        p.cpu = sim::ChipCpu::from_flash(elf);
        return p;
    }
    p.cpu =
        sim::BootCpu::factory([elf](sim::Board &board, std::uint32_t vectors, const std::vector<std::uint8_t> &ram) {
            return sim::ChipCpu::from_flash(elf, vectors, ram)(board);
        });
    return p;
}

// The host's line as Web Serial's open() options give it.
sim::Usart::HostLine host_line(const val &line)
{
    sim::Usart::HostLine h;
    const double baud = option<double>(line, "baudRate", 115200);
    if (!(baud >= 1 && baud <= 4e6) || baud != std::floor(baud))
        throw std::invalid_argument("baudRate: a whole number from 1 to 4000000");
    h.baud = static_cast<std::uint32_t>(baud);
    h.data_bits = option<unsigned>(line, "dataBits", 8);
    h.stop_bits = option<unsigned>(line, "stopBits", 1);
    if (h.data_bits < 5 || h.data_bits > 8) throw std::invalid_argument("dataBits: 5 to 8");
    if (h.stop_bits < 1 || h.stop_bits > 2) throw std::invalid_argument("stopBits: 1 or 2");
    const std::string parity = option<std::string>(line, "parity", "none");
    if (parity == "none") {
        h.parity = sim::Usart::HostLine::Parity::None;
    } else if (parity == "even") {
        h.parity = sim::Usart::HostLine::Parity::Even;
    } else if (parity == "odd") {
        h.parity = sim::Usart::HostLine::Parity::Odd;
    } else {
        throw std::invalid_argument("parity: none, even or odd, not " + parity);
    }
    return h;
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
    try : WebBoard(parts_of(options, bytes(image))) {
    } catch (const std::exception &e) {
        throw_to_js(e);
    }

    explicit WebBoard(Parts parts) : board_(std::move(parts.setup), parts.cpu), rom_(parts.rom)
    {
        board_.usart().set_tx_sink([this](std::uint8_t b) {
            output_.push_back(static_cast<char>(b));
            line_waiting_ = line_waiting_ || b == '\r' || output_.size() > snt::kMaxReplyLine;
        });
        board_.set_idle_hook([this] { send_next_line(); });
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
        return run([this] { return idle(); }, max_cycles);
    }
    bool idle() const { return lines_.empty() && !board_.usart().host_sending() && board_.firmware_idle(); }

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
    val rom() const { return rom_ ? bytes_to_js(rom_->bytes()) : val::null(); }
    unsigned rom_changes() const { return rom_ ? rom_->stores() : 0; }
    void set_line(const val &line)
    {
        or_throw([&] { board_.usart().set_host_line(host_line(line)); });
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
    const PageInMemory *rom_;
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
        .function("idle", &WebBoard::idle)
        .function("takeOutput", &WebBoard::take_output)
        .function("now", &WebBoard::now)
        .function("settingsPage", &WebBoard::settings_page)
        .function("rom", &WebBoard::rom)
        .function("romChanges", &WebBoard::rom_changes)
        .function("setLine", &WebBoard::set_line)
        .function("statistics", &WebBoard::statistics);
    emscripten::function("checkBoard", &check_board);
    emscripten::constant("CORE_HZ", static_cast<double>(sim::kCoreHz));
}
