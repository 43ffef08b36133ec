#include "shells/sim/cpu_thread.h"

namespace sim {

CpuThread::CpuThread(std::function<void()> body) : body_(std::move(body))
{
    thread_ = std::thread([this] {
        wait_for_turn(true);
        if (!unwinding_) {
            try {
                body_();
            } catch (const Unwind &) {
            } catch (...) {
                error_ = std::current_exception();
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        cpu_turn_ = false;
        cv_.notify_all();
    });
}

CpuThread::~CpuThread()
{
    if (!finished_) {
        unwinding_ = true;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cpu_turn_ = true;
            cv_.notify_all();
            cv_.wait(lock, [this] { return finished_; });
        }
    }
    thread_.join();
}

void CpuThread::wait_for_turn(bool cpu)
{
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this, cpu] { return cpu_turn_ == cpu || (!cpu && finished_); });
}

void CpuThread::resume()
{
    if (finished_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cpu_turn_ = true;
        cv_.notify_all();
    }
    wait_for_turn(false);
    if (error_) {
        std::exception_ptr e = error_;
        error_ = nullptr;
        std::rethrow_exception(e);
    }
}

void CpuThread::yield()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cpu_turn_ = false;
        cv_.notify_all();
    }
    wait_for_turn(true);
    if (unwinding_) throw Unwind{};
}

} // namespace sim
