#include "shells/sim/cpu_fiber.h"

#include <boost/context/protected_fixedsize_stack.hpp>

#include <memory>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define SNT_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SNT_ASAN_FIBERS 1
#endif
#endif
#ifdef SNT_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

namespace sim {

namespace ctx = boost::context;

namespace {

// Boost's guarded stack (a page that faults below it), remembering where it
// put the stack: AddressSanitizer is told its bounds at every switch.
class RecordedStack {
public:
    explicit RecordedStack(ctx::stack_context &where) : where_(where) {}
    ctx::stack_context allocate()
    {
        where_ = stack_.allocate();
        return where_;
    }
    void deallocate(ctx::stack_context &sc) noexcept { stack_.deallocate(sc); }

private:
    ctx::protected_fixedsize_stack stack_{CpuFiber::kStackSize};
    ctx::stack_context &where_;
};

// The two announcements AddressSanitizer asks for around a switch: the
// stack about to run (and where to keep the fake stack of the one leaving,
// none when it ends for good), then, on arrival, the fake stack of the one
// arriving and the bounds of the one left.
void start_switch([[maybe_unused]] void **fake_stack, [[maybe_unused]] const void *bottom,
                  [[maybe_unused]] std::size_t size)
{
#ifdef SNT_ASAN_FIBERS
    __sanitizer_start_switch_fiber(fake_stack, bottom, size);
#endif
}

void finish_switch([[maybe_unused]] void *fake_stack, [[maybe_unused]] const void **bottom_left,
                   [[maybe_unused]] std::size_t *size_left)
{
#ifdef SNT_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(fake_stack, bottom_left, size_left);
#endif
}

} // namespace

CpuFiber::CpuFiber(std::function<void()> body) : body_(std::move(body))
{
    body_fiber_ = ctx::fiber(std::allocator_arg, RecordedStack(stack_),
                             [this](ctx::fiber &&controller) { return run_body(std::move(controller)); });
}

CpuFiber::~CpuFiber()
{
    if (!finished_ && body_fiber_) {
        // Started or not, the body ends through its own stack, unwinding it.
        unwinding_ = true;
        switch_to_body();
    }
}

ctx::fiber CpuFiber::run_body(ctx::fiber &&controller)
{
    controller_fiber_ = std::move(controller);
    finish_switch(nullptr, &controller_bottom_, &controller_size_);
    if (!unwinding_) {
        try {
            body_();
        } catch (const Unwind &) {
        } catch (...) {
            error_ = std::current_exception();
        }
    }
    finished_ = true;
    inside_ = false;
    start_switch(nullptr, controller_bottom_, controller_size_); // this stack is done with
    return std::move(controller_fiber_);
}

void CpuFiber::switch_to_body()
{
    inside_ = true;
    // The fiber allocated its stack when it was made; it grows down from sp.
    start_switch(&controller_fake_stack_, static_cast<const char *>(stack_.sp) - stack_.size, stack_.size);
    body_fiber_ = std::move(body_fiber_).resume();
    finish_switch(controller_fake_stack_, nullptr, nullptr);
    inside_ = false;
}

void CpuFiber::resume()
{
    if (finished_) return;
    switch_to_body();
    if (error_) {
        std::exception_ptr e = error_;
        error_ = nullptr;
        std::rethrow_exception(e);
    }
}

void CpuFiber::switch_to_controller()
{
    inside_ = false;
    start_switch(&body_fake_stack_, controller_bottom_, controller_size_);
    controller_fiber_ = std::move(controller_fiber_).resume();
    finish_switch(body_fake_stack_, &controller_bottom_, &controller_size_);
    inside_ = true;
}

void CpuFiber::yield()
{
    switch_to_controller();
    if (unwinding_) throw Unwind{};
}

} // namespace sim
