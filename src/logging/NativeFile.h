// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvar {

// What the core needs of the operating system's files, implemented beside the other code of each
// system (src/unix, src/win32). Errors are OS error numbers (errno values; Windows errors are
// mapped to the one naming the same reason).

// A file descriptor on POSIX, a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

using Clock = std::chrono::steady_clock;

// Opens the UTF-8 path for appending, creating the file if missing, and such that others may
// still read, write, rename and delete it. Returns 0, or the error number.
int OpenForAppend(const std::string& path, FileHandle& file);
void CloseFile(FileHandle file);

struct FileState {
    // The file lost its last name while open.
    bool deleted = false;
    // Its length in bytes, or -1 for a target without one (a pipe, a device).
    long long length = -1;
};
FileState ExamineFile(FileHandle file);

// Appends what the target takes of the bytes, waiting until `deadline` at most for it to take
// any. Returns the count written (at least 1), or minus the error number: EAGAIN when the target
// took nothing by the deadline.
long long WriteSome(FileHandle file, const char* data, std::size_t size,
                    Clock::time_point deadline);

// The most one write should hand the target for its progress to show: what its pipe buffer holds
// (a write to a full pipe ends only once reads have made room for all of it); no limit for a file.
std::size_t PieceSize(FileHandle file);

// Cuts the file back to `length` bytes.
void CutBack(FileHandle file, long long length);

// Brings what was written to stable storage. Returns 0 (also for a target that has no storage of
// its own, such as a pipe), or the error number.
int SyncFile(FileHandle file);

// Whether the path still names the open file.
bool PathNames(FileHandle file, const std::string& path);

// Makes a write that fails raise no signal that would end the program.
void IgnoreWriteSignals();

} // namespace tolvar
