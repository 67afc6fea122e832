// SPDX-License-Identifier: MIT
#pragma once

#include "NativeFile.h"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tolvar {

// The calls into the OS that may take long; tests stand in for them.
struct FileCalls {
    decltype(&WriteSome) write = WriteSome;
    decltype(&SyncFile) sync = SyncFile;
};

// Owns one run's open log, from Begin until its last record is written and synced, and does all
// of the run's file work on threads of its own, so that the window's thread never waits on
// storage. Records handed over reach the file whole and in order; a delete or a rename of the log
// is followed; what was written reaches stable storage within a second. A failed write or sync, a
// target that took no byte for kStallLimit, or a backlog past kBacklogLimit fails the run.
//
// Three threads, each waiting on something different: the writer on the target, the syncer on
// the medium, and the watch on nothing at all, so that it can still tell a stall when a write is
// held in the kernel for good (a hung network mount).
class LogWriter {
  public:
    // Runs on one of the writer's threads whenever Error(), Finished() or Stuck() may have changed;
    // must not block.
    using Notify = std::function<void()>;

    static constexpr auto kStallLimit = std::chrono::seconds(2);
    // Records handed over and not yet taken by the writer, at most: more than the serial line can
    // send in a whole run, so only a device far faster than the line can reach it, on a target
    // that takes bytes more slowly than they come.
    static constexpr std::size_t kBacklogLimit = std::size_t{16} << 20;

    // Takes over `file`, opened at the UTF-8 `path` for appending.
    LogWriter(FileHandle file, std::string path, Notify notify, FileCalls calls = {});
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;
    // Finishes, and waits for the threads: as long as the target takes to take what is left, or
    // until the stall limit; for good when the kernel holds a write for good.
    ~LogWriter();

    // Queues whole records, in one write with the ones queued with them. Ignored once the run has
    // failed or is finishing; past the backlog limit, fails the run.
    void Hand(const char* records, std::size_t size);
    // No more records come: what is queued is written and synced, then the files are closed.
    void Finish();
    // Every file of the run is closed.
    bool Finished() const;
    // The run's first failure (an error number), or 0.
    int Error() const;
    // The OS has held a write past the stall limit (a hung mount): the writer ends only once the
    // OS lets the write go, and writes nothing more.
    bool Stuck() const;

  private:
    // A file replaced by the one at the path, for the syncer to sync if written since its last
    // sync, and close.
    struct Retired {
        FileHandle file;
        bool written;
    };

    void writeLoop();
    void syncLoop();
    void watchLoop();
    int writeBatch(const std::string& batch);
    int writeWhole(const char* data, std::size_t size, long long lengthBefore);
    int followPath(bool deleted);
    // The target took bytes now; returns when that was, as the watch sees it.
    Clock::time_point progressed();
    // A write, a sync or the target failed: nothing more is written. The lock is held.
    void fail(int failure);
    // Keeps the run's first failure and tells the window. The lock is held.
    void report(int failure);

    const std::string path;
    const Notify notify;
    const FileCalls calls;

    mutable std::mutex lock;
    std::condition_variable writerWake, syncerWake, watchWake;
    // Under lock.
    std::string queue;
    bool finishing = false;
    bool writerDone = false;
    bool finished = false;
    int error = 0;
    bool halted = false;
    bool stuck = false;
    // The file written to: the writer replaces it, and reads it without the lock; the syncer syncs
    // it, and closes it once the writer is done.
    FileHandle current;
    bool written = false; // since current's last sync
    bool syncerAsleep = false;
    std::vector<Retired> retired;
    // The writer is at work on a batch, and when it last saw the target take bytes.
    bool busy = false;
    Clock::time_point progressAt;
    bool wroteSinceWatched = false;
    bool watchAsleep = false;

    // Writer thread only.
    Clock::time_point pathChecked;
    std::size_t piece;

    // Last: they start once everything above is in place.
    std::thread writer, syncer, watch;
};

} // namespace tolvar
