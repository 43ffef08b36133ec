// The tester's protocol client (core/client) for JavaScript: the page's
// loop feeds it what the serial port or the virtual board sends and the
// time, and sends what it asks for, as snt's Device does.
//
//   const client = new Module.Client(portName);   // names the port in messages
//   client.connect(now), identify(now), setFrequency(now, hz), off(now),
//   calibrate(now), setCrystal(now, hz), sweep(now, start, step, points,
//   perCommand), sweepFrequencies(now, frequencies, perCommand), raw(now,
//   line)                 start a command: false while another runs
//   client.stop()         ends a sweep at the point just taken
//   client.receive(now, bytes), client.tick(now)
//   client.closed(why), client.abort(why)
//   client.nextEvent()    null, or {kind: "banner" | "identified" | "point" |
//                         "line" | "done" | "failed", crystal, index, level
//                         (null for "*"), points, text, failure: "no-answer" |
//                         "protocol" | "line-too-long" | "closed" | "interrupted"}
//   client.takeOutput()   Uint8Array of the bytes to send now
//   client.wakeAt()       when to call tick() at the latest, or null
//   client.busy(), client.bannerCrystal() (or null)
//   client.delete()
//   Module.IDENTIFICATION        what a tester answers to `w`
// `now` is microseconds from any origin, never running backwards.
#include <emscripten/bind.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/client/tester_client.h"
#include "shells/wasm/js_values.h"

namespace {

using emscripten::val;
using namespace snt_wasm;

snt::ClientTime time_of(double now)
{
    if (!std::isfinite(now)) throw std::invalid_argument("now: a finite number of microseconds");
    return static_cast<snt::ClientTime>(now);
}

const char *kind_name(snt::ClientEvent::Kind kind)
{
    using Kind = snt::ClientEvent::Kind;
    switch (kind) {
    case Kind::Banner:
        return "banner";
    case Kind::Identified:
        return "identified";
    case Kind::Point:
        return "point";
    case Kind::Line:
        return "line";
    case Kind::Done:
        return "done";
    case Kind::Failed:
        return "failed";
    }
    return "failed";
}

const char *failure_name(snt::Failure failure)
{
    switch (failure) {
    case snt::Failure::NoAnswer:
        return "no-answer";
    case snt::Failure::Protocol:
        return "protocol";
    case snt::Failure::LineTooLong:
        return "line-too-long";
    case snt::Failure::Closed:
        return "closed";
    case snt::Failure::Interrupted:
        return "interrupted";
    }
    return "no-answer";
}

class JsClient {
public:
    explicit JsClient(const std::string &port_name) : client_(port_name) {}

    bool connect(double now)
    {
        return or_throw([&] { return client_.connect(time_of(now)); });
    }
    bool identify(double now)
    {
        return or_throw([&] { return client_.identify(time_of(now)); });
    }
    bool set_frequency(double now, double hz)
    {
        return or_throw([&] { return client_.set_frequency(time_of(now), whole(hz, "hz")); });
    }
    bool off(double now)
    {
        return or_throw([&] { return client_.off(time_of(now)); });
    }
    bool calibrate(double now)
    {
        return or_throw([&] { return client_.calibrate(time_of(now)); });
    }
    bool set_crystal(double now, double hz)
    {
        return or_throw([&] { return client_.set_crystal(time_of(now), whole(hz, "hz")); });
    }
    bool sweep(double now, double start, double step, double points, double per_command)
    {
        return or_throw([&] {
            return client_.sweep(time_of(now), whole(start, "start"), whole(step, "step"), whole(points, "points"),
                                 whole(per_command, "perCommand"));
        });
    }
    bool sweep_frequencies(double now, const val &frequencies, double per_command)
    {
        return or_throw([&] {
            std::vector<std::uint32_t> f;
            for (double v : emscripten::convertJSArrayToNumberVector<double>(frequencies)) f.push_back(whole(v, "hz"));
            return client_.sweep_frequencies(time_of(now), std::move(f), whole(per_command, "perCommand"));
        });
    }
    bool raw(double now, const std::string &line)
    {
        return or_throw([&] { return client_.raw(time_of(now), line); });
    }
    void stop() { client_.stop(); }

    void receive(double now, const std::string &bytes)
    {
        or_throw([&] { client_.receive(time_of(now), bytes); });
    }
    void tick(double now)
    {
        or_throw([&] { client_.tick(time_of(now)); });
    }
    void closed(const std::string &why) { client_.closed(why); }
    void abort(const std::string &why) { client_.abort(why); }

    val next_event()
    {
        const auto e = client_.next_event();
        if (!e) return val::null();
        val out = val::object();
        out.set("kind", std::string(kind_name(e->kind)));
        out.set("crystal", e->crystal);
        out.set("index", e->index);
        out.set("level", e->level ? val(*e->level) : val::null());
        out.set("points", e->points);
        out.set("text", e->text);
        out.set("failure", std::string(failure_name(e->failure)));
        return out;
    }
    val take_output() { return bytes_to_js(client_.take_output()); }
    val wake_at() const
    {
        const auto at = client_.wake_at();
        return at ? val(static_cast<double>(*at)) : val::null();
    }
    bool busy() const { return client_.busy(); }
    val banner_crystal() const
    {
        const auto c = client_.banner_crystal();
        return c ? val(*c) : val::null();
    }

private:
    static std::uint32_t whole(double v, const char *what)
    {
        if (!(v >= 0 && v <= 4294967295.0) || v != std::floor(v))
            throw std::invalid_argument(std::string(what) + ": a whole number from 0 to 4294967295");
        return static_cast<std::uint32_t>(v);
    }

    snt::TesterClient client_;
};

} // namespace

EMSCRIPTEN_BINDINGS(snt_client)
{
    emscripten::class_<JsClient>("Client")
        .constructor<const std::string &>()
        .function("connect", &JsClient::connect)
        .function("identify", &JsClient::identify)
        .function("setFrequency", &JsClient::set_frequency)
        .function("off", &JsClient::off)
        .function("calibrate", &JsClient::calibrate)
        .function("setCrystal", &JsClient::set_crystal)
        .function("sweep", &JsClient::sweep)
        .function("sweepFrequencies", &JsClient::sweep_frequencies)
        .function("raw", &JsClient::raw)
        .function("stop", &JsClient::stop)
        .function("receive", &JsClient::receive)
        .function("tick", &JsClient::tick)
        .function("closed", &JsClient::closed)
        .function("abort", &JsClient::abort)
        .function("nextEvent", &JsClient::next_event)
        .function("takeOutput", &JsClient::take_output)
        .function("wakeAt", &JsClient::wake_at)
        .function("busy", &JsClient::busy)
        .function("bannerCrystal", &JsClient::banner_crystal);
    emscripten::constant("IDENTIFICATION", std::string(snt::kIdentification));
}
