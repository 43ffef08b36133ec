#include "shells/serve/serve_router.h"

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "core/analysis/frequency.h"
#include "core/analysis/summary.h"
#include "core/analysis/sweep.h"
#include "core/analysis/sweep_csv.h"
#include "core/analysis/sweep_settings.h"
#include "core/analysis/sweep_view.h"
#include "core/analysis/trace.h"
#include "shells/serve/serve_controller.h"
#include "shells/serve/web_assets.h"

namespace snt {

namespace {

using json = nlohmann::json;

constexpr const char *kTokenHeader = "X-SNT-Token";

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

// The sweep settings of a request, checked as the command line checks
// --start, --stop, --points and --step, with the same messages.
SweepPlan plan_of(const json &body)
{
    if (!body.is_object()) throw InputError("expected a JSON object with start, stop and points or step");
    SweepSettings settings;
    const std::pair<const char *, std::string *> fields[] = {{"start", &settings.start},
                                                             {"stop", &settings.stop},
                                                             {"points", &settings.points},
                                                             {"step", &settings.step},
                                                             {"scale", &settings.scale}};
    for (const auto &[name, text] : fields) {
        try {
            *text = text_field(body, name);
        } catch (const InputError &e) {
            throw SettingsError(e.what(), name);
        }
    }
    return snt::plan_of(settings);
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

// Points as the page sends them: [[frequency_hz, level or null], ...],
// their levels checked as the core checks a trace or a reference.
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
            sp.level = p[1].get<double>();
        }
        pts.push_back(sp);
    }
    check_trace(pts, what, reference);
    return pts;
}

json optional_json(const std::optional<double> &v) { return v ? json(*v) : json(nullptr); }

json summary_json(const Summary &s)
{
    json summary{{"text", s.text()}, {"several_peaks", s.several_peaks}};
    const auto extreme = [](const std::optional<Summary::Extreme> &e) {
        return e ? json{{"frequency", e->frequency}, {"db", e->db}} : json(nullptr);
    };
    summary["max"] = extreme(s.max);
    summary["min"] = extreme(s.min);
    summary["lower_3db"] = optional_json(s.several_peaks ? std::nullopt : s.lower_3db);
    summary["upper_3db"] = optional_json(s.several_peaks ? std::nullopt : s.upper_3db);
    summary["bandwidth"] = optional_json(s.bandwidth());
    const MarkerTexts m = marker_texts(s);
    summary["texts"] = {{"max", m.max},
                        {"min", m.min},
                        {"lower_3db", m.lower_3db},
                        {"upper_3db", m.upper_3db},
                        {"bandwidth", m.bandwidth},
                        {"centre", m.centre},
                        {"q", m.q}};
    return summary;
}

// The bench job's choices for reading a trace, as the page sends them
// ({offset, reflection, swrLimit, plotSwr, average, marks, log, reference}).
SweepViewOptions view_options_of(const json &j)
{
    if (!j.is_object()) throw InputError("job: expected an object of the bench job's choices");
    SweepViewOptions o;
    const auto number = [&j](const char *name, double fallback, const char *what) {
        if (!j.contains(name) || j[name].is_null()) return fallback;
        if (!j[name].is_number() || !std::isfinite(j[name].get<double>())) throw InputError(what);
        return j[name].get<double>();
    };
    const auto flag = [&j](const char *name) {
        return j.contains(name) && j[name].is_boolean() && j[name].get<bool>();
    };
    o.offset_db = number("offset", 0, "the offset must be a number of dB");
    o.reflection = flag("reflection");
    o.swr_limit = number("swrLimit", kDefaultSwrLimit, "the SWR limit must be a number above 1");
    o.plot_swr = flag("plotSwr");
    const double average = number("average", 1, "average: a whole number of sweeps");
    if (!(average >= 1 && average <= 1e6) || average != std::floor(average))
        throw InputError("average: a whole number of sweeps");
    o.average = static_cast<std::uint32_t>(average);
    o.log = flag("log");
    if (j.contains("reference") && j["reference"].is_string()) o.reference = j["reference"].get<std::string>();
    if (j.contains("marks")) {
        if (!j["marks"].is_array()) throw InputError("marks: a list of frequencies in hertz");
        for (const json &m : j["marks"]) {
            if (!m.is_number()) throw InputError("marks: a list of frequencies in hertz");
            o.marks.push_back(m.get<double>());
        }
    }
    return o;
}

