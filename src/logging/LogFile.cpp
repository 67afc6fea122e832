// SPDX-License-Identifier: MIT
#include "LogFile.h"

#include <algorithm>
#include <cerrno>

namespace tolvar {

namespace {

// How long a log target may take no byte (a FIFO or pipe whose reader stopped reading, a network
// share whose server has gone) before logging stops; a slow one that keeps taking bytes is fine.
constexpr auto kStallLimit = std::chrono::seconds(2);
// A target without a length (a pipe) is written a piece at a time, so that a slow reader shows
// progress within the stall limit.
constexpr std::size_t kPipePiece = 4096;
// How often the path is checked for still naming the open file. A delete is seen before every
// write; lines written to a file moved away are where they belong, so a rename may wait.
constexpr auto kRenameCheckInterval = std::chrono::seconds(1);

} // namespace

int LogFile::Open(const std::string& newPath) {
    Close();
    if (const int error = OpenForAppend(newPath, file); error != 0)
        return error;
    IgnoreWriteSignals();
    path = newPath;
    checked = Clock::now();
    syncer.Start(file);
    return 0;
}

int LogFile::Close() {
    const int error = syncer.Stop();
    if (file != kNoFile)
        CloseFile(file);
    file = kNoFile;
    return error;
}

int LogFile::Write(const char* data, std::size_t size) {
    if (file == kNoFile)
        return EBADF;
    if (const int failed = syncer.Error(); failed != 0)
        return failed;
    FileState state = ExamineFile(file);
    if (state.deleted || Clock::now() - checked >= kRenameCheckInterval) {
        if (const int error = followPath(state.deleted); error != 0)
            return error;
        state = ExamineFile(file);
    }
    const int error = writeWhole(data, size, state.length);
    if (error == 0)
        syncer.Written();
    return error;
}

int LogFile::writeWhole(const char* data, std::size_t size, long long lengthBefore) {
    Clock::time_point deadline = Clock::now() + kStallLimit;
    std::size_t written = 0;
    while (written < size) {
        const std::size_t left = size - written;
        const long long n = WriteSome(
            file, data + written, lengthBefore < 0 ? std::min(left, kPipePiece) : left, deadline);
        if (n < 0) {
            // Only whole records stay in the file, so a later run's first line is not glued on.
            // The length is measured, not counted: a failed write need not say what it wrote.
            if (lengthBefore >= 0)
                CutBack(file, lengthBefore);
            return static_cast<int>(-n);
        }
        written += static_cast<std::size_t>(n);
        deadline = Clock::now() + kStallLimit;
    }
    return 0;
}

// Once the path no longer names the open file (deleted, or moved away as log rotation does),
// logging carries on into the file at the path, opened as BeginLogging opens it. What was
// written before a delete stays deleted.
int LogFile::followPath(bool deleted) {
    checked = Clock::now();
    if (!deleted && PathNames(file, path))
        return 0;
    if (deleted) {
        // Windows frees the name only once the last handle is closed.
        syncer.Release();
        CloseFile(file);
        file = kNoFile;
        if (const int error = OpenForAppend(path, file); error != 0)
            return error;
        syncer.Adopt(file);
        return 0;
    }
    FileHandle next = kNoFile;
    if (const int error = OpenForAppend(path, next); error != 0)
        return error;
    syncer.Replace(next);
    file = next;
    return 0;
}

} // namespace tolvar
