#include "shells/serve/serve_http.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <limits>
#include <random>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "shells/serve/serve_controller.h"
#include "shells/serve/web_assets.h"

namespace snt {

namespace {

using json = nlohmann::json;

constexpr const char *kTokenHeader = "X-SNT-Token";
// A trace and its reference at a million points each, as JSON.
constexpr std::size_t kMaxBody = std::size_t{96} << 20;
// Ports tried after the default one when it is taken.
constexpr int kPortsToTry = 20;

void send_json(httplib::Response &res, int status, const json &body)
{
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

void refuse(httplib::Response &res, int status, const std::string &why, const std::string &field = "")
{
    json body{{"error", why}};
    if (!field.empty()) body["field"] = field;
    send_json(res, status, body);
}

// A field the user typed, as text (numbers are taken as they would be
// typed); missing or empty fields are empty.
std::string text_field(const json &body, const char *name)
{
    if (!body.contains(name) || body[name].is_null()) return "";
    const json &v = body[name];
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_unsigned()) return std::to_string(v.get<std::uint64_t>());
    if (v.is_number()) return v.dump();
    throw InputError(std::string(name) + " must be text or a number");
}

// An error in one of the sweep's fields, named for the page.
struct FieldError : InputError {
    FieldError(const std::string &what, std::string f) : InputError(what), field(std::move(f)) {}
    std::string field;
};

template <typename F>
auto in_field(const std::string &field, F &&f) -> decltype(f())
{
    try {
        return f();
    } catch (const FieldError &) {
        throw;
    } catch (const InputError &e) {
        throw FieldError(e.what(), field);
    }
}

// The sweep settings of a request, checked as the command line checks
// --start, --stop, --points and --step, with the same messages.
SweepPlan plan_of(const json &body)
{
    if (!body.is_object()) throw InputError("expected a JSON object with start, stop and points or step");
    const std::string start_text = in_field("start", [&] { return text_field(body, "start"); });
    const std::string stop_text = in_field("stop", [&] { return text_field(body, "stop"); });
    const std::string points_text = in_field("points", [&] { return text_field(body, "points"); });
    const std::string step_text = in_field("step", [&] { return text_field(body, "step"); });
    if (start_text.empty()) throw FieldError("give the start frequency", "start");
    if (stop_text.empty()) throw FieldError("give the stop frequency", "stop");
    const std::uint32_t start = in_field("start", [&] { return parse_frequency(start_text, "--start"); });
    const std::uint32_t stop = in_field("stop", [&] { return parse_frequency(stop_text, "--stop"); });
    in_field("start", [&] {
        check_frequency(start, "start frequency");
        return 0;
    });
    in_field("stop", [&] {
        check_frequency(stop, "stop frequency");
        return 0;
    });
    if (stop < start) throw FieldError("the stop frequency is below the start frequency", "stop");
    if (!points_text.empty() && !step_text.empty())
        throw FieldError("give either --points or --step, not both", "points");
    if (points_text.empty() && step_text.empty()) throw FieldError("give --points or --step", "points");
    std::optional<std::uint32_t> n, st;
    const std::string which = points_text.empty() ? "step" : "points";
    if (!points_text.empty()) n = in_field("points", [&] { return parse_count(points_text, "--points"); });
    if (!step_text.empty()) st = in_field("step", [&] { return parse_frequency(step_text, "--step"); });
    const std::string scale = in_field("scale", [&] { return text_field(body, "scale"); });
    if (scale == "log") {
        if (!n) throw FieldError("--log spaces the points by a ratio: give --points, not --step", "step");
        return in_field("points", [&] { return SweepPlan::make_log(start, stop, *n); });
    }
    if (!scale.empty() && scale != "linear") throw FieldError("the scale is linear or log", "scale");
    return in_field(which, [&] { return SweepPlan::make(start, stop, n, st); });
}

json plan_json(const SweepPlan &p)
{
    const SweepEstimate e = SweepEstimate::of(p);
    return {{"start", p.start}, {"step", p.step},       {"points", p.points},   {"stop", p.last()},
            {"log", p.log},     {"seconds", e.seconds}, {"estimate", e.text(p)}};
}

json level_json(const Device::Level &l) { return l ? json(*l) : json(nullptr); }

json state_json(const DeviceState &s, const std::string &device_name)
{
    return {{"connected", s.connected},
            {"identification", s.identification},
            {"crystal", s.crystal ? json(*s.crystal) : json(nullptr)},
            {"error", s.error},
            {"job", s.job},
            {"message", s.message},
            {"device", device_name}};
}

json sweep_json(const SweepInfo &s)
{
    json j{{"id", s.id}, {"status", to_string(s.status)}, {"message", s.message}};
    if (s.id != 0) j["plan"] = plan_json(s.plan);
    return j;
}

json points_json(const SweepPlan &plan, std::uint32_t first, const std::vector<Device::Level> &levels)
{
    json pts = json::array();
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const auto index = static_cast<std::uint32_t>(first + i);
        pts.push_back(json::array({plan.frequency(index), level_json(levels[i])}));
    }
    return pts;
}

std::string event(const char *name, const json &data)
{
    return std::string("event: ") + name + "\ndata: " + data.dump(-1, ' ', false, json::error_handler_t::replace) +
        "\n\n";
}

// Points as the page sends them: [[frequency_hz, level or null], ...].
std::vector<SweepPoint> points_of(const json &j, const std::string &what, bool reference)
{
    if (!j.is_array()) throw InputError(what + " must be a list of [frequency_hz, level] pairs");
    if (j.size() > kMaxPoints)
        throw InputError(what + " has more than " + std::to_string(kMaxPoints) + " points, more than a sweep can have");
    std::vector<SweepPoint> pts;
    pts.reserve(j.size());
    for (std::size_t i = 0; i < j.size(); ++i) {
        const std::string at = what + " point " + std::to_string(i + 1) + ": ";
        const json &p = j[i];
        if (!p.is_array() || p.size() != 2 || !p[0].is_number_unsigned() ||
            p[0].get<std::uint64_t>() > std::numeric_limits<std::uint32_t>::max())
            throw InputError(at + "expected [frequency_hz, level] with a whole frequency in hertz");
        SweepPoint sp;
        sp.frequency = static_cast<std::uint32_t>(p[0].get<std::uint64_t>());
        if (!p[1].is_null()) {
            if (!p[1].is_number()) throw InputError(at + "the level must be a number or null");
            const double v = p[1].get<double>();
            if (!std::isfinite(v)) throw InputError(at + "the level is not a finite number");
            if (v < 0 || (reference && v <= 0))
                throw InputError(at +
                                 (reference ? "the level is not above 0: a reference needs a positive level at "
                                              "every point (or none where the tester could not make the "
                                              "frequency)"
                                            : "the level is below 0"));
            sp.level = v;
        }
        pts.push_back(sp);
    }
    return pts;
}

// The dB, the summary and the CSV of a trace, against a reference or full
// scale, computed by the same code as `snt sweep`.
json analyse(const json &body)
{
    if (!body.is_object() || !body.contains("points")) throw InputError("expected {\"points\": [...]}");
    std::vector<SweepPoint> pts = points_of(body["points"], "the trace", false);
    if (pts.empty()) throw InputError("the trace has no points");
    // Full scale first, as a reference of its own: the same arithmetic.
    std::vector<SweepPoint> full = pts;
    for (auto &p : full) p.level = kFullScaleLevel;
    SweepResult result(std::move(pts));
    result.normalise(SweepResult(std::move(full)));
    if (body.contains("reference") && !body["reference"].is_null())
        result.normalise(SweepResult(points_of(body["reference"], "the reference", true)));

    const Summary s = Summary::of(result);
    json db = json::array();
    for (const auto &p : result.points()) db.push_back(p.db ? json(*p.db) : json(nullptr));
    json summary{{"text", s.text()}, {"several_peaks", s.several_peaks}};
    const auto extreme = [](const std::optional<Summary::Extreme> &e) {
        return e ? json{{"frequency", e->frequency}, {"db", e->db}} : json(nullptr);
    };
    summary["max"] = extreme(s.max);
    summary["min"] = extreme(s.min);
    summary["lower_3db"] = s.lower_3db ? json(*s.lower_3db) : json(nullptr);
    summary["upper_3db"] = s.upper_3db ? json(*s.upper_3db) : json(nullptr);
    summary["bandwidth"] = s.bandwidth() ? json(*s.bandwidth()) : json(nullptr);
    return {{"db", db}, {"summary", summary}, {"csv", result.csv()}};
}

json parse_body(const httplib::Request &req)
{
    try {
        return json::parse(req.body);
    } catch (const json::exception &) {
        throw InputError("the request body is not JSON");
    }
}

} // namespace

