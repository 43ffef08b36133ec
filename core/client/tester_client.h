// The tester's serial protocol, without any I/O: one command line at a
// time, never two in flight; a command the firmware does not answer is
// followed by `w`, whose identification comes only once the command is done.
//
// The client is fed what arrives and the time, and says what to send, when
// it next wants to be woken and what happened. It never blocks, reads no
// clock and throws nothing: a failure is an event with its message. Time
// is a count of microseconds from any origin the caller likes (a steady
// clock, a virtual board's cycles), as long as it never runs backwards.
//
// A caller's loop, after starting a command and after every receive() or
// tick():
//   1. take every event with next_event() (a Point may be answered with
//      stop() before the next event is taken);
//   2. send take_output();
//   3. while busy(), wait for bytes until wake_at(), then receive() them
//      (or tick() when none came).
// The client goes only as far as its events have been taken, so a stop()
// after a Point takes effect right there.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace snt {

// Microseconds, from an origin the caller chooses.
using ClientTime = std::int64_t;

// Time-outs, each derived from what the firmware needs plus a margin. Every
// wait also has an overall limit, so a device that keeps talking cannot
// keep us waiting either.
struct Timing {
    using milliseconds = std::chrono::milliseconds;
    // `w` is answered within a millisecond of being taken; a board that has
    // just started also sends its banner first.
    milliseconds identify{500};
    // The whole greeting (banner, identification), and again the quiet
    // after it: a device still talking after this is refused.
    milliseconds greeting{2000};
    // After a banner the answer to our own `w` may follow: the line must
    // be quiet this long before we go on.
    milliseconds settle{200};
    // `f` takes a few ms, 100 ms more when the outputs were off; `x` writes a
    // flash page (tens of ms); then the `w` behind them.
    milliseconds silent_command{1000};
    // While `x` erases and programs its flash page (30 ms, then 53.5 us per
    // half-word) the core stalls and the receiver keeps one byte: the `w`
    // behind it waits this long, and is sent once more when its answer does
    // not come within silent_command.
    milliseconds flash_write{200};
    int flash_confirmations{2};
    // One sweep point: about 20 ms, about 70 ms after a PLL reset.
    milliseconds point{500};
    // The whole sweep: this much per point, plus sweep_slack.
    milliseconds per_point_budget{100};
    milliseconds sweep_slack{1000};
    // `raw`: collect replies until the line has been quiet this long, for
    // at most raw_limit.
    milliseconds raw_quiet{500};
    milliseconds raw_limit{60000};
};

constexpr const char *kIdentification = ID_TEXT;
// Points per `r` command; longer sweeps are split.
constexpr std::uint32_t kMaxPointsPerCommand = 10000;
// The longest reply line taken; the tester's longest is a level of about
// 45 characters.
constexpr std::size_t kMaxReplyLine = 256;

// Why a command failed.
enum class Failure {
    NoAnswer,    // nothing, or not all, came in time
    Protocol,    // the device answered, but not as this firmware does
    LineTooLong, // a line longer than kMaxReplyLine
    Closed,      // the link went away (told by the caller)
    Interrupted, // the caller gave up (told by the caller)
};

struct ClientEvent {
    enum class Kind {
        Banner,     // the start-up banner: `crystal`
        Identified, // the identification, after connect() or identify(): `text`
        Point,      // one sweep point: `index` and `level` (none where the tester sent `*`)
        Line,       // raw(): one line that came back: `text`
        Done,       // the command has ended; a sweep: `points` handed on
        Failed,     // the command has failed: `failure` and the message in `text`
    };
    Kind kind = Kind::Done;
    std::uint32_t crystal = 0;
    std::uint32_t index = 0;
    std::optional<double> level;
    std::uint32_t points = 0;
    std::string text;
    Failure failure = Failure::NoAnswer;
};

class TesterClient {
public:
    // `port_name` names the device's port in messages ("the device on ...").
    explicit TesterClient(std::string_view port_name, const Timing &timing = Timing{});

