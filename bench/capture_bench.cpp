// SPDX-License-Identifier: MIT
// CapturePortInput, until the log writer has written everything, against the limit of the
// machine: the same log bytes written with one write() per read of the port; what handing one
// record to the writer costs the window's thread; and what one sync of the log costs the thread
// that makes it. Run by scripts/bench.

#include "Bench.h"
#include "LoggingControl.h"
#include "NativeFile.h"
#include "SerialPort.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using bench::kMiB;

// What arrives, how it is read, and what the log must hold afterwards.
struct Stream {
    std::string received;
    std::size_t chunk;
    std::string log = bench::Logged(received);
};

// A port that always has the next `chunk` bytes of the stream waiting.
struct ChunkPort final : tolvar::SerialPort {
    const Stream& stream;
    std::size_t at = 0;
    explicit ChunkPort(const Stream& s) : stream(s) {}
    bool done() const { return at == stream.received.size(); }

    int PortOpen(bool) override { return 0; }
    std::string Input() override {
        const std::size_t n = std::min(stream.chunk, stream.received.size() - at);
        at += n;
        return stream.received.substr(at - n, n);
    }
};

// Every benchmark runs one iteration: set up before the timed loop, check the log after it. The
// timed loop ends once the writer has written every record, or, for `handOverOnly`, once the last
// record was handed over.
void Capture(benchmark::State& state, const Stream& stream, bool handOverOnly) {
    bench::QuietWindow window;
    window.path = bench::FreshPath("capture.log");
    ChunkPort port(stream);
    auto control = std::make_unique<tolvar::LoggingControl>(port, window);
    control->BeginLogging();
    for (auto _ : state) {
        while (!port.done())
            control->CapturePortInput();
        if (!handOverOnly)
            control.reset(); // waits for the writer
    }
    control.reset();
    if (!window.box.empty())
        state.SkipWithError(window.box.c_str());
    bench::Check(state, window.path, stream.log);
    bench::Received(state, stream.received.size());
}

// Where the log ends after each read: just past the last record that read completed.
std::vector<std::size_t> RecordEnds(const Stream& stream) {
    std::vector<std::size_t> ends;
    std::size_t crs = 0, end = 0;
    for (std::size_t i = 0; i < stream.received.size(); ++i) {
        if (stream.received[i] == '\r')
            end = i + 1 + ++crs;
        if ((i + 1) % stream.chunk == 0 || i + 1 == stream.received.size())
            ends.push_back(end);
    }
    return ends;
}

// The limit: each read's new records handed to the OS in one write(), nothing else done.
void WritePerRead(benchmark::State& state, const Stream& stream) {
    const std::string path = bench::FreshPath("limit.log");
    const std::vector<std::size_t> ends = RecordEnds(stream);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    for (auto _ : state) {
        std::size_t written = 0;
        for (const std::size_t end : ends)
            while (written < end) {
                const ssize_t n = ::write(fd, stream.log.data() + written, end - written);
                if (n <= 0)
                    break;
                written += static_cast<std::size_t>(n);
            }
    }
    ::close(fd);
    bench::Check(state, path, stream.log);
    bench::Received(state, stream.received.size());
}

// What the log writer's syncer does at most once a second at line rate: an 80-byte record appended,
// then synced; against the record's append alone. Per record.
constexpr int kSyncedRecords = 100;

void AppendRecords(benchmark::State& state, bool synced) {
    const std::string path = bench::FreshPath(synced ? "synced.log" : "appended.log");
    const std::string record = bench::Logged(bench::Lines(80, 80));
    tolvar::FileHandle file = tolvar::kNoFile;
    if (tolvar::OpenForAppend(path, file) != 0) {
        state.SkipWithError("cannot open the log");
        return;
    }
    int error = 0;
    for (auto _ : state)
        for (int i = 0; i < kSyncedRecords && error == 0; ++i) {
            const auto deadline = tolvar::Clock::now() + std::chrono::seconds(2);
            if (tolvar::WriteSome(file, record.data(), record.size(), deadline) < 0)
                error = EIO;
            else if (synced)
                error = tolvar::SyncFile(file);
        }
    tolvar::CloseFile(file);
    if (error != 0)
        state.SkipWithError("a write or sync failed");
    std::string expected;
    for (int i = 0; i < kSyncedRecords; ++i)
        expected += record;
    bench::Check(state, path, expected);
    bench::Received(state, record.size() * kSyncedRecords);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Fresh pages for every long line in every run: left to itself, malloc reuses freed memory
    // for some runs and sizes but not others, and page faults dominate what is left.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);

    // Below the writer's backlog bound, which a producer this fast could reach on a disk.
    const Stream lines80{bench::Lines(12 * kMiB, 80), 4096};
    const Stream lines1{bench::Lines(6 * kMiB, 1), 4096};
    const Stream byteReads{lines80.received, 1};
    const Stream recordReads{lines80.received, 80};
    struct Case {
        const char* name;
        const Stream& stream;
        int repetitions;
    };
    for (const Case& c : {Case{"lines80/read4096", lines80, 7}, Case{"lines1/read4096", lines1, 5},
                          Case{"lines80/read1", byteReads, 3}}) {
        bench::Configure(benchmark::RegisterBenchmark(("capture/" + std::string(c.name)).c_str(),
                                                      Capture, std::cref(c.stream), false),
                         c.repetitions);
        bench::Configure(benchmark::RegisterBenchmark(("limit/" + std::string(c.name)).c_str(),
                                                      WritePerRead, std::cref(c.stream)),
                         c.repetitions);
    }
    // One record a read: what the window's thread pays per record, against a write() per record.
    bench::Configure(
        benchmark::RegisterBenchmark("handover/record80", Capture, std::cref(recordReads), true),
        5);
    bench::Configure(
        benchmark::RegisterBenchmark("limit/record80", WritePerRead, std::cref(recordReads)), 5);

    // One line of 1, 4 and 16 MiB, in 4 KiB reads, ended by a CR only at the very end.
    std::vector<Stream> longLines;
    for (const std::size_t mib : {1, 4, 16})
        longLines.push_back({bench::Lines(mib * kMiB + 1, mib * kMiB + 1), 4096});
    for (const Stream& s : longLines)
        bench::Configure(
            benchmark::RegisterBenchmark(
                ("longline/" + std::to_string(s.received.size() / kMiB) + "MiB").c_str(), Capture,
                std::cref(s), false),
            5);

    for (const bool synced : {true, false})
        bench::Configure(benchmark::RegisterBenchmark(synced ? "sync/record80" : "append/record80",
                                                      AppendRecords, synced),
                         5);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
}