std::string new_token()
{
    std::random_device rd;
    std::string t;
    char buf[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(rd()));
        t += buf;
    }
    return t;
}

AccessPolicy::AccessPolicy(const ListenAddress &bound, std::string token)
    : host_(bound.host), port_(bound.port), token_(std::move(token))
{}

bool AccessPolicy::host_allowed(const std::string &host) const
{
    const auto colon = host.rfind(':');
    if (colon == std::string::npos || host.substr(colon + 1) != std::to_string(port_)) return false;
    const std::string name = host.substr(0, colon);
    // Names could be re-pointed at us by someone else's DNS; addresses
    // cannot. Only "localhost" and the address we listen on are ours.
    if (name == "localhost" && ListenAddress{host_, port_, true}.loopback()) return true;
    if (name == host_) return true;
    if (host_ == "0.0.0.0") return is_ipv4_address(name);
    return false;
}

bool AccessPolicy::origin_allowed(const std::string &origin) const
{
    const std::string scheme = "http://";
    return origin.compare(0, scheme.size(), scheme) == 0 && host_allowed(origin.substr(scheme.size()));
}

bool AccessPolicy::token_matches(const std::string &token) const
{
    if (token.size() != token_.size()) return false;
    unsigned char diff = 0;
    for (std::size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(token[i] ^ token_[i]);
    return diff == 0;
}

WebServer::WebServer(DeviceController &controller, const ListenAddress &listen, std::string token,
                     std::string device_name)
    : controller_(controller),
      listen_(listen),
      device_name_(std::move(device_name)),
      server_(std::make_unique<httplib::Server>())
{
    // Each page keeps a stream open; leave room for several.
    server_->new_task_queue = [] { return new httplib::ThreadPool(24); };
    server_->set_keep_alive_timeout(2);
    server_->set_payload_max_length(kMaxBody);
    if (listen.port == 0) {
        port_ = server_->bind_to_any_port(listen.host);
        if (port_ <= 0) throw std::runtime_error("cannot listen on " + listen.host + ": no free port");
    } else {
        const int tries = listen.port_given ? 1 : kPortsToTry;
        for (int i = 0; i < tries && port_ == 0; ++i) {
            if (listen.port + i <= 65535 && server_->bind_to_port(listen.host, listen.port + i))
                port_ = listen.port + i;
        }
        if (port_ == 0)
            throw std::runtime_error("cannot listen on " + listen.host + ":" + std::to_string(listen.port) +
                                     (tries > 1 ? " or the " + std::to_string(tries - 1) + " ports after it" : "") +
                                     ": in use or not an address of this machine");
    }
    ListenAddress bound = listen;
    bound.port = port_;
    policy_ = std::make_unique<AccessPolicy>(bound, std::move(token));
    routes();
}

WebServer::~WebServer() { stop(); }

std::string WebServer::url() const
{
    const std::string host = listen_.host == "0.0.0.0" ? "127.0.0.1" : listen_.host;
    return "http://" + host + ":" + std::to_string(port_) + "/?token=" + policy_->token();
}

void WebServer::run() { server_->listen_after_bind(); }

void WebServer::stop()
{
    stopping_ = true;
    server_->stop();
}

bool WebServer::command_allowed(const httplib::Request &req, httplib::Response &res) const
{
    if (!policy_->token_matches(req.get_header_value(kTokenHeader))) {
        res.set_header("WWW-Authenticate", "X-SNT-Token");
        refuse(res, 401, "this request needs the token of this run of snt serve: open the address it printed");
        return false;
    }
    return true;
}

void WebServer::routes()
{
    guard_routes();
    asset_routes();
    state_routes();
    command_routes();
}

// Before any route: the Host and Origin checks, JSON only; and every
// exception a route throws becomes a refusal.
void WebServer::guard_routes()
{
    httplib::Server &s = *server_;
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        using R = httplib::Server::HandlerResponse;
        if (!policy_->host_allowed(req.get_header_value("Host"))) {
            refuse(res, 403, "unknown Host: this server answers only to the address it listens on");
            return R::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            if (req.has_header("Origin") && !policy_->origin_allowed(req.get_header_value("Origin"))) {
                refuse(res, 403, "requests from other sites are refused");
                return R::Handled;
            }
            const std::string type = req.get_header_value("Content-Type");
            if (type.compare(0, 16, "application/json") != 0) {
                refuse(res, 415, "send JSON (Content-Type: application/json)");
                return R::Handled;
            }
        }
        return R::Unhandled;
    });
    s.set_exception_handler([](const httplib::Request &, httplib::Response &res, const std::exception_ptr &ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const FieldError &e) {
            refuse(res, 400, e.what(), e.field);
        } catch (const InputError &e) {
            refuse(res, 400, e.what());
        } catch (const std::exception &e) {
            refuse(res, 500, e.what());
        }
    });
}

