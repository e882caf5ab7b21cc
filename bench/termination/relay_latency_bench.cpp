// Time from the signal handler to the start of the callback: the facility's own stamps
// (tp_start in the handler, tp_end as the relay receives the number), read on a monotonic
// clock, beside a bare relay (a handler that stamps and posts a semaphore, a thread that waits
// on it and stamps) measured in the same run. Each round trip raises one signal and waits
// until its callback has run.
//
// The program pins itself, and so both relay threads it starts, to one CPU (the last one it
// may use, or RELAY_BENCH_CPU). Left free, a relay is woken on whichever CPU the scheduler
// picks, and a wake-up on the other, idle CPU costs that CPU's way out of idle: 4 to 24 us
// from one repetition to the next, which is the machine's figure and not the relay's.
// The paired figure interleaves the two relays in short blocks and compares each facility
// block with the bare block beside it, so that a drift of the machine falls on both alike.
#include <kestal.h>

#include "private_log_socket.hpp"

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr int kFacilitySignal = SIGUSR1;
constexpr int kBareSignal = SIGUSR2;
constexpr benchmark::IterationCount kRoundTrips = 20000;
// The paired figure: rounds of one facility block and one bare block, in alternating order.
constexpr std::size_t kBlockRoundTrips = 100;
constexpr benchmark::IterationCount kRounds = kRoundTrips / kBlockRoundTrips;

long long nanoseconds(const timespec &t) {
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void wait_on(sem_t *semaphore) {
    while (sem_wait(semaphore) != 0 && errno == EINTR) {
    }
}

// --- The facility --------------------------------------------------------------------------

sem_t facility_done;
std::atomic<long long> facility_latency{0};

void facility_callback(int, void *) {
    // Through the accessor: a program's copies of the exported stamps do not follow them.
    timespec start{};
    timespec end{};
    kestal_termination_get_time_stamps(&start, &end);
    facility_latency.store(nanoseconds(end) - nanoseconds(start));
    sem_post(&facility_done);
}

long long facility_round_trip() {
    raise(kFacilitySignal);
    wait_on(&facility_done);
    return facility_latency.load();
}

// --- The bare relay ------------------------------------------------------------------------

sem_t bare_wake;
sem_t bare_done;
timespec bare_start;
std::atomic<long long> bare_latency{0};
std::atomic<bool> bare_running{true};

void bare_handler(int) {
    const int saved = errno;
    clock_gettime(CLOCK_MONOTONIC, &bare_start);
    sem_post(&bare_wake);
    errno = saved;
}

void *bare_relay(void *) {
    for (;;) {
        wait_on(&bare_wake);
        if (!bare_running.load()) {
            return nullptr;
        }
        timespec end{};
        clock_gettime(CLOCK_MONOTONIC, &end);
        bare_latency.store(nanoseconds(end) - nanoseconds(bare_start));
        sem_post(&bare_done);
    }
}

long long bare_round_trip() {
    raise(kBareSignal);
    wait_on(&bare_done);
    return bare_latency.load();
}

// --- Figures -------------------------------------------------------------------------------

struct Figures {
    double median = 0;
    double p99 = 0;
};

// The value below which the given share of the samples lies (the nearest rank).
template <typename Sample>
double quantile(std::vector<Sample> &samples, double share) {
    if (samples.empty()) {
        return 0;
    }
    const auto rank = static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1));
    std::nth_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(rank),
                     samples.end());
    return static_cast<double>(samples[rank]);
}

Figures figures_of(std::vector<long long> samples) {
    return {quantile(samples, 0.5), quantile(samples, 0.99)};
}

void report(benchmark::State &state, const char *prefix, const Figures &figures) {
    state.counters[std::string(prefix) + "median_ns"] = figures.median;
    state.counters[std::string(prefix) + "p99_ns"] = figures.p99;
}

Figures last_facility;
Figures last_bare;

struct RatioFigures {
    double median = 0;
    double p10 = 0;
    double p90 = 0;
};
RatioFigures last_ratio;

class FacilityRegistration {
public:
    FacilityRegistration()
        : record_(
              kestal_termination_register_callback(kFacilitySignal, facility_callback, nullptr)) {}
    ~FacilityRegistration() { (void)kestal_termination_unregister_callback(record_); }
    FacilityRegistration(const FacilityRegistration &) = delete;
    FacilityRegistration &operator=(const FacilityRegistration &) = delete;
    bool ok() const { return record_ != nullptr; }

private:
    kestal_termination_callback *record_;
};

void BM_BareSemaphoreRelay(benchmark::State &state) {
    std::vector<long long> samples;
    samples.reserve(static_cast<std::size_t>(kRoundTrips));
    for (auto _ : state) {
        samples.push_back(bare_round_trip());
    }
    report(state, "", figures_of(samples));
}
BENCHMARK(BM_BareSemaphoreRelay)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);

void BM_FacilityRelay(benchmark::State &state) {
    const FacilityRegistration registration;
    if (!registration.ok()) {
        state.SkipWithError("registration failed");
        return;
    }
    std::vector<long long> samples;
    samples.reserve(static_cast<std::size_t>(kRoundTrips));
    for (auto _ : state) {
        samples.push_back(facility_round_trip());
    }
    report(state, "", figures_of(samples));
}
BENCHMARK(BM_FacilityRelay)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);

