// The tester behind `snt serve`: one thread owns the port and the device,
// runs one job at a time (a sweep, the crystal's calibration) and keeps
// what every page needs to see: the connection, the job, the points of the
// latest sweep. Requests only ask; a second job while one runs is refused.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/analysis/sweep.h"
#include "shells/snt/device.h"

namespace snt {

// Where the tester is: a serial port, or the virtual board with its options.
struct DeviceAddress {
    std::string port;                  // empty: a virtual board in this process
    std::vector<std::string> sim_args; // its options, as snt-sim takes them
};

struct DeviceState {
    bool connected = false;
    std::string identification;
    std::optional<std::uint32_t> crystal; // announced at start-up, or stored since
    std::string error;                    // why it is not connected
    std::string job;                      // "", "sweep", "cal", "xtal", "off"
    std::string message;                  // what the last device job did
};

enum class SweepStatus { Running, Done, Stopped, Failed };

struct SweepInfo {
    std::uint64_t id = 0; // 0: no sweep yet
    SweepPlan plan;
    SweepStatus status = SweepStatus::Done;
    std::string message; // why it failed
};

// What a watcher has seen so far; changes_since() moves it on.
struct WatchCursor {
    std::uint64_t state_version = 0;
    std::uint64_t sweep_id = 0;
    std::size_t points = 0;
    bool sweep_ended = false;
};

struct Changes {
    std::optional<DeviceState> state;
    std::optional<SweepInfo> sweep_started; // a sweep the watcher has not seen yet
    std::uint32_t first_point = 0;
    std::vector<Device::Level> points; // from first_point on
    std::optional<SweepInfo> sweep_ended;
    bool empty() const { return !state && !sweep_started && points.empty() && !sweep_ended; }
};

// What the web server asks of the tester: a DeviceController, or a fake
// one in the fuzz target and the tests of the server's limits.
class Tester {
public:
    enum class Answer { Started, Busy, Offline };

    Tester() = default;
    virtual ~Tester() = default;
    Tester(const Tester &) = delete;
    Tester &operator=(const Tester &) = delete;

    virtual Answer start_sweep(const SweepPlan &plan) = 0;
    virtual Answer calibrate() = 0;
    // Throws InputError for a frequency the tester would refuse.
    virtual Answer store_crystal(std::uint32_t hz) = 0;
    virtual Answer off() = 0;
    // Asks the running sweep to end at its next point; false when none runs.
    virtual bool stop() = 0;

    virtual DeviceState state() const = 0;
    virtual SweepInfo sweep() const = 0;
    virtual std::vector<Device::Level> levels() const = 0;

    // Waits until something has changed for `cursor`, at most `wait`, or
    // until close(); then what has changed, with the cursor moved on.
    virtual Changes changes_since(WatchCursor &cursor, std::chrono::milliseconds wait) = 0;
    // Wakes every watcher for good (the server is stopping).
    virtual void close() = 0;
    virtual bool closed() const = 0;
};

class DeviceController : public Tester {
public:
    // Points per `r` command: a Stop takes effect after at most this many.
    static constexpr std::uint32_t kPointsPerCommand = 25;

    explicit DeviceController(DeviceAddress address);
    // Ends the job at its next point and stops the thread (and the virtual board).
    ~DeviceController() override;

    Answer start_sweep(const SweepPlan &plan) override;
    Answer calibrate() override;
    Answer store_crystal(std::uint32_t hz) override;
    Answer off() override;
    bool stop() override;

    DeviceState state() const override;
    SweepInfo sweep() const override;
    std::vector<Device::Level> levels() const override;

    Changes changes_since(WatchCursor &cursor, std::chrono::milliseconds wait) override;
    void close() override;
    bool closed() const override;

private:
    struct Job;
    struct Connection;

    Answer submit(std::unique_ptr<Job> job, const std::string &name);
    void run();
    void connect();
    void run_job(Job &job);
    void lost(const std::string &why);
    void changed(); // with mutex_ held

    DeviceAddress address_;
    std::unique_ptr<Connection> link_; // the worker's own

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    DeviceState state_;
    std::uint64_t version_ = 1;
    SweepInfo sweep_;
    std::vector<Device::Level> levels_;
    std::unique_ptr<Job> pending_;
    bool closing_ = false;
    std::atomic<bool> stop_requested_{false};
    std::thread thread_;
};

inline const char *to_string(SweepStatus status)
{
    switch (status) {
    case SweepStatus::Running:
        return "running";
    case SweepStatus::Done:
        return "done";
    case SweepStatus::Stopped:
        return "stopped";
    case SweepStatus::Failed:
        return "failed";
    }
    return "failed";
}

} // namespace snt