// The page and its files, never cached.
void WebServer::asset_routes()
{
    httplib::Server &s = *server_;
    for (const Asset &a : web_assets()) {
        const std::string path = std::string(a.path) == "/index.html" ? "/" : a.path;
        s.Get(path, [a](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; frame-ancestors 'none'");
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, std::string(a.type) + "; charset=utf-8");
        });
    }
}

// What the page reads: the state, the sweep so far, and events as they come.
void WebServer::state_routes()
{
    httplib::Server &s = *server_;
    s.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
        send_json(
            res, 200,
            {{"device", state_json(controller_.state(), device_name_)}, {"sweep", sweep_json(controller_.sweep())}});
    });
    s.Get("/api/sweep", [this](const httplib::Request &, httplib::Response &res) {
        const SweepInfo info = controller_.sweep();
        json j = sweep_json(info);
        j["points"] = info.id ? points_json(info.plan, 0, controller_.levels()) : json::array();
        send_json(res, 200, j);
    });
    s.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
        res.set_header("Cache-Control", "no-store");
        auto cursor = std::make_shared<WatchCursor>();
        auto plan = std::make_shared<SweepPlan>();
        res.set_chunked_content_provider(
            "text/event-stream", [this, cursor, plan](std::size_t, httplib::DataSink &sink) {
                if (stopping_ || controller_.closed()) {
                    sink.done();
                    return true;
                }
                const Changes c = controller_.changes_since(*cursor, std::chrono::milliseconds(1000));
                std::string out;
                if (c.state) out += event("state", state_json(*c.state, device_name_));
                if (c.sweep_started) {
                    *plan = c.sweep_started->plan;
                    out += event("sweep", sweep_json(*c.sweep_started));
                }
                if (!c.points.empty())
                    out += event("points",
                                 {{"sweep", cursor->sweep_id},
                                  {"first", c.first_point},
                                  {"points", points_json(*plan, c.first_point, c.points)}});
                if (c.sweep_ended) out += event("end", sweep_json(*c.sweep_ended));
                if (out.empty()) out = ": still here\n\n";
                return sink.write(out.data(), out.size());
            });
    });
}

