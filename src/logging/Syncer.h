// SPDX-License-Identifier: MIT
#pragma once

#include "NativeFile.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tolvar {

// Brings what is written to the log file to stable storage within a second, from a thread of its
// own: a sync on a slow medium can take tens of milliseconds, which the window must not wait for.
// It syncs at most once a second, and only after writes. The window's thread calls every member.
class Syncer {
  public:
    // SyncFile, or a stand-in for tests.
    using SyncFunction = int (*)(FileHandle);

    explicit Syncer(SyncFunction syncFunction) : sync(syncFunction) {}
    Syncer(const Syncer&) = delete;
    Syncer& operator=(const Syncer&) = delete;
    ~Syncer() { Stop(); }

    void Start(FileHandle file);
    // Something was written to the current file.
    void Written() {
        if (!dirty.exchange(true, std::memory_order_acq_rel)) {
            std::lock_guard<std::mutex> hold(lock);
            wake.notify_one();
        }
    }
    // The current file moved away and `next` takes its place; the moved file still gets its last
    // sync, on the thread, which then closes it.
    void Replace(FileHandle next);
    // Takes the current file back once no sync uses it: it is to be closed at once.
    void Release();
    void Adopt(FileHandle file);
    // The first sync that failed, or 0.
    int Error() const { return error.load(std::memory_order_relaxed); }
    // Ends the thread and makes the last syncs on the calling thread; closes the files moved away,
    // not the current one. Returns the first sync that failed, or 0.
    int Stop();

  private:
    struct Moved {
        FileHandle file;
        bool written;
    };

    void run();
    void syncRound();
    void note(int failed);

    const SyncFunction sync;
    std::thread thread;
    // Held by the thread while it syncs, so that a file is never closed under a sync.
    std::mutex syncing;
    // Guards what follows, and wakes the thread.
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;
    FileHandle current = kNoFile;
    std::vector<Moved> moved;
    // Written since the current file's last sync.
    std::atomic<bool> dirty{false};
    std::atomic<int> error{0};
};

} // namespace tolvar
