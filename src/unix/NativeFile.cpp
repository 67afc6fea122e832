// SPDX-License-Identifier: MIT
#include "NativeFile.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvar {

namespace {

int fdOf(FileHandle file) {
    return static_cast<int>(file);
}

// True when the target may take bytes again (or has failed, which the next write reports).
bool waitUntilWritable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return false;
    pollfd target{fd, POLLOUT, 0};
    const int ready = ::poll(&target, 1, static_cast<int>(left));
    return ready > 0 || (ready < 0 && errno == EINTR);
}

} // namespace

int OpenForAppend(const std::string& path, FileHandle& file) {
    // Non-blocking, and left so: a FIFO without a reader fails the open instead of hanging the
    // window, and one whose reader stops reading makes the write wait in poll, where it is bounded.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno != 0 ? errno : EINVAL;
    file = fd;
    return 0;
}

void CloseFile(FileHandle file) {
    ::close(fdOf(file));
}

FileState ExamineFile(FileHandle file) {
    struct stat st {};
    if (::fstat(fdOf(file), &st) != 0)
        return {};
    return {st.st_nlink == 0, S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : -1};
}

long long WriteSome(FileHandle file, const char* data, std::size_t size,
                    Clock::time_point deadline) {
    for (;;) {
        const ssize_t n = ::write(fdOf(file), data, size);
        if (n > 0)
            return n;
        const int error = n < 0 ? errno : EIO;
        if (error == EINTR || (error == EAGAIN && waitUntilWritable(fdOf(file), deadline)))
            continue;
        return -error;
    }
}

std::size_t PieceSize(FileHandle file) {
    struct stat st {};
    if (::fstat(fdOf(file), &st) == 0 && S_ISREG(st.st_mode))
        return SIZE_MAX;
#ifdef F_GETPIPE_SZ
    if (const int size = ::fcntl(fdOf(file), F_GETPIPE_SZ); size > 0)
        return static_cast<std::size_t>(size);
#endif
    // A write to a non-blocking pipe or device takes what fits, so any piece shows progress.
    return PIPE_BUF;
}

void CutBack(FileHandle file, long long length) {
    // Nothing more can be done when this fails too: the write's error is what gets reported.
    [[maybe_unused]] const int cut = ::ftruncate(fdOf(file), static_cast<off_t>(length));
}

int SyncFile(FileHandle file) {
    if (::fdatasync(fdOf(file)) == 0)
        return 0;
    // A FIFO or a device has nothing to bring to storage.
    return errno == EINVAL || errno == EROFS ? 0 : errno;
}

bool PathNames(FileHandle file, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fdOf(file), &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// SIGPIPE (a FIFO whose reader left) and SIGXFSZ (the file size limit reached) would end the
// program. Ignored, they leave only the write's error, which stops logging with its reason.
void IgnoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace tolvar
