#include "shells/serve/serve_controller.h"

#include <cstdio>

#include "core/analysis/frequency.h"
#include "core/text/text.h"
#include "shells/serve/virtual_link.h"
#include "shells/snt/interrupt.h"
#include "shells/snt/serial_port.h"

namespace snt {

namespace {

using Clock = std::chrono::steady_clock;

// An idle device is asked for its identification this often, so a lost
// one shows within a second; a lost one is looked for again as often.
constexpr std::chrono::milliseconds kCheckEvery{400};
constexpr std::chrono::milliseconds kReconnectEvery{1000};

} // namespace

struct DeviceController::Job {
    enum class Kind { Sweep, Cal, Xtal, Off } kind = Kind::Off;
    SweepPlan plan;
    std::uint32_t hz = 0;
};

// The link (a serial port, or the virtual board) and the device on it, in
// the order they must end: device, link.
struct DeviceController::Connection {
    std::unique_ptr<snt::Link> port;
    std::unique_ptr<Device> device;
};

DeviceController::DeviceController(DeviceAddress address) : address_(std::move(address))
{
    // The first connection is made here, so a refused option or a missing
    // port ends `snt serve` before it listens.
    connect();
    thread_ = std::thread([this] { run(); });
}

DeviceController::~DeviceController()
{
    close();
    if (thread_.joinable()) thread_.join();
}

void DeviceController::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    stop_requested_ = true;
    cv_.notify_all();
}

bool DeviceController::closed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return closing_;
}

void DeviceController::changed()
{
    ++version_;
    cv_.notify_all();
}

DeviceController::Answer DeviceController::submit(std::unique_ptr<Job> job, const std::string &name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!state_.connected || closing_) return Answer::Offline;
    if (!state_.job.empty() || pending_) return Answer::Busy;
    state_.job = name;
    state_.message.clear();
    if (job->kind == Job::Kind::Sweep) {
        sweep_ = SweepInfo{sweep_.id + 1, job->plan, SweepStatus::Running, ""};
        levels_.clear();
        levels_.reserve(job->plan.points);
        stop_requested_ = false;
    }
    pending_ = std::move(job);
    changed();
    return Answer::Started;
}

DeviceController::Answer DeviceController::start_sweep(const SweepPlan &plan)
{
    auto job = std::make_unique<Job>();
    job->kind = Job::Kind::Sweep;
    job->plan = plan;
    return submit(std::move(job), "sweep");
}

DeviceController::Answer DeviceController::calibrate()
{
    auto job = std::make_unique<Job>();
    job->kind = Job::Kind::Cal;
    return submit(std::move(job), "cal");
}

DeviceController::Answer DeviceController::store_crystal(std::uint32_t hz)
{
    check_crystal(hz);
    auto job = std::make_unique<Job>();
    job->kind = Job::Kind::Xtal;
    job->hz = hz;
    return submit(std::move(job), "xtal");
}

DeviceController::Answer DeviceController::off()
{
    auto job = std::make_unique<Job>();
    job->kind = Job::Kind::Off;
    return submit(std::move(job), "off");
}

bool DeviceController::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (sweep_.status != SweepStatus::Running) return false;
    stop_requested_ = true;
    return true;
}

DeviceState DeviceController::state() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

SweepInfo DeviceController::sweep() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sweep_;
}

std::vector<Device::Level> DeviceController::levels() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return levels_;
}

Changes DeviceController::changes_since(WatchCursor &cursor, std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    const auto fresh = [&] {
        return closing_ || cursor.state_version != version_ || cursor.sweep_id != sweep_.id ||
            cursor.points != levels_.size() ||
            (!cursor.sweep_ended && sweep_.id != 0 && sweep_.status != SweepStatus::Running);
    };
    cv_.wait_for(lock, wait, fresh);
    Changes c;
    if (cursor.state_version != version_) {
        c.state = state_;
        cursor.state_version = version_;
    }
    if (cursor.sweep_id != sweep_.id) {
        c.sweep_started = sweep_;
        cursor.sweep_id = sweep_.id;
        cursor.points = 0;
        cursor.sweep_ended = false;
    }
    if (cursor.points < levels_.size()) {
        c.first_point = static_cast<std::uint32_t>(cursor.points);
        c.points.assign(levels_.begin() + static_cast<std::ptrdiff_t>(cursor.points), levels_.end());
        cursor.points = levels_.size();
    }
    if (!cursor.sweep_ended && sweep_.id != 0 && sweep_.status != SweepStatus::Running) {
        c.sweep_ended = sweep_;
        cursor.sweep_ended = true;
    }
    return c;
}

