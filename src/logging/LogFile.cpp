// SPDX-License-Identifier: MIT
#include "LogFile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#ifdef _WIN32
#include <fcntl.h>
#include <filesystem>
#include <io.h>
#include <sys/stat.h>
#else
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tolvar {

namespace {

using Clock = std::chrono::steady_clock;

// How long a log target that takes no bytes (a FIFO whose reader stopped reading) may hold the
// window before logging stops.
constexpr auto kStallLimit = std::chrono::seconds(2);
// How often the path is checked for still naming the open file, and how many bytes are kept to
// write again should that file have been deleted in the meantime. Past that many bytes the path
// is checked early, so none of them is ever dropped unkept.
constexpr auto kFollowInterval = std::chrono::seconds(1);
constexpr std::size_t kReplayLimit = 256 * 1024;

#ifdef _WIN32

// An open file cannot be deleted or renamed on Windows: the C runtime opens it without delete
// sharing.
constexpr bool kCanLoseItsName = false;

// The descriptor, or the OS error number negated.
int openForAppend(const std::string& path) {
    // The wide name is what reaches non-ASCII paths on Windows.
    const int fd =
        ::_wopen(std::filesystem::u8path(path).c_str(),
                 _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    return fd >= 0 ? fd : -(errno != 0 ? errno : EINVAL);
}

long long writeSome(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, static_cast<unsigned>(std::min<std::size_t>(size, INT_MAX)));
}

void closeFile(int fd) {
    ::_close(fd);
}

// Takes the last `written` bytes off the end of the file; pipes have no length and keep them.
bool cutBack(int fd, std::size_t written) {
    const long long size = ::_filelengthi64(fd);
    return size >= static_cast<long long>(written) &&
           ::_chsize_s(fd, size - static_cast<long long>(written)) == 0;
}

// Windows writes block until done or failed.
bool waitUntilWritable(int, Clock::time_point) {
    return false;
}

bool pathNames(int, const std::string&) {
    return true;
}

bool isDeleted(int) {
    return false;
}

// Windows raises no signal for a failed write.
void ignoreWriteSignals() {}

#else

constexpr bool kCanLoseItsName = true;

int openForAppend(const std::string& path) {
    // Non-blocking, and left so: a FIFO without a reader fails the open instead of hanging the
    // window, and one whose reader stops reading makes the write wait in poll, where it is bounded.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    return fd >= 0 ? fd : -(errno != 0 ? errno : EINVAL);
}

long long writeSome(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size);
}

void closeFile(int fd) {
    ::close(fd);
}

bool cutBack(int fd, std::size_t written) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
           st.st_size >= static_cast<off_t>(written) &&
           ::ftruncate(fd, st.st_size - static_cast<off_t>(written)) == 0;
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

bool pathNames(int fd, const std::string& path) {
    struct stat open {
    }, named{};
    return ::fstat(fd, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
           open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

bool isDeleted(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_nlink == 0;
}

// SIGPIPE (a FIFO whose reader left) and SIGXFSZ (the file size limit reached) would end the
// program. Ignored, they leave only the write's error, which stops logging with its reason.
void ignoreWriteSignals() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

#endif

} // namespace

int LogFile::Open(const std::string& newPath) {
    Close();
    const int opened = openForAppend(newPath);
    if (opened < 0)
        return -opened;
    ignoreWriteSignals();
    fd = opened;
    path = newPath;
    checked = Clock::now();
    return 0;
}

void LogFile::Close() {
    if (fd >= 0)
        closeFile(fd);
    fd = -1;
    std::string().swap(unchecked);
}

int LogFile::Write(const char* data, std::size_t size) {
    if (fd < 0)
        return EBADF;
    if (followIsDue(size))
        if (const int error = followPath(); error != 0)
            return error;
    const int error = writeWhole(data, size);
    if (error == 0 && kCanLoseItsName) {
        if (unchecked.size() + size <= kReplayLimit)
            unchecked.append(data, size);
        else
            // Too much to keep: look at the path before the next write instead.
            checked = {};
    }
    return error;
}

int LogFile::writeWhole(const char* data, std::size_t size) {
    const Clock::time_point deadline = Clock::now() + kStallLimit;
    std::size_t written = 0;
    int error = 0;
    while (written < size) {
        const long long n = writeSome(fd, data + written, size - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        error = n < 0 ? errno : EIO;
        if (error == EINTR || (error == EAGAIN && waitUntilWritable(fd, deadline))) {
            error = 0;
            continue;
        }
        break;
    }
    // Only whole records stay in the file, so a later run's first line is not glued on.
    if (error != 0)
        cutBack(fd, written);
    return error;
}

bool LogFile::followIsDue(std::size_t size) const {
    return kCanLoseItsName &&
           (Clock::now() - checked >= kFollowInterval || unchecked.size() + size > kReplayLimit);
}

// Once the path no longer names the open file (deleted, or moved away as log rotation does),
// logging carries on into the file at the path, opened as BeginLogging opens it.
int LogFile::followPath() {
    checked = Clock::now();
    if (pathNames(fd, path)) {
        unchecked.clear();
        return 0;
    }
    const int opened = openForAppend(path);
    if (opened < 0)
        return -opened;
    // A file moved away keeps what was written since the last look; a deleted one took it along,
    // so that goes again into the new file, ahead of what comes next.
    const std::string lost = isDeleted(fd) ? std::move(unchecked) : std::string();
    unchecked.clear();
    closeFile(fd);
    fd = opened;
    return writeWhole(lost.data(), lost.size());
}

} // namespace tolvar
