// Cost of one kestal_log call beside a direct syslog() call to the same drained socket.
#include <kestal.h>

#include "private_log_socket.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

constexpr char kAllKeys[] =
    "%faci% %lvl% %time% %host% %prog% %pid% %msg% %file% %line% %func% %cont%";

void BM_DirectSyslog(benchmark::State &state) {
    int i = 0;
    for (auto _ : state) {
        syslog(LOG_LOCAL5 | LOG_INFO, "message number %d of %s\n", ++i, "many");
    }
}
BENCHMARK(BM_DirectSyslog);

void BM_KestalLogDefaultTemplate(benchmark::State &state) {
    kestal_log_set_format("%msg%");
    int i = 0;
    for (auto _ : state) {
        kestal_log(LOG_INFO, "bench", __LINE__, __func__, "message number %d of %s", ++i, "many");
    }
}
BENCHMARK(BM_KestalLogDefaultTemplate);

void BM_KestalLogAllKeys(benchmark::State &state) {
    kestal_log_set_format(kAllKeys);
    int i = 0;
    for (auto _ : state) {
        kestal_log(LOG_INFO, "bench", __LINE__, __func__, "message number %d of %s", ++i, "many");
    }
    kestal_log_set_format("%msg%");
}
BENCHMARK(BM_KestalLogAllKeys);

}  // namespace

int main(int argc, char **argv) {
    kestal::test::PrivateLogSocket::setup();
    if (!kestal::test::PrivateLogSocket::available()) {
        std::fprintf(stderr, "log benchmark needs a private /dev/log: %s\n",
                     kestal::test::PrivateLogSocket::unavailable_reason().c_str());
        return 1;
    }
    kestal::test::PrivateLogSocket::instance().set_keep_records(false);
    kestal::test::PrivateLogSocket::instance().set_spinning(true);
    openlog("bench", LOG_PID, LOG_LOCAL5);
    kestal_log_open("bench", LOG_PID, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