void DeviceController::connect()
{
    auto link = std::make_unique<Connection>();
    if (address_.port.empty()) {
        auto board = open_virtual_board(address_.sim_args);
        // As snt-sim does: one line for each register the firmware reaches
        // that the models do not implement, and the board runs on.
        board->board().set_guest_error_handler([](const sim::GuestError &e) {
            std::fprintf(stderr, "snt: virtual board: guest error: %s\n", printable(sim::describe(e)).c_str());
        });
        link->port = std::move(board);
    } else {
        link->port = std::make_unique<SerialPort>(address_.port);
    }
    link->device = std::make_unique<Device>(*link->port);
    const auto crystal = link->device->banner_crystal();
    link_ = std::move(link);
    std::lock_guard<std::mutex> lock(mutex_);
    state_.connected = true;
    state_.identification = kIdentification;
    if (crystal) state_.crystal = crystal;
    state_.error.clear();
    changed();
}

void DeviceController::lost(const std::string &why)
{
    link_.reset();
    std::lock_guard<std::mutex> lock(mutex_);
    state_.connected = false;
    state_.error = why;
    state_.job.clear();
    if (sweep_.status == SweepStatus::Running) {
        sweep_.status = SweepStatus::Failed;
        sweep_.message = why;
    }
    changed();
}

void DeviceController::run_job(Job &job)
{
    Device &device = *link_->device;
    std::string message;
    switch (job.kind) {
    case Job::Kind::Sweep: {
        const SweepPlan plan = job.plan;
        const Device::PointSink sink = [this](std::uint32_t, Device::Level level) {
            std::lock_guard<std::mutex> lock(mutex_);
            levels_.push_back(level);
            cv_.notify_all();
            return !stop_requested_.load();
        };
        const std::uint32_t done = plan.log
            ? device.sweep_frequencies(plan.frequencies(), sink, kPointsPerCommand)
            : device.sweep_points(plan.start, plan.step, plan.points, sink, kPointsPerCommand);
        std::lock_guard<std::mutex> lock(mutex_);
        sweep_.status = done < plan.points ? SweepStatus::Stopped : SweepStatus::Done;
        state_.job.clear();
        changed();
        return;
    }
    case Job::Kind::Cal:
        device.calibrate();
        message = "All three outputs now carry the crystal frequency. Count one of them, then store what it reads.";
        break;
    case Job::Kind::Xtal:
        device.set_crystal(job.hz);
        message = "crystal frequency " + std::to_string(job.hz) + " Hz stored and in use";
        break;
    case Job::Kind::Off:
        device.off();
        message = "all outputs off";
        break;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (job.kind == Job::Kind::Xtal) state_.crystal = job.hz;
    state_.message = message;
    state_.job.clear();
    changed();
}

void DeviceController::run()
{
    auto next_check = Clock::now() + kCheckEvery;
    for (;;) {
        std::unique_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait_until(lock, next_check, [&] { return closing_ || pending_ != nullptr; });
            if (closing_) break;
            job = std::move(pending_);
        }
        try {
            if (job) {
                if (!link_) throw PortError("the device is not connected");
                run_job(*job);
                next_check = Clock::now() + kCheckEvery;
            } else if (Clock::now() >= next_check) {
                if (link_) {
                    link_->device->identify();
                    next_check = Clock::now() + kCheckEvery;
                } else {
                    next_check = Clock::now() + kReconnectEvery;
                    connect();
                }
            }
        } catch (const Interrupted &) {
            // The main thread sees the same signal and stops the server.
            break;
        } catch (const std::exception &e) {
            if (link_ || job) lost(e.what());
            next_check = Clock::now() + kReconnectEvery;
        }
    }
    link_.reset();
}

} // namespace snt
