// SPDX-License-Identifier: MIT
#pragma once

#include "NativeFile.h"
#include "Syncer.h"

#include <cstddef>
#include <string>

namespace tolvar {

// The one log file, written straight through the OS's file API: no buffer of ours stands
// between a write and the OS, so what went out is known to the byte. What was written reaches
// stable storage within a second.
class LogFile {
  public:
    explicit LogFile(Syncer::SyncFunction sync = SyncFile) : syncer(sync) {}
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;
    ~LogFile() { Close(); }

    // Opens the UTF-8 path for appending, creating the file if missing.
    // Returns 0, or the OS error number.
    int Open(const std::string& path);
    // Closes the file after its last sync. Returns 0, or the error number of a sync that failed.
    int Close();
    bool IsOpen() const { return file != kNoFile; }

    // Appends the bytes whole or not at all: after a failed or short write the file is cut back
    // to its length before. Returns 0, or the OS error number (EBADF when the file is closed); a
    // sync that failed since the last write fails this one.
    int Write(const char* data, std::size_t size);

  private:
    int writeWhole(const char* data, std::size_t size, long long lengthBefore);
    int followPath(bool deleted);

    FileHandle file = kNoFile;
    std::string path;
    // When the path was last seen naming the open file.
    Clock::time_point checked;
    Syncer syncer;
};

} // namespace tolvar
