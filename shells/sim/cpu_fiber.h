// Runs the firmware's main() on a stack of its own that takes turns with
// the code controlling the board, in the same thread: a stackful coroutine
// (Boost.Context's fiber). The controller resumes the firmware; the
// firmware yields back from inside a register access when the board wants
// to pause it. A switch costs a few dozen instructions, no system call.
//
// Under AddressSanitizer every switch is announced to it
// (__sanitizer_start_switch_fiber / __sanitizer_finish_switch_fiber), so it
// knows which stack is live and checks both.
#pragma once

#include <boost/context/fiber.hpp>
#include <boost/context/stack_context.hpp>

#include <cstddef>
#include <exception>
#include <functional>

namespace sim {

class CpuFiber {
public:
    // Thrown inside the firmware's stack to unwind it when the board goes away.
    struct Unwind {};

    // The firmware's stack: main(), its handlers and whatever the board runs
    // inside their register accesses (events, the serial hosts).
    static constexpr std::size_t kStackSize = 8u << 20;

    explicit CpuFiber(std::function<void()> body);
    // Unwinds a body that has not finished.
    ~CpuFiber();
    CpuFiber(const CpuFiber &) = delete;
    CpuFiber &operator=(const CpuFiber &) = delete;

    // Controller: lets the body run until it yields or ends. An exception the
    // body let out is rethrown here.
    void resume();
    // Body: hands control back and waits for the next resume.
    void yield();

    // True while the body runs (between a resume and its yield).
    bool inside() const { return inside_; }
    bool finished() const { return finished_; }

private:
    boost::context::fiber run_body(boost::context::fiber &&controller);
    void switch_to_body();
    void switch_to_controller();

    std::function<void()> body_;
    boost::context::fiber body_fiber_;       // where the body waits while the controller runs
    boost::context::fiber controller_fiber_; // where the controller waits while the body runs
    boost::context::stack_context stack_{};  // the body's
    // The controller's stack and AddressSanitizer's fake stacks of each
    // side, kept across switches.
    const void *controller_bottom_ = nullptr;
    std::size_t controller_size_ = 0;
    void *controller_fake_stack_ = nullptr;
    void *body_fake_stack_ = nullptr;
    bool inside_ = false;
    bool unwinding_ = false;
    bool finished_ = false;
    std::exception_ptr error_;
};

} // namespace sim
