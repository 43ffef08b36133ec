// Checks format_level against the host C library's "%.2f" for every float
// bit pattern (non-finite ones included), or for a sub-range of them, and
// prints how many were checked, how many differ (the first few of them) and
// how long it took.
//
//   build/bench/bin/level_text_exhaustive [start [count [threads]]]
//
// start and count are bit patterns (decimal or 0x...); by default all 2^32
// from 0, on as many threads as the machine has cores.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "level_text.h"

namespace {

constexpr std::uint64_t kBlock = 1u << 20; // patterns a thread takes at a time
constexpr std::size_t kShown = 10;         // mismatches printed

struct Mismatch {
    std::uint32_t bits;
    std::string got, want;
};

struct Shared {
    std::uint64_t start = 0, count = 0;
    std::atomic<std::uint64_t> next_block{0};
    std::atomic<std::uint64_t> checked{0}, finite{0}, mismatches{0};
    std::mutex lock;
    std::vector<Mismatch> first; // the lowest patterns that differ
};

void keep(Shared &shared, const Mismatch &m)
{
    std::lock_guard<std::mutex> guard(shared.lock);
    shared.first.push_back(m);
    std::sort(shared.first.begin(), shared.first.end(),
              [](const Mismatch &a, const Mismatch &b) { return a.bits < b.bits; });
    if (shared.first.size() > kShown) shared.first.resize(kShown);
}

void worker(Shared &shared)
{
    const std::uint64_t blocks = (shared.count + kBlock - 1) / kBlock;
    for (;;) {
        const std::uint64_t block = shared.next_block.fetch_add(1);
        if (block >= blocks) return;
        const std::uint64_t from = block * kBlock;
        const std::uint64_t to = std::min(from + kBlock, shared.count);
        std::uint64_t finite = 0, mismatches = 0;
        for (std::uint64_t i = from; i < to; i++) {
            const std::uint32_t bits = static_cast<std::uint32_t>(shared.start + i);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            finite += (bits & 0x7F800000u) != 0x7F800000u;
            char want[64], got[64];
            const int want_len = std::snprintf(want, sizeof want, "%.2f", static_cast<double>(f));
            const int got_len = format_level(got, f);
            if (got_len == want_len && std::memcmp(got, want, static_cast<std::size_t>(want_len) + 1) == 0) continue;
            mismatches++;
            keep(shared, {bits, std::string(got, static_cast<std::size_t>(std::clamp(got_len, 0, 63))), want});
        }
        shared.checked += to - from;
        shared.finite += finite;
        shared.mismatches += mismatches;
    }
}

std::uint64_t number(const char *text)
{
    char *end;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (*text == 0 || *end != 0) {
        std::fprintf(stderr, "not a number: %s\n", text);
        std::exit(2);
    }
    return v;
}

} // namespace

int main(int argc, char **argv)
{
    Shared shared;
    shared.start = argc > 1 ? number(argv[1]) : 0;
    shared.count = argc > 2 ? number(argv[2]) : (1ull << 32);
    unsigned threads = argc > 3 ? static_cast<unsigned>(number(argv[3])) : std::thread::hardware_concurrency();
    if (threads == 0) threads = 1;
    if (shared.start > 0xFFFFFFFFull || shared.count > (1ull << 32) - shared.start) {
        std::fprintf(stderr, "the range must lie within 0 .. 0xFFFFFFFF\n");
        return 2;
    }
    std::printf("checking 0x%08" PRIx64 " .. 0x%08" PRIx64 " (%" PRIu64 " patterns) on %u threads\n", shared.start,
                shared.start + shared.count - 1, shared.count, threads);
    std::fflush(stdout);

    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; t++) pool.emplace_back(worker, std::ref(shared));
    for (std::thread &t : pool) t.join();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::printf("checked %" PRIu64 " patterns (%" PRIu64 " finite)\n", shared.checked.load(), shared.finite.load());
    std::printf("mismatches %" PRIu64 "\n", shared.mismatches.load());
    for (const Mismatch &m : shared.first) {
        float f;
        std::memcpy(&f, &m.bits, sizeof f);
        std::printf("  0x%08" PRIx32 " (%a): got \"%s\", want \"%s\"\n", m.bits, static_cast<double>(f), m.got.c_str(),
                    m.want.c_str());
    }
    std::printf("elapsed %.1f s (%.1f ns per pattern per thread)\n", seconds,
                shared.checked ? seconds * 1e9 * threads / static_cast<double>(shared.checked) : 0.0);
    return shared.mismatches == 0 ? 0 : 1;
}
