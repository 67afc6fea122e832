// SPDX-License-Identifier: MIT
#include "LogWriter.h"

#include "Memory.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tolvar {

namespace {

constexpr auto kSyncInterval = std::chrono::seconds(1);
// How often the path is checked for still naming the open file. A delete is seen before every
// write; lines written to a file moved away are where they belong, so a rename may wait.
constexpr auto kRenameCheckInterval = std::chrono::seconds(1);

} // namespace

LogWriter::LogWriter(FileHandle file, std::string logPath, Notify notifyWindow, FileCalls fileCalls)
    : path(std::move(logPath)), notify(std::move(notifyWindow)), calls(fileCalls), current(file),
      pathChecked(Clock::now()), piece(PieceSize(file)), writer([this] { writeLoop(); }),
      syncer([this] { syncLoop(); }), watch([this] { watchLoop(); }) {}

LogWriter::~LogWriter() {
    Finish();
    writer.join();
    syncer.join();
    watch.join();
}

void LogWriter::Hand(const char* records, std::size_t size) {
    std::unique_lock<std::mutex> held(lock);
    if (finishing || halted || size == 0)
        return;
    // A single record longer than the limit is already in memory whole: it goes. Past the limit
    // the run ends, and what was queued before is still written.
    if (!queue.empty() && queue.size() + size > kBacklogLimit) {
        finishing = true;
        writerWake.notify_one();
        return report(ENOBUFS);
    }
    const bool wake = queue.empty();
    queue.append(records, size);
    // Woken once the lock is free, so that the writer does not wake only to wait for it.
    held.unlock();
    if (wake)
        writerWake.notify_one();
}

void LogWriter::Finish() {
    const std::lock_guard<std::mutex> held(lock);
    finishing = true;
    writerWake.notify_one();
}

bool LogWriter::Finished() const {
    const std::lock_guard<std::mutex> held(lock);
    return finished;
}

bool LogWriter::Stuck() const {
    const std::lock_guard<std::mutex> held(lock);
    return stuck;
}

int LogWriter::Error() const {
    const std::lock_guard<std::mutex> held(lock);
    return error;
}

void LogWriter::fail(int failure) {
    halted = true;
    writerWake.notify_one();
    report(failure);
}

void LogWriter::report(int failure) {
    if (error == 0)
        error = failure;
    notify();
}

void LogWriter::writeLoop() {
    std::string batch;
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        writerWake.wait(held, [this] { return !queue.empty() || finishing || halted; });
        if (halted || queue.empty())
            break;
        // The queue takes the batch's buffer: no allocation while lines keep coming.
        batch.swap(queue);
        busy = true;
        progressAt = Clock::now();
        wroteSinceWatched = true;
        if (watchAsleep)
            watchWake.notify_one();
        held.unlock();
        const int failed = writeBatch(batch);
        batch.clear();
        GiveBackIfLong(batch);
        held.lock();
        busy = false;
        if (failed != 0)
            fail(failed);
        else if (!std::exchange(written, true) && syncerAsleep)
            syncerWake.notify_one();
    }
    writerDone = true;
    syncerWake.notify_one();
    watchWake.notify_one();
}

int LogWriter::writeBatch(const std::string& batch) {
    FileState state = ExamineFile(current);
    if (state.deleted || Clock::now() - pathChecked >= kRenameCheckInterval) {
        if (const int failed = followPath(state.deleted); failed != 0)
            return failed;
        state = ExamineFile(current);
    }
    return writeWhole(batch.data(), batch.size(), state.length);
}

int LogWriter::writeWhole(const char* data, std::size_t size, long long lengthBefore) {
    Clock::time_point lastProgress = Clock::now();
    for (std::size_t done = 0; done < size;) {
        const long long n = calls.write(current, data + done, std::min(size - done, piece),
                                        lastProgress + kStallLimit);
        if (n < 0) {
            // Only whole records stay in the file, so a later run's first line is not glued on.
            // The length is measured, not counted: a failed write need not say what it wrote.
            if (lengthBefore >= 0)
                CutBack(current, lengthBefore);
            return static_cast<int>(-n);
        }
        done += static_cast<std::size_t>(n);
        lastProgress = progressed();
    }
    return 0;
}

