// Flashing the chip over its serial bootloader (core/flash) for JavaScript:
// the image readers, with the refusals `snt flash` prints, and the flashing
// client, which the page's loop feeds what the serial port (opened at 8E1)
// brings and the time, and whose bytes it sends, as snt's Flasher does.
//
//   Module.checkImage(name, bytes)   "" when the file can be flashed, else
//                                    the reader's one-line reason
//   const job = new Module.FlashJob(name, bytes, options);
//   options: {eraseSettings: false, replyMargin: microseconds}, optional;
//   the constructor throws an Error with the reader's reason
//   job.describe()        "ELF image, 8108 bytes at 0x08000000 (pages 0 to 7)"
//   job.start(now), receive(now, bytes), wake(now), lost(why)
//   job.takeOutput()      Uint8Array of the bytes to send now
//   job.wakeAt()          when to call wake() at the latest, or null
//   job.nextEvent()       null, or {kind: "progress" | "step" | "failed" |
//                         "finished", step: "sync" | "get" | "get id" |
//                         "erase" | "write" | "verify" | "go", address, done,
//                         total, message}
//   job.takeAfter()       Uint8Array: what came after Go's ACK (the started
//                         image's first bytes)
//   job.running(), finished(), failed(), chipId()
//   job.delete()
//   Module.SETTINGS_PAGE, Module.IMAGE_LIMIT, Module.BOOT_BAUD
// `now` is microseconds from any origin, never running backwards.
#include <emscripten/bind.h>
#include <emscripten/val.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/flash/boot_client.h"
#include "core/flash/image.h"
#include "shells/wasm/js_values.h"

namespace {

using emscripten::val;
using namespace snt_wasm;
namespace flash = snt::flash;

flash::Micros micros(double now)
{
    if (!(now >= 0) || !std::isfinite(now))
        throw std::invalid_argument("now: a finite number of microseconds, 0 or more");
    return static_cast<flash::Micros>(now);
}

std::vector<std::uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

val vector_to_js(const std::vector<std::uint8_t> &bytes)
{
    return bytes_to_js(std::string(bytes.begin(), bytes.end()));
}

std::string check_image(const std::string &name, const std::string &bytes)
{
    try {
        flash::read_image(name, bytes_of(bytes));
        return "";
    } catch (const flash::ImageError &e) {
        return e.what();
    }
}

const char *kind_name(flash::FlashEvent::Kind kind)
{
    using Kind = flash::FlashEvent::Kind;
    switch (kind) {
    case Kind::Progress:
        return "progress";
    case Kind::StepDone:
        return "step";
    case Kind::Failed:
        return "failed";
    case Kind::Finished:
        return "finished";
    }
    return "failed";
}

flash::FlashOptions options_of(const val &options)
{
    flash::FlashOptions o;
    if (!present(options)) return o;
    if (present(options["eraseSettings"])) o.erase_settings = options["eraseSettings"].as<bool>();
    if (present(options["replyMargin"])) o.reply_margin = micros(options["replyMargin"].as<double>());
    return o;
}

std::string hex32(std::uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v));
    return buf;
}

class JsFlashJob {
public:
    JsFlashJob(const std::string &name, const std::string &bytes, const val &options)
        : format_(format_of(name, bytes)), client_(image_of(name, bytes), or_throw([&] { return options_of(options); }))
    {}

    std::string describe() const { return description_; }
    void start(double now)
    {
        or_throw([&] { client_.start(micros(now)); });
    }
    void receive(double now, const std::string &bytes)
    {
        or_throw([&] {
            const std::vector<std::uint8_t> b = bytes_of(bytes);
            client_.receive(b.data(), b.size(), micros(now));
        });
    }
    void wake(double now)
    {
        or_throw([&] { client_.wake(micros(now)); });
    }
    void lost(const std::string &why) { client_.lost(why); }

    val take_output() { return vector_to_js(client_.take_output()); }
    val wake_at() const
    {
        const auto at = client_.wake_at();
        return at ? val(static_cast<double>(*at)) : val::null();
    }
    val next_event()
    {
        for (flash::FlashEvent &e : client_.take_events()) events_.push_back(std::move(e));
        if (events_.empty()) return val::null();
        const flash::FlashEvent e = std::move(events_.front());
        events_.pop_front();
        val out = val::object();
        out.set("kind", std::string(kind_name(e.kind)));
        out.set("step", std::string(flash::step_name(e.step)));
        out.set("address", e.address);
        out.set("done", e.done);
        out.set("total", e.total);
        out.set("message", e.message);
        return out;
    }
    val take_after() { return vector_to_js(client_.take_after()); }
    bool running() const { return client_.running(); }
    bool finished() const { return client_.finished(); }
    bool failed() const { return client_.failed(); }
    double chip_id() const { return client_.bootloader().chip_id; }

private:
    flash::ImageFormat format_of(const std::string &name, const std::string &bytes)
    {
        return or_throw([&] { return flash::image_format(name, bytes_of(bytes)); });
    }
    flash::Image image_of(const std::string &name, const std::string &bytes)
    {
        flash::Image image = or_throw([&] { return flash::read_image(name, bytes_of(bytes)); });
        const std::uint32_t loaded = image.size() - image.begin;
        description_ = std::string(flash::format_name(format_)) + " image, " + std::to_string(loaded) + " bytes at " +
            hex32(snt::boot::kFlashBase + image.begin) + " (pages " + std::to_string(image.first_page()) + " to " +
            std::to_string(image.last_page()) + ")";
        return image;
    }

    flash::ImageFormat format_;
    std::string description_;
    flash::BootClient client_;
    std::deque<flash::FlashEvent> events_;
};

} // namespace

EMSCRIPTEN_BINDINGS(snt_flash)
{
    emscripten::class_<JsFlashJob>("FlashJob")
        .constructor<const std::string &, const std::string &, const val &>()
        .function("describe", &JsFlashJob::describe)
        .function("start", &JsFlashJob::start)
        .function("receive", &JsFlashJob::receive)
        .function("wake", &JsFlashJob::wake)
        .function("lost", &JsFlashJob::lost)
        .function("takeOutput", &JsFlashJob::take_output)
        .function("wakeAt", &JsFlashJob::wake_at)
        .function("nextEvent", &JsFlashJob::next_event)
        .function("takeAfter", &JsFlashJob::take_after)
        .function("running", &JsFlashJob::running)
        .function("finished", &JsFlashJob::finished)
        .function("failed", &JsFlashJob::failed)
        .function("chipId", &JsFlashJob::chip_id);
    emscripten::function("checkImage", &check_image);
    emscripten::constant("SETTINGS_PAGE", static_cast<double>(snt::boot::kSettingsPage));
    emscripten::constant("IMAGE_LIMIT", static_cast<double>(snt::boot::kImageLimit));
    emscripten::constant("BOOT_BAUD", static_cast<double>(snt::boot::kDefaultBaud));
}