// What the page asks for: checks and analyses, and the tester's jobs.
void WebServer::command_routes()
{
    httplib::Server &s = *server_;
    // Settings checked as they are typed: a refusal is an answer here, not
    // a failed request.
    s.Post("/api/check", [](const httplib::Request &req, httplib::Response &res) {
        const json body = parse_body(req);
        try {
            json plan = plan_json(plan_of(body));
            plan["ok"] = true;
            send_json(res, 200, plan);
        } catch (const FieldError &e) {
            send_json(res, 200, {{"ok", false}, {"error", e.what()}, {"field", e.field}});
        } catch (const InputError &e) {
            send_json(res, 200, {{"ok", false}, {"error", e.what()}});
        }
    });
    s.Post("/api/analyse",
           [](const httplib::Request &req, httplib::Response &res) { send_json(res, 200, analyse(parse_body(req))); });

    const auto answer = [](httplib::Response &res, DeviceController::Answer a, const json &ok) {
        switch (a) {
        case DeviceController::Answer::Started:
            send_json(res, 202, ok);
            break;
        case DeviceController::Answer::Busy:
            refuse(res, 409, "busy: the tester is already running a job; wait for it or stop it");
            break;
        case DeviceController::Answer::Offline:
            refuse(res, 503, "the tester is not connected");
            break;
        }
    };
    s.Post("/api/sweep", [this, answer](const httplib::Request &req, httplib::Response &res) {
        if (!command_allowed(req, res)) return;
        const SweepPlan plan = plan_of(parse_body(req));
        const auto a = controller_.start_sweep(plan);
        answer(res, a, {{"id", controller_.sweep().id}, {"plan", plan_json(plan)}});
    });
    s.Post("/api/stop", [this](const httplib::Request &req, httplib::Response &res) {
        if (!command_allowed(req, res)) return;
        send_json(res, 200, {{"stopping", controller_.stop()}});
    });
    s.Post("/api/cal", [this, answer](const httplib::Request &req, httplib::Response &res) {
        if (!command_allowed(req, res)) return;
        answer(res, controller_.calibrate(), json::object());
    });
    s.Post("/api/off", [this, answer](const httplib::Request &req, httplib::Response &res) {
        if (!command_allowed(req, res)) return;
        answer(res, controller_.off(), json::object());
    });
    s.Post("/api/xtal", [this, answer](const httplib::Request &req, httplib::Response &res) {
        if (!command_allowed(req, res)) return;
        const json body = parse_body(req);
        const std::string text = in_field("hz", [&] {
            if (!body.is_object()) throw InputError("expected {\"hz\": ...}");
            return text_field(body, "hz");
        });
        if (text.empty()) throw FieldError("give the crystal frequency you counted", "hz");
        const std::uint32_t hz = in_field("hz", [&] {
            const std::uint32_t v = parse_frequency(text, "crystal frequency");
            check_crystal(v);
            return v;
        });
        answer(res, controller_.store_crystal(hz), json::object());
    });
}

} // namespace snt
