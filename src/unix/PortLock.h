// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>
#include <unistd.h>

namespace tolvar {

// The lock-file convention serial programs share on Unix: LCK..<device name> in the lock folder,
// holding its owner's PID. Rules no other local user can turn against us: a lock file is read
// only if it is a regular file, opened without following links or blocking; a new one is made
// exclusively, never through an existing name; a stale one (its owner dead) is taken over so
// that of two takers at the same moment exactly one wins; it is removed only by its owner, and
// only while it still names the owner.
class PortLock {
  public:
    enum class Outcome {
        taken,       // the lock is ours until Release
        inUse,       // a live program, or something we cannot judge, holds it
        unavailable, // no lock folder we may write: nothing announces the port, nothing holds it
    };

    // The lock of the device at devicePath (/dev/ttyS0: LCK..ttyS0), for the owner's PID, in the
    // usual lock folders or, for tests, in the folders given.
    explicit PortLock(std::string devicePath, pid_t owner = ::getpid());
    PortLock(std::string devicePath, pid_t owner, std::vector<std::string> lockFolders);
    ~PortLock() { Release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    Outcome Take();
    // What holds the lock when Take said inUse, in words for a message naming the file.
    const std::string& Holder() const { return holder; }
    void Release();

  private:
    enum class Placement { placed, exists, failed };
    enum class Removal { removed, changed, refused };

    Outcome TakeIn(const std::string& folder, bool writable);
    Placement Place(const std::string& folder, const std::string& path) const;
    Removal RemoveStale(int lock, const std::string& path, pid_t named);

    std::string device;
    pid_t owner;
    std::vector<std::string> folders;
    std::vector<std::string> held; // the lock files that name us, ours to remove
    std::string holder;
};

} // namespace tolvar
