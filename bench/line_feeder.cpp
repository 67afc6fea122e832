// SPDX-License-Identifier: MIT
// A device at 19200 8N1 handing its bytes over in pieces, as a serial adapter does: writes the same
// 80-byte lines to every descriptor given, one piece at a time, on a fixed schedule of 1,920 bytes
// a second. Run by bench/run.py with the masters of the readers' pseudo-terminals.
//
//     line_feeder PIECE_BYTES SECONDS FD...

#include "Bench.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

constexpr long kBytesPerSecond = 1920; // 10 bits a byte at 19200 bit/s
constexpr long kNanosPerSecond = 1000000000L;

void AddNanos(timespec& t, long nanos) {
    t.tv_nsec += nanos;
    t.tv_sec += t.tv_nsec / kNanosPerSecond;
    t.tv_nsec %= kNanosPerSecond;
}

bool WriteAll(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fputs("usage: line_feeder PIECE_BYTES SECONDS FD...\n", stderr);
        return 2;
    }
    const std::size_t piece = std::strtoul(argv[1], nullptr, 10);
    const long seconds = std::strtol(argv[2], nullptr, 10);
    std::vector<int> fds;
    for (int i = 3; i < argc; ++i)
        fds.push_back(std::atoi(argv[i]));
    const std::string bytes = bench::Lines(static_cast<std::size_t>(kBytesPerSecond * seconds), 80);
    const long interval = static_cast<long>(piece) * kNanosPerSecond / kBytesPerSecond;

    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (std::size_t done = 0; done < bytes.size(); done += piece) {
        AddNanos(next, interval);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        const std::size_t size = std::min(piece, bytes.size() - done);
        for (const int fd : fds)
            if (!WriteAll(fd, bytes.data() + done, size)) {
                std::perror("line_feeder");
                return 1;
            }
    }
    return 0;
}