    // ---- commands: each returns false, and does nothing, while another runs
    // Makes sure a tester is there: sends `w` and waits for the
    // identification, taking a start-up banner on the way.
    bool connect(ClientTime now);
    // Sends `w`; Identified, then Done.
    bool identify(ClientTime now);
    // Output 1 to `hz`, output 0 (the LO) 1 kHz away.
    bool set_frequency(ClientTime now, std::uint32_t hz);
    // All outputs off.
    bool off(ClientTime now);
    // The crystal on all outputs, for counting it.
    bool calibrate(ClientTime now);
    // Stores the crystal frequency (24..31 MHz) in flash and applies it;
    // waits Timing::flash_write before the `w`, which goes out up to
    // Timing::flash_confirmations times.
    bool set_crystal(ClientTime now, std::uint32_t hz);
    // `points` levels from `start`, `step` apart, in commands of at most
    // `per_command` points, each started from a frequency set with `f`.
    bool sweep(ClientTime now, std::uint32_t start, std::uint32_t step, std::uint32_t points,
               std::uint32_t per_command = kMaxPointsPerCommand);
    // The points of `frequencies` (rising), in runs of equal spacing: one
    // `f` for the first point, then `r STEP COUNT` per run, each run
    // stepping on to where the next begins (a logarithmic sweep is a run
    // per point).
    bool sweep_frequencies(ClientTime now, std::vector<std::uint32_t> frequencies,
                           std::uint32_t per_command = kMaxPointsPerCommand);
    // Sends one line; a Line for each line that comes back until the
    // device goes quiet.
    bool raw(ClientTime now, const std::string &line);
    // Ends the sweep in flight: no further Point; the replies still due for
    // the command the tester is running are read and dropped, so the
    // device is idle again at Done.
    void stop();

    // ---- what happens on the link
    void receive(ClientTime now, std::string_view bytes);
    // Time has passed without bytes.
    void tick(ClientTime now) { now_ = now; }
    // The link has gone: the command in flight fails with `why` (Closed).
    void closed(const std::string &why);
    // The caller gives up: the command in flight fails with `why`
    // (Interrupted).
    void abort(const std::string &why);

    // ---- what the client wants
    std::optional<ClientEvent> next_event();
    // The bytes to send now, in order.
    std::string take_output();
    // When to call tick() at the latest; nothing while no command runs.
    std::optional<ClientTime> wake_at() const;
    bool busy() const { return job_ != Job::None; }

    // The crystal frequency the start-up banner announced, if connect() saw one.
    std::optional<std::uint32_t> banner_crystal() const { return banner_crystal_; }
    const Timing &timing() const { return timing_; }

private:
    enum class Job { None, Connect, Identify, Silent, Sweep, Raw };
    enum class Phase {
        Greeting,    // connect: waiting for the identification, a banner on the way
        Settling,    // connect, after a banner: waiting for quiet
        Identifying, // identify: waiting for the identification
        Pausing,     // a silent command sent: waiting before its `w`
        Confirming,  // waiting for the identification after a silent command
        Points,      // reading the points of one `r`
        RunDone,     // one `r` fully read: on to the next once its last point is taken
        Raw,         // raw: handing on lines until quiet
    };
    struct Sweep {
        bool listed = false; // frequencies given one by one
        std::uint32_t start = 0, step = 0, points = 0;
        std::vector<std::uint32_t> frequencies;
        std::uint32_t per_command = kMaxPointsPerCommand;
        ClientTime deadline = 0;
        std::uint32_t done = 0;                // points handed on
        std::uint32_t first = 0, count = 0;    // the run in flight
        std::uint32_t run_step = 0, taken = 0; // and the replies taken of it
        std::optional<std::uint32_t> at;       // where the firmware's frequency is, when known
        bool stopping = false;
    };
    enum class Take { None, Line, TooLong };

    bool start(ClientTime now, Job job);
    void send(const std::string &line);
    Take take_line(std::string &line);
    bool advance();
    void on_line(const std::string &line);
    void on_time();
    void greeting_line(const std::string &line);
    void settled();
    void start_silent(const std::string &line, std::chrono::milliseconds pause, int attempts);
    void confirm();
    void confirmed();
    void begin_sweep(std::uint32_t per_command);
    void next_run();
    void send_run();
    void point_line(const std::string &line);
    void finish(ClientEvent event);
    void finish_done() { finish(ClientEvent{}); }
    void fail(Failure failure, const std::string &message);
    ClientTime after(std::chrono::milliseconds ms) const { return now_ + ms.count() * 1000; }

    std::string port_;
    Timing timing_;
    ClientTime now_ = 0;
    std::string rx_;
    std::size_t rx_begin_ = 0;
    std::string tx_;
    std::deque<ClientEvent> events_;
    std::optional<std::uint32_t> banner_crystal_;

    Job job_ = Job::None;
    Phase phase_ = Phase::Greeting;
    ClientTime deadline_ = 0; // of the phase's wait
    ClientTime limit_ = 0;    // of the whole greeting, the quiet after it, or raw
    ClientTime quiet_until_ = 0;
    bool chatter_ = false; // greeting: lines that were neither banner nor identification
    bool first_ = false;   // settling: no line yet
    std::string silent_line_;
    int attempt_ = 0, attempts_ = 1;
    Sweep sweep_;
};

// Reads one sweep reply: "*" gives a level of none, a number its value.
// False for anything else.
bool read_level(std::string_view line, std::optional<double> &level);
// The message for a reply that is not a level.
std::string unexpected_reply(std::string_view line);

} // namespace snt
