// What a module pays to publish a metric per packet: calls of the host's
// OrvHostMetricAdd and OrvHostMetricSet, found with dlsym as a module finds
// them, timed over many calls. Three cases: one thread on its own metric;
// two threads, each on its own metric; two threads on one metric (the worst
// case: every add contends for the same cache line).
//
// Prints one Markdown table row per case: nanoseconds per call (the best of
// five rounds) on standard output.
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "core/core.h"
#include "supervision/host_api.h"
#include "supervision/module_metrics.h"

namespace {

constexpr long kCalls = 20000000;
constexpr int kRounds = 5;

OrvHostMetricAddFn addFn;
OrvHostMetricSetFn setFn;

double NowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) * 1e9 + double(now.tv_nsec);
}

int64_t Declare(const char* name)
{
    MetricDeclaration d;
    std::memset(&d, 0, sizeof d);
    d.size = sizeof d;
    d.version = ORV_METRIC_DECLARATION_VERSION;
    d.module_id = 0x100;
    d.name = name;
    d.type = ORV_METRIC_COUNTER;
    return ModuleMetrics::shared().declare(d);
}

void Publish(int64_t handle, bool set)
{
    for (long i = 0; i < kCalls; ++i) {
        if (set)
            setFn(handle, double(i));
        else
            addFn(handle, 1.0);
    }
}

// ns per call of each thread, the best round; one handle per thread.
double Measure(const std::vector<int64_t>& handles, bool set)
{
    double best = 1e30;
    for (int round = 0; round < kRounds; ++round) {
        const double start = NowNs();
        std::vector<std::thread> threads;
        for (int64_t handle : handles)
            threads.emplace_back(Publish, handle, set);
        for (std::thread& thread : threads)
            thread.join();
        best = std::min(best, (NowNs() - start) / double(kCalls));
    }
    return best;
}

template <typename Fn>
bool Find(void* self, const char* name, Fn* fn)
{
    void* symbol = dlsym(self, name);
    std::memcpy(fn, &symbol, sizeof *fn);
    return symbol != nullptr;
}

}  // namespace

int main()
{
    void* self = dlopen(nullptr, RTLD_NOW);
    if (!self || !Find(self, ORV_HOST_METRIC_ADD_SYMBOL, &addFn) || !Find(self, ORV_HOST_METRIC_SET_SYMBOL, &setFn)) {
        std::fprintf(stderr, "the host's metric functions are not exported\n");
        return 1;
    }
    const int64_t a = Declare("a_total"), b = Declare("b_total");
    std::printf("| case | ns per call |\n|---|---|\n");
    std::printf("| add, one thread | %.2f |\n", Measure({a}, false));
    std::printf("| set, one thread | %.2f |\n", Measure({a}, true));
    std::printf("| add, two threads, a metric each | %.2f |\n", Measure({a, b}, false));
    std::printf("| add, two threads, one metric | %.2f |\n", Measure({a, a}, false));
    return 0;
}
