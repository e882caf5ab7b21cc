// Time from the signal handler to the start of the callback: the facility's own stamps
// (tp_start in the handler, tp_end as the relay receives the number), read on a monotonic
// clock, beside a bare relay (a handler that stamps and posts a semaphore, a thread that waits
// on it and stamps) measured in the same run. Each iteration raises one signal and waits
// until its callback has run; the figures are the median and 99th percentile of the stamps'
// difference, and their ratio to the bare relay.
#include <kestal.h>

#include "private_log_socket.hpp"

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

constexpr int kFacilitySignal = SIGUSR1;
constexpr int kBareSignal = SIGUSR2;
constexpr benchmark::IterationCount kRoundTrips = 20000;

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

Figures figures_of(std::vector<long long> samples) {
    Figures figures;
    if (samples.empty()) {
        return figures;
    }
    std::sort(samples.begin(), samples.end());
    figures.median = static_cast<double>(samples[samples.size() / 2]);
    figures.p99 = static_cast<double>(samples[samples.size() * 99 / 100]);
    return figures;
}

void report(benchmark::State &state, const char *prefix, const Figures &figures) {
    state.counters[std::string(prefix) + "median_ns"] = figures.median;
    state.counters[std::string(prefix) + "p99_ns"] = figures.p99;
}

Figures last_facility;
Figures last_bare;

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

// Both relays in alternation, so that the machine's noise falls on both alike.
void BM_FacilityBesideBareRelay(benchmark::State &state) {
    const FacilityRegistration registration;
    if (!registration.ok()) {
        state.SkipWithError("registration failed");
        return;
    }
    std::vector<long long> facility;
    std::vector<long long> bare;
    facility.reserve(static_cast<std::size_t>(kRoundTrips));
    bare.reserve(static_cast<std::size_t>(kRoundTrips));
    for (auto _ : state) {
        facility.push_back(facility_round_trip());
        bare.push_back(bare_round_trip());
    }
    last_facility = figures_of(facility);
    last_bare = figures_of(bare);
    report(state, "facility_", last_facility);
    report(state, "bare_", last_bare);
    state.counters["median_ratio"] =
        last_bare.median > 0 ? last_facility.median / last_bare.median : 0;
    state.counters["p99_ratio"] = last_bare.p99 > 0 ? last_facility.p99 / last_bare.p99 : 0;
}
BENCHMARK(BM_FacilityBesideBareRelay)->Iterations(kRoundTrips)->Unit(benchmark::kMicrosecond);

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

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bare_running.store(false);
    sem_post(&bare_wake);
    pthread_join(relay, nullptr);
    if (last_bare.median > 0) {
        std::printf(
            "handler to callback, alternating: facility median %.0f ns, p99 %.0f ns; "
            "bare relay median %.0f ns, p99 %.0f ns; ratio median %.2f, p99 %.2f\n",
            last_facility.median, last_facility.p99, last_bare.median, last_bare.p99,
            last_facility.median / last_bare.median, last_facility.p99 / last_bare.p99);
    }
    return 0;
}
