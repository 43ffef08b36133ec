// Runs the firmware's main() on a thread of its own that takes turns with
// the thread controlling the board: exactly one of the two runs at a time.
// The controller resumes the firmware; the firmware yields back from inside
// a register access when the board wants to pause it.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace sim {

class CpuThread {
public:
    // Thrown inside the firmware thread to unwind it when the board goes away.
    struct Unwind {};

    explicit CpuThread(std::function<void()> body);
    ~CpuThread();
    CpuThread(const CpuThread &) = delete;
    CpuThread &operator=(const CpuThread &) = delete;

    // Controller: let the firmware run until it yields or ends. An error the
    // firmware thread raised is rethrown here.
    void resume();
    // Firmware thread: hand control back and wait for the next resume.
    void yield();

    bool on_cpu_thread() const { return std::this_thread::get_id() == thread_.get_id(); }
    bool finished() const { return finished_; }

private:
    void wait_for_turn(bool cpu);

    std::function<void()> body_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool cpu_turn_ = false;
    bool unwinding_ = false;
    bool finished_ = false;
    std::exception_ptr error_;
    std::thread thread_;
};

} // namespace sim