json markers_json(const std::vector<MarkerLine> &lines)
{
    json out = json::array();
    for (const auto &m : lines) {
        out.push_back({{"hz", m.hz},
                       {"frequency", m.reading ? json(m.reading->frequency) : json(nullptr)},
                       {"db", m.reading ? json(m.reading->db) : json(nullptr)},
                       {"delta_hz", m.from_first ? json(m.from_first->hz) : json(nullptr)},
                       {"delta_db", m.from_first ? json(m.from_first->db) : json(nullptr)},
                       {"text", m.text}});
    }
    return out;
}

// A trace read with the bench job's choices: as the page's own analysis
// gives it, the dB as drawn and the summary as snt sweep prints it.
json view_json(const SweepResult &result, const SweepViewOptions &o)
{
    const SweepView view = view_of(result, o);
    json db = json::array(), overload = json::array(), at_least = json::array();
    for (std::size_t i = 0; i < view.plotted.points().size(); ++i) {
        db.push_back(optional_json(view.plotted.points()[i].db));
        overload.push_back(view.checked.overload[i] ? 1 : 0);
        at_least.push_back(optional_json(view.checked.at_least_db[i]));
    }
    json summary = view.figures ? summary_json(Summary::of(view.checked.result)) : json::object();
    summary["text"] = view.summary;
    return {{"db", db},
            {"overload", overload},
            {"atLeast", at_least},
            {"texts", view.point_texts()},
            {"yLabel", view.y_label},
            {"figures", view.figures},
            {"summary", summary},
            {"csv", view.csv},
            {"markers", markers_json(view.markers)}};
}

// The dB of a trace against a reference (or full scale), a readout for
// each point and, unless only those are asked for ("summary": false), the
// summary and the CSV: computed by the same code as `snt sweep`; with
// "job", read with the bench job's choices (view_json).
json analyse(const json &body)
{
    if (!body.is_object() || !body.contains("points")) throw InputError("expected {\"points\": [...]}");
    std::vector<SweepPoint> pts = points_of(body["points"], "the trace", false);
    if (pts.empty()) throw InputError("the trace has no points");
    std::optional<std::vector<SweepPoint>> reference;
    if (body.contains("reference") && !body["reference"].is_null())
        reference = points_of(body["reference"], "the reference", true);
    if (body.contains("job") && !body["job"].is_null()) {
        const SweepViewOptions o = view_options_of(body["job"]);
        check_view_reference(o, reference.has_value());
        return view_json(trace_db(std::move(pts), reference ? &*reference : nullptr), o);
    }
    const SweepResult result = trace_db(std::move(pts), reference ? &*reference : nullptr);

    json db = json::array(), texts = json::array();
    for (const auto &p : result.points()) {
        db.push_back(optional_json(p.db));
        texts.push_back(point_text(p));
    }
    json out{{"db", db}, {"texts", texts}};
    if (body.contains("summary") && body["summary"].is_boolean() && !body["summary"].get<bool>()) return out;
    out["summary"] = summary_json(Summary::of(result));
    out["csv"] = result.csv();
    return out;
}

// A reference CSV's text as the page read it from a file, parsed by the
// command line's reader of --ref.
json reference(const json &body)
{
    if (!body.is_object() || !body.contains("text") || !body["text"].is_string())
        throw InputError("expected {\"name\": ..., \"text\": ...}");
    const std::string name =
        body.contains("name") && body["name"].is_string() ? body["name"].get<std::string>() : "the reference";
    const SweepResult r = parse_sweep_csv(body["text"].get<std::string>(), name, SweepCsv::Reference);
    json pts = json::array();
    for (const auto &p : r.points()) pts.push_back(json::array({p.frequency, optional_json(p.level)}));
    return {{"points", pts}};
}

