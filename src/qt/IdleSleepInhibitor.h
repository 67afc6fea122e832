// SPDX-License-Identifier: MIT
#pragma once

#include <atomic>
#include <thread>

namespace tolvar {

// Keeps the machine from suspending on idle while held, through logind's idle inhibitor; an
// explicit suspend by the user still goes ahead. Without a system bus or logind it does nothing.
// Hold and Release return at once: a thread of its own asks logind over a connection of its own,
// which Qt's D-Bus thread (accessibility, the taskbar entry) never serves, and gives up quietly
// on a bus that does not answer within a bound.
class IdleSleepInhibitor final {
  public:
    IdleSleepInhibitor() = default;
    IdleSleepInhibitor(const IdleSleepInhibitor&) = delete;
    IdleSleepInhibitor& operator=(const IdleSleepInhibitor&) = delete;
    ~IdleSleepInhibitor();

    void Hold();
    void Release();

  private:
    void run();
    void wake();

    std::atomic<bool> wanted{false};
    // A Hold the thread has not tried yet: each Hold asks logind once at most.
    std::atomic<bool> asked{false};
    std::atomic<bool> ending{false};
    // Tells the thread that one of the above changed, also while it waits for the bus.
    int wakeFd = -1;
    std::thread worker;
};

} // namespace tolvar
