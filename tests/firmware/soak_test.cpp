// A long, hostile session on the virtual board: random command lines, a
// noisy line (noise and framing errors, overruns, stray flags), lines sent
// without waiting for the answer, and the power cut while `x` writes the
// settings page, at every access of the write and at random points of it.
// Whatever happened, the board must still answer `w`; the page must hold the
// old crystal, the new one, or an erased or half-written word that start-up
// refuses; and the banner must announce one of the crystals stored or the
// default. Everything runs in virtual time from a fixed seed, so every run
// is the same run.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "board_fixture.h"
#include "protocol.h"

namespace snt_test {
namespace {

using Page = sim::Flash::PageData;
using sim::Usart;

constexpr std::uint32_t kDefaultCrystal = 25000000;
constexpr std::uint32_t kMinCrystal = 24000000, kMaxCrystal = 31000000;
constexpr std::uint32_t kErased = 0xFFFFFFFF;
const std::string kId = ID_TEXT "\r";
// Longest any line of the session may keep the firmware busy: a sweep of a
// few points after a change of PLLs, or a frequency with its settling time.
constexpr Cycles kSettleLimit = ms(2000);

Page page_holding(std::uint32_t value)
{
    Page p;
    p.fill(0xFF);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
    return p;
}

std::uint32_t word0(const Page &p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

bool in_window(std::uint32_t hz) { return hz >= kMinCrystal && hz <= kMaxCrystal; }

// What start-up makes of a page: the stored crystal inside the window, else
// the default.
std::uint32_t start_up_crystal(const Page &p) { return in_window(word0(p)) ? word0(p) : kDefaultCrystal; }

// The low half-word of `value` programmed, the high one still erased: a write
// cut between its two half-words.
std::uint32_t half_written(std::uint32_t value) { return 0xFFFF0000u | (value & 0xFFFF); }

// Everything after word 0 stays erased.
bool rest_erased(const Page &p)
{
    for (std::size_t i = 4; i < p.size(); ++i) {
        if (p[i] != 0xFF) return false;
    }
    return true;
}

// splitmix64: the same numbers on every platform and library.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next()
    {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    std::uint32_t between(std::uint32_t lo, std::uint32_t hi) { return lo + below(hi - lo + 1); }
    bool one_in(std::uint32_t n) { return below(n) == 0; }

private:
    std::uint64_t state_;
};

// A board from power-on, finding the page as the last one left it.
class PoweredBoard {
public:
    explicit PoweredBoard(const Page &page) { board.flash().load(page); }

    sim::SimBoard board;
    SerialCapture serial{board};

    // Start-up to the main loop; the crystal announced in the banner.
    std::string boot()
    {
        EXPECT_TRUE(board.run_until_idle(ms(300))) << "start-up did not reach the main loop";
        const std::string banner = take_output();
        EXPECT_EQ(banner.substr(banner.find('\r') + 1), kId) << "the banner ends with the identification";
        return banner.substr(0, banner.find('\r'));
    }
    void send(const std::string &bytes, Usart::LineError error = Usart::kNoError)
    {
        board.usart().host_send(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size(), error);
    }
    // Lets what was sent arrive, then runs until the firmware idles again.
    bool settle()
    {
        const Cycles arrival = board.usart().host_send_done_at();
        board.run_until([&] { return board.now() >= arrival; }, kSettleLimit);
        return board.run_until_idle(kSettleLimit);
    }
    std::string take_output()
    {
        std::string out = serial.text();
        serial.clear();
        return out;
    }
    // Runs until the whole of `line` has arrived; returns the access count then.
    std::uint64_t deliver(const std::string &line)
    {
        send(line);
        const Cycles arrival = board.usart().host_send_done_at();
        EXPECT_TRUE(board.run_until([&] { return board.now() >= arrival; }, ms(100)));
        return board.accesses();
    }
    Page page() { return board.flash().contents(); }
};

// ------------------------------------------------------- power cuts in `x`

// The crystal write of `x` and where each of its accesses leaves the page.
class CrystalWriteCut : public ::testing::Test {
protected:
    // Accesses of the firmware from the arrival of the line to the end of
    // the write (the interface locked again after both half-words).
    static std::pair<std::uint64_t, std::uint64_t> write_window(const Page &before, std::uint32_t value)
    {
        PoweredBoard b(before);
        b.boot();
        const std::uint64_t first = b.deliver("x " + std::to_string(value) + "\r");
        sim::Flash &flash = b.board.flash();
        EXPECT_TRUE(b.board.run_until([&] { return flash.programs() == 2 && flash.locked(); }, ms(200)));
        return {first, b.board.accesses()};
    }

    // Cuts the power after access `at` while `value` is written over
    // `before`; checks the page and the next start-up, and returns the word
    // left in the page.
    static std::uint32_t cut_at(const Page &before, std::uint32_t value, std::uint64_t at)
    {
        Page left;
        {
            PoweredBoard b(before);
            b.boot();
            b.deliver("x " + std::to_string(value) + "\r");
            EXPECT_TRUE(b.board.run_until([&] { return b.board.accesses() >= at; }, ms(200)));
            left = b.page();
        } // power off

        const std::uint32_t word = word0(left);
        EXPECT_TRUE(word == word0(before) || word == kErased || word == half_written(value) || word == value)
            << std::hex << "0x" << word;
        EXPECT_TRUE(rest_erased(left));

        PoweredBoard next(left);
        const std::string banner = next.boot();
        EXPECT_EQ(banner, std::to_string(start_up_crystal(left)));
        EXPECT_TRUE(banner == std::to_string(start_up_crystal(before)) || banner == std::to_string(value) ||
                    banner == std::to_string(kDefaultCrystal))
            << banner;
        next.send("w\r");
        EXPECT_TRUE(next.settle());
        EXPECT_EQ(next.take_output(), kId) << "the board answers after the cut";
        // And the page can be written again.
        next.send("x " + std::to_string(value) + "\r");
        EXPECT_TRUE(next.settle());
        EXPECT_EQ(word0(next.page()), value);
        return word;
    }
};

TEST_F(CrystalWriteCut, EveryAccessOfTheWriteLeavesTheOldTheNewOrARefusedWord)
{
    const struct {
        Page before;
        std::uint32_t value;
    } cases[] = {
        {page_holding(kErased), 26000000},                // a fresh chip
        {page_holding(24000000), 31000000},               // one crystal over another
        {page_holding(27000000), 27000000},               // the same crystal again
        {page_holding(half_written(30000000)), 24000000}, // after an earlier cut
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("0x" + std::to_string(word0(c.before)) + " -> " + std::to_string(c.value));
        const auto [first, last] = write_window(c.before, c.value);
        ASSERT_GT(last, first);
        ASSERT_LT(last - first, 500u) << "the write is a few dozen accesses";
        std::set<std::uint32_t> left;
        for (std::uint64_t at = first; at <= last; ++at) {
            SCOPED_TRACE("cut after access " + std::to_string(at - first) + " of " + std::to_string(last - first));
            left.insert(cut_at(c.before, c.value, at));
            if (HasFailure()) return;
        }
        // Cuts before the erase, after it, between the half-words and after
        // the write all happened.
        EXPECT_EQ(left.count(word0(c.before)), 1u);
        EXPECT_EQ(left.count(kErased), 1u);
        EXPECT_EQ(left.count(half_written(c.value)), 1u);
        EXPECT_EQ(left.count(c.value), 1u);
    }
}

// ------------------------------------------------------- a random session

class Soak : public ::testing::Test {
protected:
    Rng rng{20240611};
    Page page = page_holding(kErased);
    std::unique_ptr<PoweredBoard> b;
    // Every crystal an `x` in the window was ever sent with.
    std::set<std::uint32_t> crystals_sent;

    void power_on()
    {
        b = std::make_unique<PoweredBoard>(page);
        const std::string banner = b->boot();
        EXPECT_EQ(banner, std::to_string(start_up_crystal(page)));
        const bool known = banner == std::to_string(kDefaultCrystal) ||
            crystals_sent.count(static_cast<std::uint32_t>(std::stoul(banner))) == 1;
        EXPECT_TRUE(known) << "the banner announces " << banner << ", which was never stored";
    }
    void power_cycle()
    {
        page = b->page();
        b.reset();
        power_on();
    }

    std::uint32_t random_crystal()
    {
        const std::uint32_t hz = rng.between(kMinCrystal, kMaxCrystal);
        crystals_sent.insert(hz);
        return hz;
    }
    // What may stand between the letter and a number (`empty` allowed) or
    // between two numbers.
    std::string separator(bool empty = true)
    {
        static const char *const kinds[] = {" ", "  ", ",", " ,", ""};
        return kinds[rng.below(empty ? 5 : 4)];
    }

    // A command line as a host may send it, and what must come back.
    struct Line {
        std::string text;
        std::string reply;      // exact, when `points` is negative
        int points = -1;        // a sweep: this many reply lines
        std::uint32_t xtal = 0; // an `x` inside the window
    };
    Line random_line()
    {
        Line l;
        switch (rng.below(8)) {
        case 0:
            l.text = "w";
            l.reply = kId;
            break;
        case 1: {
            l.points = static_cast<int>(rng.below(4));
            l.text = "r" + separator() + std::to_string(rng.between(1, 2000000)) + separator(false) +
                std::to_string(l.points);
            break;
        }
        case 2:
            l.text = "f" + separator() + std::to_string(rng.between(10000, 250000000));
            break;
        case 3:
            l.text = "o";
            break;
        case 4:
            l.text = "c";
            break;
        case 5:
            l.xtal = random_crystal();
            l.text = "x" + separator() + std::to_string(l.xtal);
            break;
        case 6: // outside the window: ignored
            l.text = "x " +
                std::to_string(rng.one_in(2) ? rng.below(kMinCrystal) : rng.between(kMaxCrystal + 1, 0xFFFFFFFFu));
            break;
        default: // not a command
            l.text = rng.one_in(2) ? "" : std::string("W?q ").substr(0, rng.between(1, 4)) + "12";
            break;
        }
        l.text += "\r";
        return l;
    }

    void run_clean_line()
    {
        const Line l = random_line();
        SCOPED_TRACE("line " + l.text.substr(0, l.text.size() - 1));
        const std::uint32_t before = word0(b->page());
        b->send(l.text);
        ASSERT_TRUE(b->settle());
        const std::string reply = b->take_output();
        if (l.points < 0) {
            EXPECT_EQ(reply, l.reply);
        } else {
            EXPECT_EQ(static_cast<int>(std::count(reply.begin(), reply.end(), '\r')), l.points) << reply;
        }
        EXPECT_EQ(word0(b->page()), l.xtal != 0 ? l.xtal : before);
        EXPECT_TRUE(rest_erased(b->page()));
    }

    // Bytes that are no command letter, in pieces with line errors and
    // stray error flags between them, then a carriage return.
    void run_noise()
    {
        const std::uint32_t before = word0(b->page());
        const int pieces = static_cast<int>(rng.between(1, 6));
        for (int i = 0; i < pieces; ++i) {
            std::string bytes;
            for (std::uint32_t n = rng.between(1, 80); n > 0; --n) {
                char c = static_cast<char>(rng.below(256));
                if (std::string("cforwx").find(c) != std::string::npos) c = '#';
                bytes.push_back(c);
            }
            static const Usart::LineError errors[] = {Usart::kNoError, Usart::kNoise, Usart::kFraming};
            b->send(bytes, errors[rng.below(3)]);
            const Cycles until = b->board.now() + rng.below(static_cast<std::uint32_t>(ms(5)));
            b->board.run_until([&] { return b->board.now() >= until; }, ms(10));
            static const std::uint32_t flags[] = {Usart::kORE, Usart::kNE, Usart::kFE, Usart::kIDLE, Usart::kCMF};
            if (rng.one_in(2)) b->board.usart().force_flags(flags[rng.below(5)] | flags[rng.below(5)]);
        }
        b->send("\r");
        ASSERT_TRUE(b->settle());
        b->take_output();
        EXPECT_EQ(word0(b->page()), before) << "noise stored nothing";
    }

    // Lines sent back to back without waiting, as a careless host does: the
    // ones behind an `x` arrive while the erase stalls the core, and overrun.
    void run_stream()
    {
        std::set<std::uint32_t> may_hold = {word0(b->page())};
        std::string bytes;
        for (std::uint32_t n = rng.between(2, 4); n > 0; --n) {
            Line l = random_line();
            if (l.points > 1) continue; // a sweep would outlast the rest
            if (l.xtal != 0) may_hold.insert(l.xtal);
            bytes += l.text;
        }
        const std::uint64_t overruns = b->board.usart().overruns();
        b->send(bytes);
        ASSERT_TRUE(b->settle());
        b->send("\r");
        ASSERT_TRUE(b->settle());
        b->take_output();
        overruns_seen += b->board.usart().overruns() - overruns;
        EXPECT_EQ(may_hold.count(word0(b->page())), 1u) << word0(b->page());
        EXPECT_TRUE(rest_erased(b->page()));
    }

    // `x` with the power cut at a random access of its write.
    void run_cut_write()
    {
        const Page before = b->page();
        const std::uint32_t value = random_crystal();
        const std::uint64_t first = b->deliver("x " + std::to_string(value) + "\r");
        const std::uint64_t at = first + rng.below(56); // the write is 45 accesses
        SCOPED_TRACE("x " + std::to_string(value) + " cut after access " + std::to_string(at - first));
        ASSERT_TRUE(b->board.run_until([&] { return b->board.accesses() >= at; }, ms(200)));
        power_cycle();
        const std::uint32_t word = word0(page);
        EXPECT_TRUE(word == word0(before) || word == kErased || word == half_written(value) || word == value)
            << std::hex << "0x" << word;
        EXPECT_TRUE(rest_erased(page));
    }

    std::uint64_t overruns_seen = 0;
};

TEST_F(Soak, RandomLinesLineNoiseAndPowerCutsLeaveABoardThatAnswers)
{
    power_on();
    int cuts = 0, noise = 0, streams = 0;
    for (int step = 0; step < 600; ++step) {
        SCOPED_TRACE("step " + std::to_string(step));
        const std::uint32_t action = rng.below(20);
        if (action < 10) {
            run_clean_line();
        } else if (action < 13) {
            run_noise();
            ++noise;
        } else if (action < 16) {
            run_stream();
            ++streams;
        } else if (action < 19) {
            run_cut_write();
            ++cuts;
        } else {
            power_cycle();
        }
        // Whatever came before, the board answers.
        b->send("w\r");
        ASSERT_TRUE(b->settle());
        ASSERT_EQ(b->take_output(), kId);
        if (HasFailure()) return;
    }
    EXPECT_GT(cuts, 20);
    EXPECT_GT(noise, 20);
    EXPECT_GT(streams, 20);
    EXPECT_GT(overruns_seen, 0u) << "lines behind an x overran the receiver";
}

} // namespace
} // namespace snt_test