json parse_body(const httplib::Request &req)
{
    try {
        return json::parse(req.body);
    } catch (const json::exception &) {
        throw InputError("the request body is not JSON");
    }
}

// The requests under /api/, and the methods each takes.
struct ApiRoute {
    const char *path;
    bool get, post;
};
constexpr ApiRoute kApiRoutes[] = {
    {"/api/state", true, false},     {"/api/sweep", true, true},    {"/api/events", true, false},
    {"/api/check", false, true},     {"/api/analyse", false, true}, {"/api/stop", false, true},
    {"/api/cal", false, true},       {"/api/off", false, true},     {"/api/xtal", false, true},
    {"/api/reference", false, true},
};

const ApiRoute *api_route(const std::string &path)
{
    for (const ApiRoute &r : kApiRoutes) {
        if (path == r.path) return &r;
    }
    return nullptr;
}

// What a refusal says when the parser itself refuses (before any route).
std::string parser_refusal(int status)
{
    switch (status) {
    case 400:
        return "the request could not be read as HTTP/1.1";
    case 404:
        return "no such page or request";
    case 413:
        return "the request's body is too large";
    case 414:
        return "the request's address is too long";
    default:
        return status_text(status);
    }
}

// Runs each connection's task at once, on the thread that accepted it:
// what the task does is hand the connection on.
class HandOver : public httplib::TaskQueue {
public:
    void enqueue(std::function<void()> fn) override { fn(); }
    void shutdown() override {}
};

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

// cpp-httplib's server, for its parser, its routes and its answers, and for
// its listening socket: each connection it accepts goes to `take`.
class Router::Engine : public httplib::Server {
public:
    Engine()
    {
        new_task_queue = [] { return new HandOver; };
    }
    ~Engine() override
    {
        // A socket bound but never listened on is not closed by stop().
        if (!is_running()) {
            const socket_t s = svr_sock_.exchange(INVALID_SOCKET);
            if (s != INVALID_SOCKET) ::close(s);
        }
    }
    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    bool answer(httplib::Stream &stream, bool last)
    {
        bool closed = false, parsed = false;
        const bool ok = process_request(stream, last, closed, [&](httplib::Request &) { parsed = true; });
        // After a request the parser could not read, the connection ends.
        return ok && parsed && !closed && !last;
    }

    // cpp-httplib listens with a backlog of 5: a burst of connections would
    // wait for the client's second try, a second or more later.
    void widen_backlog() { ::listen(svr_sock_, kBacklog); }

    std::function<void(int)> take;

private:
    static constexpr int kBacklog = 512;

    bool process_and_close_socket(socket_t sock) override
    {
        take(sock);
        return true;
    }
};

namespace {

// One of the event streams a router allows, held while the stream is open.
class StreamSlot {
public:
    // Null when all are taken.
    static std::shared_ptr<StreamSlot> take(const std::shared_ptr<std::atomic<std::size_t>> &open, std::size_t limit)
    {
        if (++*open > limit) {
            --*open;
            return nullptr;
        }
        return std::make_shared<StreamSlot>(open);
    }
    explicit StreamSlot(std::shared_ptr<std::atomic<std::size_t>> open) : open_(std::move(open)) {}
    ~StreamSlot() { --*open_; }
    StreamSlot(const StreamSlot &) = delete;
    StreamSlot &operator=(const StreamSlot &) = delete;

private:
    std::shared_ptr<std::atomic<std::size_t>> open_;
};

} // namespace

Router::Router(Tester &tester, AccessPolicy policy, std::string device_name, RouterLimits limits)
    : tester_(tester),
      policy_(std::move(policy)),
      device_name_(std::move(device_name)),
      limits_(limits),
      streams_(std::make_shared<std::atomic<std::size_t>>(0)),
      engine_(std::make_unique<Engine>())
{
    engine_->set_payload_max_length(limits_.request.body);
    guard_routes();
    asset_routes();
    state_routes();
    command_routes();
}

Router::~Router() { stop(); }

std::size_t Router::event_streams() const { return *streams_; }

