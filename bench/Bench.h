// SPDX-License-Identifier: MIT
#pragma once

// Shared by the benchmarks: the bytes fed to the logger, the bytes its log must then hold, the
// window the logic logs for, and how each benchmark is run and reported.

#include "LoggingWindow.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace bench {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// As many whole lines `length` bytes long as fit in `total` bytes, each ended by a CR; the other
// bytes run through every value but CR, so that any changed byte shows.
inline std::string Lines(std::size_t total, std::size_t length) {
    total -= total % length;
    std::string bytes(total, '\0');
    unsigned char value = 0;
    for (std::size_t i = 0; i < total; ++i) {
        if ((i + 1) % length == 0) {
            bytes[i] = '\r';
            continue;
        }
        if (value == '\r')
            ++value;
        bytes[i] = static_cast<char>(value++);
    }
    return bytes;
}

// The log of bytes that end with a CR: every CR followed by an LF.
inline std::string Logged(const std::string& received) {
    std::string log;
    log.reserve(received.size() * 2);
    for (const char c : received) {
        log += c;
        if (c == '\r')
            log += '\n';
    }
    return log;
}

// A window that only notes the last message; the log path is what the benchmark sets.
struct QuietWindow final : tolvar::LoggingWindow {
    std::string path, box;
    std::string PathText() const override { return path; }
    void SetEnabled(tolvar::Switch, bool) override {}
    void ShowCritical(const std::string& text, const std::string&) override { box = text; }
    void ShowProgress(std::int16_t) override {}
    void HideProgress() override {}
    void AskAttention() override {}
    // The benchmarks wait for the writer by ending the logic, which waits for it.
    void PostLogWriterCheck() override {}
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A log file of this process in /tmp, removed first so each run starts empty.
inline std::string FreshPath(const char* name) {
    const std::string path = "/tmp/tolvar-bench-" + std::to_string(::getpid()) + "-" + name;
    ::unlink(path.c_str());
    return path;
}

// One iteration per run, on the wall clock, repeated; the table takes the best run of each, the
// one least disturbed by other work on the machine.
inline void Configure(benchmark::internal::Benchmark* b, int repetitions) {
    b->Iterations(1)->Repetitions(repetitions)->UseRealTime()->Unit(benchmark::kMillisecond);
    b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

// Checks the log holds exactly the expected bytes, and removes it.
inline void Check(benchmark::State& state, const std::string& path, const std::string& expected) {
    if (ReadFile(path) != expected)
        state.SkipWithError("the log does not hold exactly the expected bytes");
    ::unlink(path.c_str());
}

// Bytes received in the run, for the table's MiB/s.
inline void Received(benchmark::State& state, std::size_t bytes) {
    state.counters["bytes"] = static_cast<double>(bytes);
}

} // namespace bench
