// Snapshot look-ups on a topology of 10 000 contours in 100 clusters: by path, by alias and by
// consistent hash. A look-up must not allocate; the counter "allocs/op" shows it.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "topology/topology-data-info.hpp"

namespace {

constexpr int kClusters = 100;
constexpr int kPerCluster = 100;

const TopologyDataInfo& snapshot() {
    static const TopologyDataInfo data = [] {
        std::list<Contour> list;
        for (int c = 0; c < kClusters; ++c) {
            for (int n = 0; n < kPerCluster; ++n) {
                Contour contour;
                contour.path = "mav.zone" + std::to_string(c) + ".node" + std::to_string(n);
                contour.parent = "mav.zone" + std::to_string(c);
                contour.weight = static_cast<uint16_t>(1 + n % 5);
                contour.mode = Contour::NORMAL;
                contour.type = Contour::ACTIVE;
                list.push_back(std::move(contour));
            }
        }
        return TopologyDataInfo(std::move(list), std::string("mav"));
    }();
    return data;
}

std::vector<std::string> keys(const char* prefix, int count) {
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        int c = (i * 37) % kClusters;
        int n = (i * 53) % kPerCluster;
        out.push_back(std::string(prefix) + "zone" + std::to_string(c) + ".NODE" + std::to_string(n));
    }
    return out;
}

void run_path(benchmark::State& state, const char* prefix) {
    const auto& data = snapshot();
    const auto names = keys(prefix, 1024);
    size_t i = 0;
    const uint64_t before = bench::allocations.load();
    for (auto _ : state) {
        const Contour* c = data.get_by_path(names[i++ & 1023]);
        benchmark::DoNotOptimize(c);
        if (!c) state.SkipWithError("not found");
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(bench::allocations.load() - before), benchmark::Counter::kAvgIterations);
}

void BM_GetByPath(benchmark::State& state) { run_path(state, "MAV."); }
void BM_GetByAlias(benchmark::State& state) { run_path(state, ""); }

void BM_GetByHash(benchmark::State& state) {
    const auto& data = snapshot();
    std::vector<std::string> clusters, request_keys;
    for (int i = 0; i < 1024; ++i) {
        clusters.push_back((i & 1 ? "MAV.zone" : "zone") + std::to_string(i % kClusters));
        request_keys.push_back("tenant-" + std::to_string(i * 7919));
    }
    size_t i = 0;
    const uint64_t before = bench::allocations.load();
    for (auto _ : state) {
        auto node = data.get_by_hash(clusters[i & 1023], request_keys[i & 1023]);
        ++i;
        benchmark::DoNotOptimize(node);
        if (!node) state.SkipWithError("not found");
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(bench::allocations.load() - before), benchmark::Counter::kAvgIterations);
}

// The MD5 of one key alone, the floor under a hash look-up.
void BM_KeyHashOnly(benchmark::State& state) {
    Ketama ring;
    const std::string key = "tenant-123456";
    for (auto _ : state) benchmark::DoNotOptimize(ring.hashi(key.data(), key.size()));
}

BENCHMARK(BM_GetByPath);
BENCHMARK(BM_GetByAlias);
BENCHMARK(BM_GetByHash);
BENCHMARK(BM_KeyHashOnly);

}  // namespace
