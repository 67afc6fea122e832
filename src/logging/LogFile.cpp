#include "LogFile.h"

#include <cerrno>

#ifdef _WIN32
#include <filesystem>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tolvar {

namespace {

std::FILE* openForAppend(const std::string& path) {
#ifdef _WIN32
    // The wide name is what reaches non-ASCII paths on Windows.
    return ::_wfopen(std::filesystem::u8path(path).c_str(), L"abN");
#else
    // Non-blocking open so that a FIFO without a reader fails instead of hanging the window.
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    if (::fcntl(fd, F_SETFL, O_WRONLY | O_APPEND) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "ab");
    if (file == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return file;
#endif
}

} // namespace

int LogFile::Open(const std::string& path) {
    Close();
    errno = 0;
    file_ = openForAppend(path);
    if (file_ == nullptr)
        return errno != 0 ? errno : EINVAL;
    // Unbuffered: the logic writes each event in one piece, which then reaches the OS in one
    // write call without a copy. (glibc ignores the size asked for with a null buffer and takes
    // 4 KiB, which split a larger event into several writes.)
    std::setvbuf(file_, nullptr, _IONBF, 0);
    error_ = 0;
    return 0;
}

void LogFile::Close() {
    if (file_ != nullptr)
        std::fclose(file_);
    file_ = nullptr;
}

void LogFile::Write(const char* data, std::size_t size) {
    if (size != 0 && std::fwrite(data, 1, size, file_) != size && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
}

int LogFile::Flush() {
    errno = 0;
    if (std::fflush(file_) != 0 && error_ == 0)
        error_ = errno != 0 ? errno : EIO;
    return error_;
}

} // namespace tolvar
