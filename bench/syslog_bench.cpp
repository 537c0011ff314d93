// One log line: dropped by the threshold, and written to a file sink (/dev/null) with
// clean arguments and with an argument that holds a line feed. The file path must not
// allocate; the counter "allocs/op" shows it.
#include <benchmark/benchmark.h>

#include "alloc_counter.hpp"
#include "common/syslog.hpp"

namespace {

using framework::Syslog;

void to_dev_null() {
    static const bool done = [] {
        Syslog::set_tag("bench");
        Syslog::redirect("/dev/null");
        Syslog::set_log_level("warning");
        return true;
    }();
    (void)done;
}

void run_line(benchmark::State& state, int level, const char* peer_text) {
    to_dev_null();
    int i = 0;
    const uint64_t before = bench::allocations.load();
    for (auto _ : state) {
        Syslog::log(level, "%s: request %d from %s: %s", "proxy(12)", ++i, "10.0.0.1", peer_text);
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(bench::allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_LineDropped(benchmark::State& state) { run_line(state, 9, "GET /api/v1/items"); }
void BM_LineToFile(benchmark::State& state) { run_line(state, 4, "GET /api/v1/items"); }
void BM_LineToFileWithLineFeed(benchmark::State& state) {
    run_line(state, 4, "GET /api/v1/items\nMar 05 14:07:09 gw1 travine[1]: forged");
}

BENCHMARK(BM_LineDropped);
BENCHMARK(BM_LineToFile);
BENCHMARK(BM_LineToFileWithLineFeed);

}  // namespace