Clock::time_point LogWriter::progressed() {
    const std::lock_guard<std::mutex> held(lock);
    return progressAt = Clock::now();
}

// Once the path no longer names the open file (deleted, or moved away as log rotation does),
// logging carries on into the file at the path, opened as Begin opens it. What was written before
// a delete stays deleted, so only a file moved away gets a last sync.
int LogWriter::followPath(bool deleted) {
    pathChecked = Clock::now();
    if (!deleted && PathNames(current, path))
        return 0;
    {
        const std::lock_guard<std::mutex> held(lock);
        retired.push_back({current, !deleted && std::exchange(written, false)});
        current = kNoFile;
        syncerWake.notify_one();
    }
    FileHandle next = kNoFile;
    int failed = OpenForAppend(path, next);
    if (failed != 0 && deleted) {
        // Windows frees a deleted file's name only once its last handle is closed.
        std::unique_lock<std::mutex> held(lock);
        writerWake.wait(held, [this] { return retired.empty(); });
        held.unlock();
        failed = OpenForAppend(path, next);
    }
    if (failed != 0)
        return failed;
    piece = PieceSize(next);
    const std::lock_guard<std::mutex> held(lock);
    current = next;
    return 0;
}

void LogWriter::syncLoop() {
    Clock::time_point lastSync;
    std::unique_lock<std::mutex> held(lock);
    // A file deleted while open needs no last sync, and is closed at once: until then Windows
    // keeps its name from the file the writer opens in its place.
    const auto deletedWaiting = [this] {
        return std::any_of(retired.begin(), retired.end(),
                           [](const Retired& r) { return !r.written; });
    };
    // A sync makes the syncer sleep out the rest of the second before it looks again, so lines
    // that keep coming wake it once a second, not once each.
    bool syncedLately = false;
    for (;;) {
        const bool due = Clock::now() >= lastSync + kSyncInterval;
        if (!writerDone && !deletedWaiting() && !(due && (written || !retired.empty()))) {
            if (written || !retired.empty() || std::exchange(syncedLately, false)) {
                syncerWake.wait_until(held, lastSync + kSyncInterval,
                                      [&] { return writerDone || deletedWaiting(); });
            } else {
                // Asleep until something is written: an idle log costs no wakeups.
                syncerAsleep = true;
                syncerWake.wait(held, [this] { return written || !retired.empty() || writerDone; });
                syncerAsleep = false;
            }
            continue;
        }
        std::vector<Retired> closing;
        closing.swap(retired);
        const FileHandle file = std::exchange(written, false) ? current : kNoFile;
        held.unlock();
        int failed = 0;
        for (const Retired& r : closing) {
            if (r.written && failed == 0)
                failed = calls.sync(r.file);
            CloseFile(r.file);
        }
        if (file != kNoFile && failed == 0)
            failed = calls.sync(file);
        held.lock();
        if (failed != 0)
            fail(failed);
        syncedLately = file != kNoFile;
        if (syncedLately)
            lastSync = Clock::now();
        if (!closing.empty())
            writerWake.notify_one();
        if (writerDone && !written && retired.empty())
            break;
    }
    // Closed without the lock: a close may wait on the medium too.
    const FileHandle last = std::exchange(current, kNoFile);
    held.unlock();
    if (last != kNoFile)
        CloseFile(last);
    held.lock();
    finished = true;
    notify();
}

// Tells a stall that the writer cannot: its write held in the kernel. It sleeps without a timeout
// while nothing is written, and wakes at most once per stall limit while lines keep coming.
void LogWriter::watchLoop() {
    std::unique_lock<std::mutex> held(lock);
    while (!writerDone && !halted) {
        if (busy && Clock::now() - progressAt >= kStallLimit) {
            stuck = true;
            fail(EAGAIN);
        } else if (busy)
            watchWake.wait_until(held, progressAt + kStallLimit);
        else if (std::exchange(wroteSinceWatched, false))
            watchWake.wait_for(held, kStallLimit);
        else {
            watchAsleep = true;
            watchWake.wait(held);
            watchAsleep = false;
        }
    }
}

} // namespace tolvar