void Router::advertise_keep_alive(std::chrono::milliseconds idle, std::size_t requests)
{
    engine_->set_keep_alive_timeout(std::chrono::ceil<std::chrono::seconds>(idle).count());
    engine_->set_keep_alive_max_count(requests);
}

bool Router::answer(httplib::Stream &stream, bool last) { return engine_->answer(stream, last); }

int Router::bind(const std::string &host, int port)
{
    const int bound =
        port == 0 ? std::max(engine_->bind_to_any_port(host), 0) : (engine_->bind_to_port(host, port) ? port : 0);
    if (bound > 0) engine_->widen_backlog();
    return bound;
}

void Router::listen(const std::function<void(int)> &take)
{
    engine_->take = take;
    listening_ = true;
    if (!stopping_) engine_->listen_after_bind();
    listening_ = false;
}

void Router::stop()
{
    stopping_ = true;
    tester_.close();
    // stop() does nothing until the server runs: until listen() has begun
    // and returned, it is asked again.
    while (listening_) {
        engine_->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Before any route: the Host check, the token for everything under /api/,
// each request's methods, the Origin and JSON of a POST; and every
// refusal, the parser's included, has a JSON body.
void Router::guard_routes()
{
    Engine &s = *engine_;
    s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        using R = httplib::Server::HandlerResponse;
        if (!policy_.host_allowed(req.get_header_value("Host"))) {
            refuse(res, 403, "unknown Host: this server answers only to the address it listens on");
            return R::Handled;
        }
        const bool read = req.method == "GET" || req.method == "HEAD";
        const bool api = req.path.compare(0, 5, "/api/") == 0;
        if (api) {
            const ApiRoute *route = api_route(req.path);
            std::string token = req.get_header_value(kTokenHeader);
            if (!req.has_header(kTokenHeader) && route && std::string(route->path) == "/api/events")
                token = req.get_param_value("token");
            if (!policy_.token_matches(token)) {
                res.set_header("WWW-Authenticate", kTokenHeader);
                refuse(res, 401, "this request needs the token of this run of snt serve: open the address it printed");
                return R::Handled;
            }
            if (!route) {
                refuse(res, 404, "no such request");
                return R::Handled;
            }
            if (!((read && route->get) || (req.method == "POST" && route->post))) {
                res.set_header("Allow", route->get ? (route->post ? "GET, HEAD, POST" : "GET, HEAD") : "POST");
                refuse(res, 405, req.path + " takes " + (route->post ? "POST" : "GET"));
                return R::Handled;
            }
        } else if (!read) {
            res.set_header("Allow", "GET, HEAD");
            refuse(res, 405, "the page's files are only read (GET)");
            return R::Handled;
        }
        if (!read) {
            if (req.has_header("Origin") && !policy_.origin_allowed(req.get_header_value("Origin"))) {
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
    s.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        refuse(res, res.status, parser_refusal(res.status));
        return httplib::Server::HandlerResponse::Handled;
    }));
    s.set_exception_handler([](const httplib::Request &, httplib::Response &res, const std::exception_ptr &ep) {
        try {
            std::rethrow_exception(ep);
        } catch (const SettingsError &e) {
            refuse(res, 400, e.what(), e.field());
        } catch (const InputError &e) {
            refuse(res, 400, e.what());
        } catch (const std::exception &e) {
            refuse(res, 500, e.what());
        }
    });
}

// The page and its files, never cached.
void Router::asset_routes()
{
    Engine &s = *engine_;
    for (const Asset &a : web_assets()) {
        const std::string path = std::string(a.path) == "/index.html" ? "/" : a.path;
        s.Get(path, [a](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
            // The page's address holds the token: it goes nowhere else.
            res.set_header("Referrer-Policy", "no-referrer");
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' data: blob:; style-src 'self'; frame-ancestors 'none'");
            res.set_content(reinterpret_cast<const char *>(a.data), a.size, std::string(a.type) + "; charset=utf-8");
        });
    }
}

// What the page reads: the state, the sweep so far, and events as they come.
void Router::state_routes()
{
    Engine &s = *engine_;
    s.Get("/api/state", [this](const httplib::Request &, httplib::Response &res) {
        send_json(res, 200,
                  {{"device", state_json(tester_.state(), device_name_)},
                   {"sweep", sweep_json(tester_.sweep())},
                   {"analysis", {{"full_scale", full_scale_text()}}}});
    });
    s.Get("/api/sweep", [this](const httplib::Request &, httplib::Response &res) {
        const SweepInfo info = tester_.sweep();
        json j = sweep_json(info);
        j["points"] = info.id ? points_json(info.plan, 0, tester_.levels()) : json::array();
        send_json(res, 200, j);
    });
    s.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
        auto slot = StreamSlot::take(streams_, limits_.event_streams);
        if (!slot || stopping_) {
            res.set_header("Retry-After", "5");
            refuse(res, 503,
                   stopping_ ? "snt serve is stopping"
                             : "too many live pages: at most " + std::to_string(limits_.event_streams) +
                           " at once follow the tester; close one, and this one follows again");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        auto cursor = std::make_shared<WatchCursor>();
        auto plan = std::make_shared<SweepPlan>();
        res.set_chunked_content_provider(
            "text/event-stream", [this, cursor, plan, slot](std::size_t, httplib::DataSink &sink) {
                if (stopping_ || tester_.closed()) {
                    sink.done();
                    return true;
                }
                const Changes c = tester_.changes_since(*cursor, limits_.event_wait);
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
void Router::command_routes()
{
    Engine &s = *engine_;
    // Settings checked as they are typed: a refusal is an answer here, not
    // a failed request.
    s.Post("/api/check", [](const httplib::Request &req, httplib::Response &res) {
        const json body = parse_body(req);
        try {
            json plan = plan_json(plan_of(body));
            plan["ok"] = true;
            send_json(res, 200, plan);
        } catch (const SettingsError &e) {
            send_json(res, 200, {{"ok", false}, {"error", e.what()}, {"field", e.field()}});
        } catch (const InputError &e) {
            send_json(res, 200, {{"ok", false}, {"error", e.what()}});
        }
    });
    s.Post("/api/analyse",
           [](const httplib::Request &req, httplib::Response &res) { send_json(res, 200, analyse(parse_body(req))); });
    s.Post("/api/reference", [](const httplib::Request &req, httplib::Response &res) {
        send_json(res, 200, reference(parse_body(req)));
    });

    const auto answer = [](httplib::Response &res, Tester::Answer a, const json &ok) {
        switch (a) {
        case Tester::Answer::Started:
            send_json(res, 202, ok);
            break;
        case Tester::Answer::Busy:
            refuse(res, 409, "busy: the tester is already running a job; wait for it or stop it");
            break;
        case Tester::Answer::Offline:
            refuse(res, 503, "the tester is not connected");
            break;
        }
    };
    s.Post("/api/sweep", [this, answer](const httplib::Request &req, httplib::Response &res) {
        const SweepPlan plan = plan_of(parse_body(req));
        const auto a = tester_.start_sweep(plan);
        answer(res, a, {{"id", tester_.sweep().id}, {"plan", plan_json(plan)}});
    });
    s.Post("/api/stop", [this](const httplib::Request &, httplib::Response &res) {
        send_json(res, 200, {{"stopping", tester_.stop()}});
    });
    s.Post("/api/cal", [this, answer](const httplib::Request &, httplib::Response &res) {
        answer(res, tester_.calibrate(), json::object());
    });
    s.Post("/api/off", [this, answer](const httplib::Request &, httplib::Response &res) {
        answer(res, tester_.off(), json::object());
    });
    s.Post("/api/xtal", [this, answer](const httplib::Request &req, httplib::Response &res) {
        const json body = parse_body(req);
        if (!body.is_object()) throw SettingsError("expected {\"hz\": ...}", "hz");
        std::uint32_t hz = 0;
        try {
            hz = parse_crystal(text_field(body, "hz"));
        } catch (const InputError &e) {
            throw SettingsError(e.what(), "hz");
        }
        answer(res, tester_.store_crystal(hz), json::object());
    });
}

} // namespace snt
