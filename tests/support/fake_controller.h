// A tester for the tests of snt serve's limits and for its fuzz target: no
// device behind it, every job done at once, and a sweep that measures only
// when told to (measure()), so what a stream sends is up to the test.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "core/analysis/frequency.h"
#include "shells/serve/serve_controller.h"

namespace snt_test {

class FakeController : public snt::Tester {
public:
    explicit FakeController(bool connected = true) { reset(connected); }

    // As new: no sweep yet, nothing closed.
    void reset(bool connected)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        state_ = snt::DeviceState{};
        state_.connected = connected;
        state_.identification = "1.3;VORN";
        state_.crystal = 25000000;
        if (!connected) state_.error = "no tester (fake)";
        ++version_;
        sweep_ = snt::SweepInfo{};
        levels_.clear();
        closing_ = false;
    }

    Answer start_sweep(const snt::SweepPlan &plan) override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto refused = refusal()) return *refused;
        sweep_ = snt::SweepInfo{sweep_.id + 1, plan, snt::SweepStatus::Running, ""};
        levels_.clear();
        state_.job = "sweep";
        changed();
        return Answer::Started;
    }
    Answer calibrate() override { return job("all outputs at the crystal frequency"); }
    Answer store_crystal(std::uint32_t hz) override
    {
        snt::check_crystal(hz);
        const Answer a = job("crystal stored");
        if (a == Answer::Started) {
            const std::lock_guard<std::mutex> lock(mutex_);
            state_.crystal = hz;
        }
        return a;
    }
    Answer off() override { return job("all outputs off"); }
    bool stop() override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (sweep_.status != snt::SweepStatus::Running) return false;
        end(snt::SweepStatus::Stopped);
        return true;
    }

    snt::DeviceState state() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return state_;
    }
    snt::SweepInfo sweep() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return sweep_;
    }
    std::vector<snt::Device::Level> levels() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return levels_;
    }

    // As DeviceController: what the cursor has not seen, after at most `wait`.
    snt::Changes changes_since(snt::WatchCursor &cursor, std::chrono::milliseconds wait) override
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto ended = [&] {
            return !cursor.sweep_ended && sweep_.id != 0 && sweep_.status != snt::SweepStatus::Running;
        };
        cv_.wait_for(lock, wait, [&] {
            return closing_ || cursor.state_version != version_ || cursor.sweep_id != sweep_.id ||
                cursor.points != levels_.size() || ended();
        });
        snt::Changes c;
        if (cursor.state_version != version_) c.state = state_;
        cursor.state_version = version_;
        if (cursor.sweep_id != sweep_.id) {
            c.sweep_started = sweep_;
            cursor = {cursor.state_version, sweep_.id, 0, false};
        }
        if (cursor.points < levels_.size()) {
            c.first_point = static_cast<std::uint32_t>(cursor.points);
            c.points.assign(levels_.begin() + static_cast<std::ptrdiff_t>(cursor.points), levels_.end());
            cursor.points = levels_.size();
        }
        if (ended()) {
            c.sweep_ended = sweep_;
            cursor.sweep_ended = true;
        }
        return c;
    }
    void close() override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        cv_.notify_all();
    }
    bool closed() const override
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        return closing_;
    }

    // The running sweep measures up to `n` more points (every seventh a gap
    // the synthesizer could not make); it is done when it has them all.
    void measure(std::size_t n)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (sweep_.status != snt::SweepStatus::Running) return;
        const std::size_t total = sweep_.plan.points;
        for (std::size_t i = 0; i < n && levels_.size() < total; ++i) {
            const std::size_t k = levels_.size();
            levels_.push_back(k % 7 == 6 ? snt::Device::Level() : snt::Device::Level(1e6 * static_cast<double>(k + 1)));
        }
        if (levels_.size() == total) end(snt::SweepStatus::Done);
        cv_.notify_all();
    }

private:
    std::optional<Answer> refusal() const
    {
        if (!state_.connected || closing_) return Answer::Offline;
        if (!state_.job.empty()) return Answer::Busy;
        return std::nullopt;
    }
    Answer job(const char *message)
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto refused = refusal()) return *refused;
        state_.message = message;
        changed();
        return Answer::Started;
    }
    void end(snt::SweepStatus status)
    {
        sweep_.status = status;
        state_.job.clear();
        changed();
    }
    void changed()
    {
        ++version_;
        cv_.notify_all();
    }

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    snt::DeviceState state_;
    std::uint64_t version_ = 1;
    snt::SweepInfo sweep_;
    std::vector<snt::Device::Level> levels_;
    bool closing_ = false;
};

} // namespace snt_test
