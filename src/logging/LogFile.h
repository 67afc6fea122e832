#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace tolvar {

// The one log file: opened for binary append, so the bytes written are the bytes on disk.
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
    bool IsOpen() const { return file_ != nullptr; }

    void Write(const char* data, std::size_t size);
    // Hands everything written so far to the OS. Returns 0, or the OS error number of the
    // first write that failed since the file was opened.
    int Flush();

  private:
    std::FILE* file_ = nullptr;
    int error_ = 0;
};

} // namespace tolvar
