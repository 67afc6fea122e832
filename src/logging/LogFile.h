// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace tolvar {

// The one log file, written straight through its file descriptor: no buffer of ours stands
// between a write and the OS, so what went out is known to the byte.
class LogFile {
  public:
    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile() { Close(); }

    // Opens the UTF-8 path for appending, creating the file if missing.
    // Returns 0, or the OS error number.
    int Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd >= 0; }

    // Appends the bytes whole or not at all: after a failed or short write the file is cut back
    // to its length before. Returns 0, or the OS error number (EBADF when the file is closed).
    int Write(const char* data, std::size_t size);

  private:
    int writeWhole(const char* data, std::size_t size);
    bool followIsDue(std::size_t size) const;
    int followPath();

    int fd = -1;
    std::string path;
    // For following a file deleted or moved away: when the path was last seen naming our file,
    // and the bytes written since, which a deleted file would otherwise take with it.
    std::chrono::steady_clock::time_point checked;
    std::string unchecked;
};

} // namespace tolvar
