// SPDX-License-Identifier: MIT
#include "PortLock.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tolvar {

namespace {

// On many systems one is a link to the other; older tools only know /var/lock.
std::vector<std::string> usualFolders() {
    return {"/run/lock", "/var/lock"};
}

// The name other serial programs give the device's lock: its path below /dev with '/' turned
// into '_' (LCK..ttyS0 for /dev/ttyS0, LCK..pts_3 for /dev/pts/3).
std::string lockName(const std::string& devicePath) {
    const std::string dev = "/dev/";
    std::string name =
        devicePath.compare(0, dev.size(), dev) == 0 ? devicePath.substr(dev.size()) : devicePath;
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

// The owner a lock file names: a space-padded decimal PID ending its first line (the usual ten
// digits and a newline), or an older tool's 4-byte binary PID. 0 when it names no process.
pid_t namedOwner(const std::string& content) {
    const std::string firstLine = content.substr(0, content.find('\n'));
    const auto begin = firstLine.find_first_not_of(" \t");
    const auto end = firstLine.find_last_not_of(" \t\r");
    if (begin != std::string::npos && begin <= end) {
        const std::string digits = firstLine.substr(begin, end - begin + 1);
        if (digits.size() <= 10 && std::all_of(digits.begin(), digits.end(),
                                               [](char c) { return c >= '0' && c <= '9'; })) {
            const long long pid = std::stoll(digits);
            return pid > 0 && pid <= INT32_MAX ? static_cast<pid_t>(pid) : 0;
        }
    }
    if (content.size() == sizeof(std::int32_t)) {
        std::int32_t binary = 0;
        std::memcpy(&binary, content.data(), sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    return 0;
}

// kill(0) also fails for another user's process, which is running all the same.
bool running(pid_t pid) {
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

// The command name of a process, printable characters only: it is chosen by whoever started it.
std::string commandName(pid_t pid) {
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](unsigned char c) { return c < 0x20 || c >= 0x7f; }),
               name.end());
    return name.empty() ? "unknown" : name;
}

// What something other than a regular file is, in words.
const char* kindOf(mode_t mode) {
    switch (mode & S_IFMT) {
    case S_IFLNK:
        return "a symbolic link";
    case S_IFIFO:
        return "a FIFO";
    case S_IFDIR:
        return "a folder";
    case S_IFCHR:
    case S_IFBLK:
        return "a device";
    case S_IFSOCK:
        return "a socket";
    default:
        return "not a regular file";
    }
}

// A descriptor that closes itself.
class Fd {
  public:
    explicit Fd(int descriptor = -1) : fd(descriptor) {}
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(Fd&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    int get() const { return fd; }

  private:
    int fd;
};

std::string readHead(int fd) {
    char buffer[64];
    const ssize_t size = ::pread(fd, buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<std::size_t>(size)) : std::string();
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Tries of one lock file before we call it in use: takers that come and go between our steps.
constexpr int tries = 20;
constexpr auto pause = std::chrono::milliseconds(5);

} // namespace

PortLock::PortLock(std::string devicePath, pid_t ownerPid)
    : PortLock(std::move(devicePath), ownerPid, usualFolders()) {}

PortLock::PortLock(std::string devicePath, pid_t ownerPid, std::vector<std::string> lockFolders)
    : device(std::move(devicePath)), owner(ownerPid), folders(std::move(lockFolders)) {}

PortLock::Outcome PortLock::Take() {
    holder.clear();
    bool announced = false;
    std::vector<struct stat> seen;
    for (const std::string& folder : folders) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        // The same folder under two names holds one lock.
        if (std::any_of(seen.begin(), seen.end(), [&](const auto& s) { return sameFile(s, st); }))
            continue;
        seen.push_back(st);
        const bool writable = ::access(folder.c_str(), W_OK) == 0;
        switch (TakeIn(folder, writable)) {
        case Outcome::taken:
            announced = true;
            break;
        case Outcome::inUse:
            Release();
            return Outcome::inUse;
        case Outcome::unavailable:
            break;
        }
    }
    return announced ? Outcome::taken : Outcome::unavailable;
}

PortLock::Outcome PortLock::TakeIn(const std::string& folder, bool writable) {
    const std::string path = folder + "/" + lockName(device);
    for (int attempt = 0; attempt < tries; ++attempt) {
        if (writable) {
            switch (Place(folder, path)) {
            case Placement::placed:
                held.push_back(path);
                return Outcome::taken;
            case Placement::failed:
                writable = false;
                break;
            case Placement::exists:
                break;
            }
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            if (errno == ENOENT && writable)
                continue; // gone since: try again
            if (errno == ENOENT)
                return Outcome::unavailable;
            const char* reason = std::strerror(errno);
            holder = "its lock file " + path + " cannot be examined (" + reason + ")";
            return Outcome::inUse;
        }
        // Anything but a regular file is never opened: a FIFO would block, a device would answer.
        if (!S_ISREG(st.st_mode)) {
            holder = "its lock file " + path + " is " + kindOf(st.st_mode) +
                     ", not a lock we can judge; remove it if nothing uses " + device;
            return Outcome::inUse;
        }
        Fd lock(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (lock.get() < 0 && errno != ENOENT && errno != ELOOP) {
            const char* reason = std::strerror(errno);
            holder = "its lock file " + path + " cannot be read (" + reason + ")";
            return Outcome::inUse;
        }
        struct stat opened {};
        if (lock.get() < 0 || ::fstat(lock.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
            continue; // replaced between our looks: judge it again
        const pid_t named = namedOwner(readHead(lock.get()));
        if (named == 0) {
            holder =
                "its lock file " + path + " names no process; remove it if nothing uses " + device;
            return Outcome::inUse;
        }
        if (named == owner) {
            held.push_back(path);
            return Outcome::taken;
        }
        if (running(named)) {
            holder = "process " + std::to_string(named) + " (" + commandName(named) +
                     ") holds its lock file " + path;
            return Outcome::inUse;
        }
        if (!writable)
            return Outcome::unavailable; // stale, and nothing of ours could announce the port
        switch (RemoveStale(lock.get(), path, named)) {
        case Removal::removed:
            continue;
        case Removal::changed:
            std::this_thread::sleep_for(pause); // for the other taker to finish
            continue;
        case Removal::refused:
            return Outcome::inUse;
        }
    }
    holder = "its lock file " + path + " keeps changing: another program is taking it";
    return Outcome::inUse;
}

// Written under a name of its own made exclusively, then linked into place: never written
// through a name someone else made, and never seen half written.
PortLock::Placement PortLock::Place(const std::string& folder, const std::string& path) const {
    std::string temporary = folder + "/LTMP.XXXXXX";
    const Fd made(::mkostemp(temporary.data(), O_CLOEXEC));
    if (made.get() < 0)
        return Placement::failed;
    char content[16];
    const int size = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(owner));
    const bool written = ::fchmod(made.get(), 0644) == 0 &&
                         ::write(made.get(), content, static_cast<std::size_t>(size)) == size;
    const int linked = written ? ::link(temporary.c_str(), path.c_str()) : -1;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (linked == 0)
        return Placement::placed;
    return written && linkError == EEXIST ? Placement::exists : Placement::failed;
}

// Of two takers of one stale lock, the one holding the stale file's flock removes it, and only
// while that very file still sits there naming the dead owner; the other tries again from the
// start, and then finds the winner's lock.
PortLock::Removal PortLock::RemoveStale(int lock, const std::string& path, pid_t named) {
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0)
        return Removal::changed;
    struct stat opened {};
    struct stat there {};
    if (::fstat(lock, &opened) != 0 || ::lstat(path.c_str(), &there) != 0 ||
        !sameFile(opened, there) || namedOwner(readHead(lock)) != named || running(named))
        return Removal::changed;
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return Removal::removed;
    const char* reason = std::strerror(errno);
    holder = "its lock file " + path + " was left by process " + std::to_string(named) +
             ", which has ended, and you may not remove it (" + reason +
             "); ask the administrator to";
    return Removal::refused;
}

void PortLock::Release() {
    for (const std::string& path : held) {
        const Fd lock(
            ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        struct stat there {};
        if (lock.get() >= 0 && ::fstat(lock.get(), &opened) == 0 && S_ISREG(opened.st_mode) &&
            namedOwner(readHead(lock.get())) == owner && ::lstat(path.c_str(), &there) == 0 &&
            sameFile(opened, there))
            ::unlink(path.c_str());
    }
    held.clear();
}

} // namespace tolvar
