// SPDX-License-Identifier: MIT
#include "Syncer.h"

namespace tolvar {

namespace {

constexpr auto kSyncInterval = std::chrono::seconds(1);

} // namespace

void Syncer::Start(FileHandle file) {
    Stop();
    stopping = false;
    current = file;
    dirty = false;
    thread = std::thread([this] { run(); });
}

void Syncer::Replace(FileHandle next) {
    std::lock_guard<std::mutex> hold(lock);
    moved.push_back({current, dirty.exchange(false)});
    current = next;
    wake.notify_one();
}

void Syncer::Release() {
    std::lock_guard<std::mutex> idle(syncing);
    std::lock_guard<std::mutex> hold(lock);
    current = kNoFile;
    dirty = false;
}

void Syncer::Adopt(FileHandle file) {
    std::lock_guard<std::mutex> hold(lock);
    current = file;
}

int Syncer::Stop() {
    if (thread.joinable()) {
        {
            std::lock_guard<std::mutex> hold(lock);
            stopping = true;
        }
        wake.notify_one();
        thread.join();
        syncRound();
        current = kNoFile;
    }
    // Told once: the next file starts without it.
    return error.exchange(0);
}

void Syncer::run() {
    Clock::time_point last;
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        // Asleep until something is written: an idle log costs no wakeups.
        wake.wait(held, [this] { return stopping || dirty || !moved.empty(); });
        wake.wait_until(held, last + kSyncInterval, [this] { return stopping; });
        if (stopping)
            return;
        held.unlock();
        syncRound();
        last = Clock::now();
        held.lock();
    }
}

void Syncer::syncRound() {
    std::lock_guard<std::mutex> busy(syncing);
    std::vector<Moved> done;
    FileHandle file;
    bool written;
    {
        std::lock_guard<std::mutex> hold(lock);
        done.swap(moved);
        file = current;
        written = dirty.exchange(false);
    }
    for (const Moved& m : done) {
        if (m.written)
            note(sync(m.file));
        CloseFile(m.file);
    }
    if (written && file != kNoFile)
        note(sync(file));
}

void Syncer::note(int failed) {
    int none = 0;
    if (failed != 0)
        error.compare_exchange_strong(none, failed);
}

} // namespace tolvar
