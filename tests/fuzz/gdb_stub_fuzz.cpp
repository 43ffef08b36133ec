// The GDB stub fed whatever may arrive on its port, against the tests' fake
// target. A 0xFF byte (which GDB sends only inside binary data) stands for
// the target stopping, if it runs, for the next reason in turn. Whatever
// comes, the stub must not fail, must answer no byte with more than one
// reply, must keep the interface's promises to the target, and must
// answer a good packet afterwards unless GDB ended the session.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "board/debug/gdb_stub.h"
#include "board/debug/rsp_packet.h"
#include "tests/support/fake_debug_target.h"

namespace {

void require(bool condition)
{
    if (!condition) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    snt_test::FakeDebugTarget target;
    // The first byte's low bit chooses run-length encoded replies.
    sim::GdbStub stub(target, sim::GdbStub::Options{size > 0 && (data[0] & 1) != 0});
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    int stops = 0;
    // A byte at a time: none may bring more than one answer (the longest,
    // a monitor command's output, takes three packets and OK).
    for (std::size_t at = 0; at < input.size() && !stub.finished(); ++at) {
        if (input[at] != '\xff') {
            stub.receive(input.substr(at, 1));
            require(stub.take_output().size() <= 4 * (sim::GdbStub::kPacketSize + 8));
        } else if (stub.running()) {
            stub.report_stop({static_cast<sim::StopEvent::Kind>(stops++ % 7)});
            require(!stub.take_output().empty());
        }
    }
    require(target.wrapped_ranges == 0);
    if (stub.finished()) return 0;
    if (stub.running()) stub.report_stop({sim::StopEvent::Kind::StepDone});
    stub.take_output();
    stub.receive(sim::rsp_frame("qC", false));
    require(stub.take_output().find(sim::rsp_frame("QC1", false)) != std::string::npos);
    return 0;
}