// Both relays interleaved: every round runs a block of each, the facility first in even
// rounds and second in odd ones, and gives the ratio of the two blocks' medians. The figures
// are the median of those paired ratios and its spread (10th and 90th percentiles), beside
// the median and 99th percentile of every round trip of each relay.
void BM_FacilityBesideBareRelay(benchmark::State &state) {
    const FacilityRegistration registration;
    if (!registration.ok()) {
        state.SkipWithError("registration failed");
        return;
    }
    std::vector<long long> facility;
    std::vector<long long> bare;
    std::vector<long long> block;
    std::vector<double> ratios;
    facility.reserve(static_cast<std::size_t>(kRoundTrips));
    bare.reserve(static_cast<std::size_t>(kRoundTrips));
    block.reserve(kBlockRoundTrips);
    ratios.reserve(static_cast<std::size_t>(kRounds));
    const auto run_block = [&block](long long (*round_trip)(), std::vector<long long> &all) {
        block.clear();
        for (std::size_t trip = 0; trip < kBlockRoundTrips; ++trip) {
            block.push_back(round_trip());
        }
        all.insert(all.end(), block.begin(), block.end());
        return quantile(block, 0.5);
    };
    bool facility_first = true;
    for (auto _ : state) {
        double facility_block = 0;
        double bare_block = 0;
        if (facility_first) {
            facility_block = run_block(facility_round_trip, facility);
            bare_block = run_block(bare_round_trip, bare);
        } else {
            bare_block = run_block(bare_round_trip, bare);
            facility_block = run_block(facility_round_trip, facility);
        }
        facility_first = !facility_first;
        if (bare_block > 0) {
            ratios.push_back(facility_block / bare_block);
        }
    }
    last_facility = figures_of(facility);
    last_bare = figures_of(bare);
    report(state, "facility_", last_facility);
    report(state, "bare_", last_bare);
    last_ratio = {quantile(ratios, 0.5), quantile(ratios, 0.1), quantile(ratios, 0.9)};
    state.counters["paired_ratio_median"] = last_ratio.median;
    state.counters["paired_ratio_p10"] = last_ratio.p10;
    state.counters["paired_ratio_p90"] = last_ratio.p90;
    state.counters["p99_ratio"] = last_bare.p99 > 0 ? last_facility.p99 / last_bare.p99 : 0;
    state.counters["round_trips_per_block"] = static_cast<double>(kBlockRoundTrips);
    state.counters["rounds"] = static_cast<double>(ratios.size());
}
BENCHMARK(BM_FacilityBesideBareRelay)->Iterations(kRounds)->Unit(benchmark::kMicrosecond);

// The CPU the program runs on: RELAY_BENCH_CPU, or the last one it may use. -1 when none.
int chosen_cpu() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return -1;
    }
    if (const char *wanted = std::getenv("RELAY_BENCH_CPU"); wanted != nullptr) {
        const int cpu = std::atoi(wanted);
        return cpu >= 0 && cpu < CPU_SETSIZE && CPU_ISSET(static_cast<std::size_t>(cpu), &allowed)
                   ? cpu
                   : -1;
    }
    for (std::size_t cpu = CPU_SETSIZE; cpu-- > 0;) {
        if (CPU_ISSET(cpu, &allowed)) {
            return static_cast<int>(cpu);
        }
    }
    return -1;
}

// Pins the calling thread; the threads it creates later (the bare relay here, the facility's
// relay at its registration) start with the same single CPU.
bool pin_to(int cpu) {
    if (cpu < 0) {
        return false;
    }
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(static_cast<std::size_t>(cpu), &only);
    return pthread_setaffinity_np(pthread_self(), sizeof only, &only) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The facility logs each registration; the lines go to a socket of the benchmark's own.
    kestal::test::PrivateLogSocket::setup();
    if (!kestal::test::PrivateLogSocket::available()) {
        std::fprintf(stderr, "relay benchmark needs a private /dev/log: %s\n",
                     kestal::test::PrivateLogSocket::unavailable_reason().c_str());
        return 1;
    }
    kestal::test::PrivateLogSocket::instance().set_keep_records(false);

    const int cpu = chosen_cpu();
    if (!pin_to(cpu)) {
        std::fprintf(stderr, "relay benchmark: cannot pin to CPU %d\n", cpu);
        return 1;
    }

    // The facility stamps with the process's CPU clock unless told otherwise; the bare relay
    // uses the same monotonic clock.
    kestal_termination_set_clock(CLOCK_MONOTONIC);
    sem_init(&facility_done, 0, 0);
    sem_init(&bare_wake, 0, 0);
    sem_init(&bare_done, 0, 0);
    struct sigaction action {};
    action.sa_handler = bare_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(kBareSignal, &action, nullptr);
    pthread_t relay;
    pthread_create(&relay, nullptr, bare_relay, nullptr);

    // The relay the benchmark measures runs where the program does: say so in the results.
    benchmark::AddCustomContext("relay_cpu", std::to_string(cpu));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bare_running.store(false);
    sem_post(&bare_wake);
    pthread_join(relay, nullptr);
    if (last_bare.median > 0) {
        std::printf(
            "handler to callback on CPU %d, interleaved: facility median %.0f ns, p99 %.0f ns; "
            "bare relay median %.0f ns, p99 %.0f ns; paired ratio median %.3f (p10 %.3f, "
            "p90 %.3f), p99 ratio %.2f\n",
            cpu, last_facility.median, last_facility.p99, last_bare.median, last_bare.p99,
            last_ratio.median, last_ratio.p10, last_ratio.p90, last_facility.p99 / last_bare.p99);
    }
    return 0;
}
