// SPDX-License-Identifier: MIT
// port-lock DEVICE PID: the part of tolvar-logger-on that judges the device and holds its lock.
// It refuses a DEVICE that is not a terminal, takes DEVICE's lock for PID (the launcher, whose
// PID becomes the program's), and leaves a watcher that releases the lock when that process
// ends, however it ends. Exit status as the launcher's: 0 the lock is held (or there is no lock
// folder to write, said on standard error), 64 wrong arguments, 66 DEVICE is not a serial
// device, 69 PID cannot be watched, 75 DEVICE is in use.
#include "PortLock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

void say(const std::string& what, const std::string& more = {}) {
    std::fprintf(stderr, "tolvar-logger-on: %s\n", what.c_str());
    if (!more.empty())
        std::fprintf(stderr, "%s\n", more.c_str());
}

int fail(int status, const std::string& what, const std::string& more = {}) {
    say(what, more);
    return status;
}

// Opening a serial port raises its modem lines, and opening some other devices starts things
// (a watchdog), so the kernel's own list of devices answers first: those of the tty class are
// terminals. Only a device it does not list, such as a pseudo-terminal, is opened to ask.
bool isTerminal(const std::string& device) {
    struct stat st {};
    if (::stat(device.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const std::string listed = "/sys/dev/char/" + std::to_string(major(st.st_rdev)) + ":" +
                               std::to_string(minor(st.st_rdev)) + "/subsystem";
    char target[PATH_MAX];
    const ssize_t size = ::readlink(listed.c_str(), target, sizeof target - 1);
    if (size > 0) {
        const std::string subsystem(target, static_cast<std::size_t>(size));
        return subsystem.size() >= 4 && subsystem.compare(subsystem.size() - 4, 4, "/tty") == 0;
    }
    const int fd = ::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool terminal = fd >= 0 && ::isatty(fd) != 0;
    if (fd >= 0)
        ::close(fd);
    return terminal;
}

// Ends when the process behind pidfd does, with nothing of the launcher's held open: no terminal,
// no pipe of whoever started it.
[[noreturn]] void watch(int pidfd, tolvar::PortLock& lock) {
    ::setsid();
    const int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        ::dup2(null, fd);
    ::dup2(pidfd, 3);
    ::close_range(4, UINT_MAX, 0);
    pollfd ended{3, POLLIN, 0};
    while (::poll(&ended, 1, -1) < 0 && errno == EINTR) {
    }
    lock.Release();
    ::_exit(0);
}

} // namespace

int main(int argc, char* argv[]) {
    char* end = nullptr;
    const long owner = argc == 3 ? std::strtol(argv[2], &end, 10) : 0;
    if (argc != 3 || *end != '\0' || owner <= 0 || owner > INT_MAX)
        return fail(64, "usage: port-lock DEVICE PID");
    const std::string device = argv[1];

    if (!isTerminal(device))
        return fail(66, device + " is not a serial device: it is not a terminal.",
                    "Give a serial device such as /dev/ttyUSB0 or /dev/ttyACM0.");

    tolvar::PortLock lock(device, static_cast<pid_t>(owner));
    switch (lock.Take()) {
    case tolvar::PortLock::Outcome::inUse:
        return fail(75, device + " is in use: " + lock.Holder() + ".",
                    "Close the program that uses it, then try again.");
    case tolvar::PortLock::Outcome::unavailable:
        say("there is no lock folder you may write, so other serial programs will not see that " +
            device + " is in use while logging.");
        return 0;
    case tolvar::PortLock::Outcome::taken:
        break;
    }
    // A process descriptor cannot name another process once this one ends, as a PID could.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(owner), 0));
    const pid_t watcher = pidfd >= 0 ? ::fork() : -1;
    if (watcher == 0)
        watch(pidfd, lock);
    if (watcher < 0) {
        const char* reason = std::strerror(errno);
        lock.Release();
        return fail(69, std::string("cannot watch the program to release its lock: ") + reason);
    }
    // The lock is the watcher's to release now.
    std::fflush(stderr);
    ::_exit(0);
}
