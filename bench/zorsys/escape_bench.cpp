// Escaping a caller text as one word into 1023 characters, the longest the length rule lets
// run, beside a plain copy of the same bytes: the copy is what any bounded command buffer
// pays, so the ratio is the price of the escaping itself. Two texts: one without a
// metacharacter (the scan alone) and one where the escaping doubles a third of the
// characters.
#include "command_frame.hpp"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

namespace {

namespace frame = zorsys::frame;

// A name of exactly length characters built from filler.
std::string command_of(std::size_t length, const char *filler) {
    std::string command;
    const std::size_t filler_length = std::strlen(filler);
    while (command.size() < length) {
        command.push_back(filler[command.size() % filler_length]);
    }
    command.resize(length);
    return command;
}

// Plain: 1023 characters in, 1023 out. Metacharacters: 767 characters escape to 1023.
const std::string kPlain = command_of(frame::kMaxLength, "web-01.");
const std::string kWithMeta = command_of(767, "a$b");

void BM_CopyCommand(benchmark::State &state, const std::string *command) {
    char destination[frame::kBufferSize];
    for (auto _ : state) {
        const std::size_t length = std::strlen(command->c_str());
        std::memcpy(destination, command->c_str(), length + 1);
        benchmark::DoNotOptimize(destination);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(command->size()));
}

void BM_EscapeCommand(benchmark::State &state, const std::string *command) {
    char destination[frame::kBufferSize];
    if (frame::escape_meta_char(destination, command->c_str()) != 0) {
        state.SkipWithError("the command does not fit once escaped");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(frame::escape_meta_char(destination, command->c_str()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(command->size()));
}

BENCHMARK_CAPTURE(BM_CopyCommand, plain_1023, &kPlain);
BENCHMARK_CAPTURE(BM_EscapeCommand, plain_1023, &kPlain);
BENCHMARK_CAPTURE(BM_CopyCommand, meta_767, &kWithMeta);
BENCHMARK_CAPTURE(BM_EscapeCommand, meta_767, &kWithMeta);

}  // namespace

BENCHMARK_MAIN();
